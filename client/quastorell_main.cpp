// quastorell: the updater client in a terminal, on the same files as
// Quastorell.exe.
//
//   quastorell [--unattended] [restart argument] [program folder]
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

#include "client/console_view.h"
#include "client/exit_status.h"
#include "client/http.h"
#include "client/run_sequence.h"
#include "client/system.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/language.h"
#include "shared/text.h"

namespace {

constexpr char kUsageGerman[] =
    "Aufruf: quastorell [--unattended] [Neustart-Argument] [Programmverzeichnis]\n"
    "\n"
    "Aktualisiert die Dateien unter dem Verzeichnis, in dem quastorell liegt, nach der\n"
    "Update-Info, die es mit Quasto/Quastorell.ucf findet.\n"
    "  --unattended         ohne Rückfrage aktualisieren\n"
    "  Neustart-Argument    wird dem Programm beim Neustart nach dem Update übergeben\n"
    "  Programmverzeichnis  dort wird das Programm neu gestartet (ohne Angabe: das\n"
    "                       Verzeichnis von quastorell)\n"
    "Exit-Status: 0 aktualisiert oder nichts zu tun, 1 eine Aktion ist fehlgeschlagen\n"
    "(oder Quasto/Quastorell.state ist nicht les- oder schreibbar), 2 die Update-Info\n"
    "konnte nicht geladen werden, ist nicht signiert oder beschädigt, 3 das Update wurde\n"
    "abgelehnt, 4 eine andere Aktualisierung dieser Installation läuft, 5 abgebrochen\n"
    "(Strg+C) vor dem Einspielen: nichts Installiertes wurde geändert.\n";

constexpr char kUsageEnglish[] =
    "Usage: quastorell [--unattended] [restart argument] [program folder]\n"
    "\n"
    "Updates the files below the folder that holds quastorell, as the manifest found\n"
    "through Quasto/Quastorell.ucf describes them.\n"
    "  --unattended      update without asking\n"
    "  restart argument  passed to the program when it is restarted after the update\n"
    "  program folder    where the program is restarted (default: the folder of\n"
    "                    quastorell)\n"
    "Exit status: 0 updated or nothing to do, 1 an action failed (or\n"
    "Quasto/Quastorell.state cannot be read or written), 2 the manifest could not be\n"
    "fetched, is not signed or is damaged, 3 the update was declined, 4 another update\n"
    "of this installation is running, 5 cancelled (Ctrl+C) before the commit: nothing\n"
    "installed was changed.\n";

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

  int first = 1;
  bool unattended = false;
  if (argc > 1 && std::strcmp(argv[1], "--unattended") == 0) {
    unattended = true;
    first = 2;
  }
  ClientArgs args;
  if (argc > first) args.restart_argument = argv[first];
  if (argc > first + 1) args.program_folder = argv[first + 1];

  const std::string base = FindBaseFolder();
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
