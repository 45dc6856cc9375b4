#include <windows.h>
#include <shellapi.h>

#include <iostream>

#include "builder/cli.h"
#include "builder/console_ui.h"
#include "shared/text.h"

// Arguments are taken as UTF-16 from the system, so that names outside the
// ANSI code page arrive intact; the console is asked to show UTF-8.
int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 1; argv != nullptr && i < argc; ++i) {
    args.push_back(quasto::Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  }
  if (argv != nullptr) LocalFree(argv);
  SetConsoleOutputCP(CP_UTF8);
  return quasto::RunBuilderCli(args, std::cin, std::cout, std::cerr, quasto::StdoutIsTerminal());
}
