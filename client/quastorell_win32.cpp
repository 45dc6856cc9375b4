// Quastorell.exe: the updater client, a Windows GUI program.
//
//   Quastorell.exe [restart argument] [program folder]
//
// The exit status is the run's, as client/exit_status.h gives it. The update
// runs on a worker thread; this thread serves the window.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "client/command_line.h"
#include "client/exit_status.h"
#include "client/http.h"
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
  const ClientArgs args = ClientArgsFromCommandLine(
      Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(line), wcslen(line))));

  auto system = NewClientSystem();
  auto transport = NewHttpTransport();
  std::atomic<bool> cancel{false};
  ExitStatus status = kExitFailed;
  try {
    Win32ClientView window(fonts);
    WorkerView view(&window, &cancel, transport.get());
    const std::string base_folder = FindBaseFolder();
    view.Run([&] {
      try {
        status = ExitStatusOf(
            RunClient(args, base_folder, &view, transport.get(), system.get(), nullptr, &cancel));
      } catch (const std::bad_alloc&) {
        // The last resort: every reader bounds what it holds, and a journal
        // keeps the installation whole. Never the runtime's abort.
        status = kExitFailed;
      }
    });
  } catch (const std::bad_alloc&) {
    status = kExitFailed;
  }
  DeleteObject(static_cast<HFONT>(fonts.regular));
  DeleteObject(static_cast<HFONT>(fonts.bold));
  return status;
}
