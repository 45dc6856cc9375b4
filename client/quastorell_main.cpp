// quastorell: the updater client in a terminal, on the same files as
// Quastorell.exe.
//
//   quastorell [--check | --unattended | --repair | --wait-seconds N | --]...
//              [restart argument] [program folder]
//
// Exit statuses: client/exit_status.h. Ctrl+C (SIGINT) and SIGTERM cancel
// the run before its commit, which then changes nothing installed (status
// 5); during the commit they wait until it is done.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "client/command_line.h"
#include "client/console_view.h"
#include "client/exit_status.h"
#include "client/http.h"
#include "client/run_report.h"
#include "client/run_sequence.h"
#include "client/system.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/language.h"
#include "shared/text.h"

namespace {

constexpr char kUsageGerman[] =
    "Aufruf: quastorell [Optionen] [--] [Neustart-Argument] [Programmverzeichnis]\n"
    "\n"
    "Aktualisiert die Dateien unter dem Verzeichnis, in dem quastorell liegt, nach der\n"
    "Update-Info, die es mit Quasto/Quastorell.ucf findet.\n"
    "  --check              nur prüfen, ob ein Update wartet; nichts wird geändert\n"
    "  --unattended         ohne Rückfrage aktualisieren\n"
    "  --repair             jede installierte Datei neu prüfen und ersetzen, was abweicht\n"
    "  --wait-seconds N     bis zu N Sekunden warten, bis das Programm beendet ist\n"
    "  --                   beendet die Optionen\n"
    "  Neustart-Argument    wird dem Programm beim Neustart nach dem Update übergeben\n"
    "  Programmverzeichnis  dort wird das Programm neu gestartet (ohne Angabe: das\n"
    "                       Verzeichnis von quastorell)\n"
    "Exit-Status: 0 aktualisiert oder nichts zu tun, 1 eine Aktion ist fehlgeschlagen\n"
    "(oder Quasto/Quastorell.state ist nicht les- oder schreibbar), 2 die Update-Info\n"
    "konnte nicht geladen werden oder ist beschädigt, 3 das Update wurde abgelehnt,\n"
    "4 eine andere Aktualisierung dieser Installation läuft, 5 abgebrochen (Strg+C) vor\n"
    "dem Einspielen: nichts Installiertes wurde geändert, 6 ein Update wartet (--check),\n"
    "7 die Update-Info wurde abgewiesen (Signatur, Alter, Ablauf), 8 das Programm läuft\n"
    "noch: nichts wurde geändert, 9 falsche Optionen.\n"
    "Das Ergebnis steht in Quasto/Quastorell.result.\n";

constexpr char kUsageEnglish[] =
    "Usage: quastorell [options] [--] [restart argument] [program folder]\n"
    "\n"
    "Updates the files below the folder that holds quastorell, as the manifest found\n"
    "through Quasto/Quastorell.ucf describes them.\n"
    "  --check           only look whether an update is waiting; nothing is changed\n"
    "  --unattended      update without asking\n"
    "  --repair          hash every installed file anew and replace what differs\n"
    "  --wait-seconds N  wait up to N seconds for the program to end\n"
    "  --                ends the options\n"
    "  restart argument  passed to the program when it is restarted after the update\n"
    "  program folder    where the program is restarted (default: the folder of\n"
    "                    quastorell)\n"
    "Exit status: 0 updated or nothing to do, 1 an action failed (or\n"
    "Quasto/Quastorell.state cannot be read or written), 2 the manifest could not be\n"
    "fetched or is damaged, 3 the update was declined, 4 another update of this\n"
    "installation is running, 5 cancelled (Ctrl+C) before the commit: nothing installed\n"
    "was changed, 6 an update is waiting (--check), 7 the manifest was refused\n"
    "(signature, age, expiry), 8 the program is still running: nothing was changed,\n"
    "9 wrong options.\n"
    "The outcome is also written to Quasto/Quastorell.result.\n";

// Lock-free, so a signal handler may set it.
std::atomic<bool> g_cancel{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnCancelSignal(int) { g_cancel.store(true); }

// Without SA_RESTART: a question waiting for its answer returns at once.
void CatchCancelSignals() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnCancelSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quasto;
  using namespace quasto::client;

  // Taken as the restart argument, "--help" would start an update.
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(fs::UserLanguageId() == 0x0407 ? kUsageGerman : kUsageEnglish, stdout);
    return 0;
  }

  ClientArgs args;
  const std::string wrong =
      ParseClientOptions(std::vector<std::string>(argv + 1, argv + argc), &args);
  const std::string base = FindBaseFolder();
  if (!wrong.empty()) {
    std::fprintf(stderr, "%s (quastorell --help says how)\n", EscapeControls(wrong).c_str());
    RunReport report;
    report.mode = "usage";
    report.detail = wrong;
    WriteResultFile(base + kDataFolderName, report, kExitUsage, "usage", 0);
    return kExitUsage;
  }
  const bool unattended = args.unattended || args.check;
  // The question stands for the button, so it takes the button's text.
  LanguageTable language;
  language.LoadLanguage(base + kDataFolderName + kLanguageFile);
  const std::string question = Latin1ToUtf8(language.LanguageText("Update")) + "?";

  ConsoleView view(stdout, stdin, isatty(STDOUT_FILENO) != 0, unattended, question);
  auto transport = NewHttpTransport();
  auto system = NewClientSystem();
  std::string why;
  ClientOutcome outcome = ClientOutcome::kFailed;
  CatchCancelSignals();
  // A transfer that waits for a silent server is cut at once, not at its
  // next look at the flag; a signal handler may not do that itself.
  std::atomic<bool> ended{false};
  std::thread watch([&] {
    while (!ended.load()) {
      if (g_cancel.load()) {
        transport->Interrupt();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  bool out_of_memory = false;
  try {
    outcome = RunClient(args, base, &view, transport.get(), system.get(), &why, &g_cancel);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  ended.store(true);
  watch.join();
  if (out_of_memory) {
    // The last resort: every reader bounds what it holds, and a journal
    // keeps the installation whole.
    std::fputs("Out of memory: the update was stopped.\n", stderr);
    return kExitFailed;
  }
  switch (outcome) {
    case ClientOutcome::kBadSignature:
      std::fprintf(stderr, "Signature check failed: %s\n", EscapeControls(why).c_str());

      break;
    case ClientOutcome::kBadManifest:
      std::fprintf(stderr, "The manifest cannot be read: %s\n", EscapeControls(why).c_str());
      break;
    default:
      break;
  }
  return ExitStatusOf(outcome);
}
