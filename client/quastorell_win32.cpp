// Quastorell.exe: the updater client, a Windows GUI program.
//
//   Quastorell.exe [--check | --unattended | --repair | --wait-seconds N | --]...
//                  [restart argument] [program folder]
//
// Exit statuses: client/exit_status.h. Without options the window and its
// messages are as they always were, and the update runs on a worker thread
// while this thread serves the window; --check and --unattended show none.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "client/command_line.h"
#include "client/exit_status.h"
#include "client/headless_view.h"
#include "client/http.h"
#include "client/run_report.h"
#include "client/run_sequence.h"
#include "client/system.h"
#include "client/view_win32.h"
#include "client/worker_view_win32.h"
#include "shared/folders.h"
#include "shared/text.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  using namespace quasto;
  using namespace quasto::client;

  ClientFonts fonts = CreateClientFonts();
  // Not the C runtime's argv: it takes the backslash before a closing quote
  // as an escape, so "C:\Program Files\Demo\" would end in a quote.
  const wchar_t* line = GetCommandLineW();
  std::vector<std::string> params = SplitCommandLine(
      Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(line), wcslen(line))));
  if (!params.empty()) params.erase(params.begin());
  ClientArgs args;
  const std::string wrong = ParseClientOptions(params, &args);
  const std::string base = FindBaseFolder();
  int status = kExitFailed;
  if (!wrong.empty()) {
    // Whoever wrote the command line reads the result, not a window.
    RunReport report;
    report.mode = "usage";
    report.detail = wrong;
    WriteResultFile(base + kDataFolderName, report, kExitUsage, "usage", 0);
    status = kExitUsage;
  } else {
    auto system = NewClientSystem();
    auto transport = NewHttpTransport();
    try {
      if (args.check || args.unattended) {
        // No window to keep alive: the run is this thread's.
        HeadlessView view;
        status = ExitStatusOf(RunClient(args, base, &view, transport.get(), system.get()));
      } else {
        std::atomic<bool> cancel{false};
        Win32ClientView window(fonts);
        WorkerView view(&window, &cancel, transport.get());
        view.Run([&] {
          try {
            status = ExitStatusOf(
                RunClient(args, base, &view, transport.get(), system.get(), nullptr, &cancel));
          } catch (const std::bad_alloc&) {
            status = kExitFailed;
          }
        });
      }
    } catch (const std::bad_alloc&) {
      // The last resort: every reader bounds what it holds, and a journal
      // keeps the installation whole. Never the runtime's abort.
      status = kExitFailed;
    }
  }
  DeleteObject(static_cast<HFONT>(fonts.regular));
  DeleteObject(static_cast<HFONT>(fonts.bold));
  return status;
}
