#include "client/command_line.h"

namespace quasto::client {

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> params;
  std::string current;
  bool in_param = false, quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      in_param = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_param) params.push_back(current);
      current.clear();
      in_param = false;
    } else {
      current.push_back(c);
      in_param = true;
    }
  }
  if (in_param) params.push_back(current);
  return params;
}

ClientArgs ClientArgsFromCommandLine(std::string_view line) {
  const std::vector<std::string> params = SplitCommandLine(line);
  ClientArgs args;
  if (params.size() > 1) args.restart_argument = params[1];
  if (params.size() > 2) args.program_folder = params[2];
  return args;
}

}  // namespace quasto::client
