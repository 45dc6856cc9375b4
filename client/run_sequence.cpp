#include "client/run_sequence.h"

#include <chrono>
#include <functional>
#include <thread>

#include "client/journal_check.h"
#include "client/exit_status.h"
#include "client/run_report.h"
#include "client/updater.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/journal.h"
#include "shared/text.h"

namespace quasto::client {

void LoadConfiguration(const std::string& file, UpdaterStructure* config) {
  LoadDocument(file, config);
  if (config->URL.empty() || config->URL.back() != '/') config->URL += '/';
}

namespace {

// Asks `running` until it says no, for up to `seconds`; true when it still
// says yes at the end. A cancel ends the wait at once.
bool StillRunningAfter(int seconds, const std::atomic<bool>* cancel,
                       const std::function<bool()>& running) {
  const int64_t until = fs::ClockNowNs() + int64_t{seconds} * 1000000000;
  while (running()) {
    if (fs::ClockNowNs() >= until || (cancel != nullptr && cancel->load())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  return false;
}

ClientOutcome RunSteps(const ClientArgs& args, const std::string& base_folder,
                       ClientView* view, HttpTransport* transport, ClientSystem* system,
                       std::string* why, const std::atomic<bool>* cancel, RunReport* report,
                       const std::function<void(ClientOutcome)>& settle) {
  ClientContext ctx;
  ctx.cancel = cancel;
  ctx.check_only = args.check;
  ctx.repair = args.repair;
  ctx.report = report;
  transport->SetAbortFlag(cancel);
  ctx.base_folder = base_folder;
  ctx.data_folder = ctx.base_folder + kDataFolderName;
  ctx.executable = fs::ExecutablePath();
  // One run at a time on an installation, whatever the configuration says:
  // two would take each other's files half-way. The lock comes before an
  // earlier run's journal is touched, since that run may still be at it.
  // Without the data folder, or on a read-only medium, there is nothing to
  // lock and nothing a run could change.
  fs::ExclusiveLock lock;
  if (lock.Acquire(ctx.data_folder + kLockFile) == fs::ExclusiveLock::Result::kHeld) {
    ctx.language.LoadLanguage(ctx.data_folder + kLanguageFile);
    LoadConfiguration(ctx.data_folder + kClientConfigFile, &ctx.config);
    view->ShowMessage(" " + ctx.config.ProgInfo,
                      Latin1ToUtf8(ctx.language.LanguageText("UpdateRuns")) + "  ",
                      kIconInformation);
    return ClientOutcome::kAlreadyRunning;
  }

  // Whatever an earlier run left half done is finished (or undone) first,
  // before the configuration is read, without the network.
  const Recovery recovery = RecoverInterruptedUpdate(
      ctx.base_folder, ctx.data_folder,
      JournalStepCheck(ctx.base_folder, ctx.data_folder, ctx.executable));
  if (!recovery.log.empty()) {
    WriteLogFile(ctx.data_folder, recovery.log + kLogEndLine, system);
    // The messages of a run no one watches join this log, not replace it.
    report->log_lines = recovery.log + kLogEndLine;
    report->log_written = true;
  }

  const bool sockets = system->StartSockets();
  std::string program_folder = args.program_folder;
  program_folder = program_folder.empty() ? ctx.base_folder : WithTrailingSeparator(program_folder);
  ctx.language.LoadLanguage(ctx.data_folder + kLanguageFile);
  LoadConfiguration(ctx.data_folder + kClientConfigFile, &ctx.config);

  const std::string title = " " + ctx.config.ProgInfo;
  auto message = [&](const char* key, int icon) {
    view->ShowMessage(title, Latin1ToUtf8(ctx.language.LanguageText(key)) + "  ", icon);
  };

  // A check changes nothing, so a running program is no reason to wait.
  // The program is waited for, never ended: it may hold unsaved work.
  bool holds_mutex = false;
  if (!args.check && !ctx.config.Mutex.empty()) {
    ClientSystem::MutexResult created = ClientSystem::MutexResult::kFailed;
    const bool held = StillRunningAfter(args.wait_seconds, cancel, [&] {
      created = system->CreateNamedMutex(ctx.config.Mutex);
      if (created != ClientSystem::MutexResult::kAlreadyExists) return false;
      system->ReleaseMutex();
      return true;
    });
    // Cancelled while it waited: nothing was done, and the run says so.
    if (ctx.Cancelled()) {
      if (created == ClientSystem::MutexResult::kCreated) system->ReleaseMutex();
      return ClientOutcome::kCancelled;
    }
    if (held) {
      message("CloseProg", kIconError);
      return ClientOutcome::kProgramRunning;
    }
    holds_mutex = created == ClientSystem::MutexResult::kCreated;
  } else if (!args.check && !ctx.config.ProgExe.empty() &&
             StillRunningAfter(args.wait_seconds, cancel,
                               [&] { return system->IsProgramRunning(ctx.config.ProgExe); })) {
    if (ctx.Cancelled()) return ClientOutcome::kCancelled;
    message("ProgRuns", kIconError);
    // A person sees the warning and may still choose; no one would see the
    // files the program holds fail one by one.
    if (args.unattended) return ClientOutcome::kProgramRunning;
  }

  ClientOutcome outcome = ClientOutcome::kNoManifest;
  if (sockets) {
    if (!system->IsConnected()) {
      message("NoInternet", kIconInformation);
    } else {
      Updater updater(&ctx, view, transport, system);
      updater.RunUpdate(ctx.config.ProgInfo);
      const Updater::Outcome& o = updater.outcome();
      if (o.cancelled) {
        outcome = ClientOutcome::kCancelled;
      } else if (!o.window_opened) {
        outcome = ClientOutcome::kNoWindow;
      } else if (!o.manifest_fetched) {
        outcome = ClientOutcome::kNoManifest;
      } else if (!o.signature_failure.empty()) {
        outcome = ClientOutcome::kBadSignature;
        if (why != nullptr) *why = o.signature_failure;
      } else if (!o.manifest_error.empty()) {
        outcome = ClientOutcome::kBadManifest;
        if (why != nullptr) *why = o.manifest_error;
      } else if (!o.applied && o.actions > 0) {
        outcome = args.check ? ClientOutcome::kUpdateWaiting : ClientOutcome::kNotApplied;
      } else if (o.failures > 0 || !o.state_problem.empty()) {
        // Rollback protection that no longer holds is no success either.
        outcome = ClientOutcome::kFailed;
        if (why != nullptr) *why = o.state_problem;
      } else {
        outcome = o.actions == 0 ? ClientOutcome::kNothingToDo : ClientOutcome::kUpdated;
      }
    }
  }
  if (holds_mutex) system->ReleaseMutex();
  // The restarted program may read at once how the run ended.
  settle(outcome);
  // It may also look for an update at once.
  lock.Release();

  // A check is a question: the program that asked is still running.
  if (!args.check && !ctx.config.ProgExe.empty() && ctx.config.Restart != 0) {
    const std::string& exe = ctx.config.ProgExe;
    const std::string program = program_folder + exe;
    std::string why_not;
    if (FileExists(program) != 1) {
      // Said on a console: a program folder misread, or given wrongly,
      // would otherwise go unnoticed.
      view->ShowDetail(program + " was not restarted: there is no such file");
    } else if (!IsSafeEntryPath(FolderPart(exe), FilePart(exe), true) ||
               !LeadsInto(program_folder, program)) {
      // The configuration names the program as a manifest names a file, and
      // obeys the same rule: a restart never starts what lies outside.
      view->ShowDetail(program + " was not restarted: it lies outside the program's folder");
    } else if (!system->StartProgram(program, args.restart_argument, program_folder, &why_not) &&
               !why_not.empty()) {
      view->ShowDetail(program + " was not restarted: " + why_not);
    }
  }
  return outcome;
}

}  // namespace

ClientOutcome RunClient(const ClientArgs& args, const std::string& base_folder,
                        ClientView* view, HttpTransport* transport, ClientSystem* system,
                        std::string* why, const std::atomic<bool>* cancel) {
  const int64_t start = fs::ClockNowNs();
  RunReport report;
  report.mode = args.check ? "check" : args.unattended ? "unattended" : "interactive";
  if (args.repair) report.mode += "+repair";
  report.messages_to_log = args.unattended && !args.check;
  ReportingView reporting(view, &report);
  std::string reason;
  const std::string data_folder = base_folder + kDataFolderName;
  // Once, when the run has ended: before a restart, or else on return.
  bool settled = false;
  auto settle = [&](ClientOutcome outcome) {
    if (settled) return;
    settled = true;
    report.detail = reason;
    // The log belongs to the run that holds the installation.
    if (report.messages_to_log && !report.messages.empty() &&
        outcome != ClientOutcome::kAlreadyRunning) {
      WriteLogFile(data_folder,
                   MessageLogLines(report) + (report.log_written ? report.log_lines : kLogEndLine),
                   system);
    }
    WriteResultFile(data_folder, report, ExitStatusOf(outcome), OutcomeWord(outcome),
                    (fs::ClockNowNs() - start) / 1000000);
  };
  const ClientOutcome outcome = RunSteps(args, base_folder, &reporting, transport, system,
                                         &reason, cancel, &report, settle);
  settle(outcome);
  if (why != nullptr) *why = reason;
  return outcome;
}

void WriteResultFile(const std::string& data_folder, const RunReport& report, int status,
                     const char* word, int64_t milliseconds) {
  // No data folder, a read-only medium: the exit status still tells.
  if (DirectoryExists(data_folder) != 1) return;
  if (!fs::WriteFileAtomic(data_folder + kResultFile,
                          ResultJson(report, status, word, milliseconds))) {
    // A full disk: an earlier run's result, left in place, would be read
    // as this run's.
    fs::RemoveFile(data_folder + kResultFile);
  }
}

}  // namespace quasto::client
