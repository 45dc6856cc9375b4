// Quastorell.exe: the updater client, a Windows GUI program.
//
//   Quastorell.exe [restart argument] [program folder]
//
// The exit code is 0 on every path.
#include <windows.h>

#include <cstdlib>

#include "client/http.h"
#include "client/run_sequence.h"
#include "client/system.h"
#include "client/view_win32.h"
#include "shared/folders.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  using namespace quasto;
  using namespace quasto::client;

  ClientFonts fonts = CreateClientFonts();
  client::ClientArgs args;
  // The C runtime has already split the command line and removed quotes.
  if (__argc > 1) args.restart_argument = __argv[1];
  if (__argc > 2) args.program_folder = __argv[2];

  auto system = NewClientSystem();
  auto transport = NewHttpTransport();
  {
    Win32ClientView view(fonts);
    RunClient(args, FindBaseFolder(), &view, transport.get(), system.get());
  }
  DeleteObject(static_cast<HFONT>(fonts.regular));
  DeleteObject(static_cast<HFONT>(fonts.bold));
  return 0;
}
