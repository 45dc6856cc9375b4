#include <iostream>

#include "builder/cli.h"
#include "builder/console_ui.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return quasto::RunBuilderCli(args, std::cin, std::cout, std::cerr, quasto::StdoutIsTerminal());
}
