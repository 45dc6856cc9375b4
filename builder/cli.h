// The command line "quastorell-builder": the builder's operations for build
// pipelines, on the same base folder and files as the GUI.
#ifndef QUASTO_BUILDER_CLI_H_
#define QUASTO_BUILDER_CLI_H_

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace quasto {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a file failed, a login was refused, ...
inline constexpr int kExitUsage = 2;   // bad usage, a missing project or a damaged document
inline constexpr int kExitInUse = 4;   // another builder works on the project

// Runs one command. `args` are the arguments after the program name, UTF-8.
int RunBuilderCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                  std::ostream& err, bool terminal);

}  // namespace quasto

#endif  // QUASTO_BUILDER_CLI_H_
