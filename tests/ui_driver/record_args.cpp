// A program for the tests to start: it writes the arguments it was given,
// as CommandLineToArgvW splits its command line, to "args.txt" in its
// working folder, one a line in UTF-8, the program's own name first.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return 1;
  std::string text;
  for (int i = 0; i < argc; ++i) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, arg.data(), n, nullptr, nullptr);
    text += arg + "\n";
  }
  LocalFree(argv);
  // Written whole under a temporary name, so a reader never sees half of it.
  FILE* f = _wfopen(L"args.txt.tmp", L"wb");
  if (f == nullptr) return 1;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  return MoveFileExW(L"args.txt.tmp", L"args.txt", MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
