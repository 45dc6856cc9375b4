// Quastorell.exe: the updater client, a Windows GUI program.
//
//   Quastorell.exe [restart argument] [program folder]
//
// The exit code is 0 on every path.
#include <windows.h>

#include <cstdlib>
#include <new>

#include "client/command_line.h"
#include "client/http.h"
#include "client/run_sequence.h"
#include "client/system.h"
#include "client/view_win32.h"
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
  try {
    Win32ClientView view(fonts);
    RunClient(args, FindBaseFolder(), &view, transport.get(), system.get());
  } catch (const std::bad_alloc&) {
    // The last resort: every reader bounds what it holds, and a journal
    // keeps the installation whole. Never the runtime's abort.
  }
  DeleteObject(static_cast<HFONT>(fonts.regular));
  DeleteObject(static_cast<HFONT>(fonts.bold));
  return 0;
}
