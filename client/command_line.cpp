#include "client/command_line.h"

#include "shared/limits.h"

namespace quasto::client {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// How backslashes before a quote are read.
enum class Escapes {
  kStrict,       // as CommandLineToArgvW reads them
  kFolderAtEnd,  // the same, but a quoted parameter that ends the line in
                 // backslashes and a quote ends in those backslashes
};

// Splits what follows the program's name. Returns false when a quote is
// left open.
bool SplitParameters(std::string_view s, Escapes escapes, std::vector<std::string>* out) {
  std::string cur;
  bool in_param = false;
  int quotes = 0;  // 1 inside quotes; 2 right after the quote that closed them
  size_t backslashes = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (IsBlank(c) && quotes != 1) {
      if (in_param) out->push_back(cur);
      cur.clear();
      in_param = false;
      quotes = 0;
      backslashes = 0;
      continue;
    }
    in_param = true;
    if (c == '\\') {
      cur.push_back(c);
      ++backslashes;
      if (quotes == 2) quotes = 0;
      continue;
    }
    if (c != '"') {
      cur.push_back(c);
      backslashes = 0;
      quotes = quotes == 1 ? 1 : 0;
      continue;
    }
    const bool ends_line = s.find_first_not_of(" \t", i + 1) == std::string_view::npos;
    if (escapes == Escapes::kFolderAtEnd && quotes == 1 && backslashes > 0 && ends_line) {
      // "C:\Prog\" as such a writer meant it.
      quotes = 0;
    } else if (backslashes % 2 == 0) {
      cur.resize(cur.size() - backslashes / 2);
      // A quote right after the one that closed quotes is a quote.
      if (quotes == 2) {
        cur.push_back('"');
        quotes = 0;
      } else {
        quotes = quotes == 1 ? 2 : 1;
      }
    } else {
      cur.resize(cur.size() - backslashes / 2 - 1);
      cur.push_back('"');
    }
    backslashes = 0;
  }
  if (in_param) out->push_back(cur);
  return quotes != 1;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> params;
  // The program's name: up to the next quote when it starts with one, else
  // up to the first blank.
  if (line.empty()) return params;
  size_t i = 0;
  std::string program;
  if (line[0] == '"') {
    const size_t close = line.find('"', 1);
    program = std::string(line.substr(1, close == std::string_view::npos ? close : close - 1));
    i = close == std::string_view::npos ? line.size() : close + 1;
  } else {
    while (i < line.size() && !IsBlank(line[i])) program.push_back(line[i++]);
  }
  params.push_back(program);
  // Read as the system reads it, unless that leaves a quote open and the
  // line ends in a folder so quoted.
  const std::string_view rest = line.substr(i);
  std::vector<std::string> strict, folder;
  if (!SplitParameters(rest, Escapes::kStrict, &strict) &&
      SplitParameters(rest, Escapes::kFolderAtEnd, &folder)) {
    strict = folder;
  }
  params.insert(params.end(), strict.begin(), strict.end());
  return params;
}

ClientArgs ClientArgsFromCommandLine(std::string_view line) {
  std::vector<std::string> params = SplitCommandLine(line);
  if (!params.empty()) params.erase(params.begin());
  ClientArgs args;
  ParseClientOptions(params, &args);
  return args;
}

std::string ParseClientOptions(const std::vector<std::string>& params, ClientArgs* args) {
  *args = ClientArgs();
  std::string error;
  size_t i = 0;
  bool waits = false;
  for (; i < params.size(); ++i) {
    const std::string& p = params[i];
    bool* flag = p == "--check" ? &args->check
                 : p == "--unattended" ? &args->unattended
                 : p == "--repair" ? &args->repair
                 : nullptr;
    if (p == "--") {
      ++i;
      break;
    }
    if (flag != nullptr) {
      if (*flag && error.empty()) error = p + " is given twice";
      *flag = true;
      continue;
    }
    if (p != "--wait-seconds") break;
    if (waits && error.empty()) error = p + " is given twice";
    waits = true;
    // Digits only: "-1", "+5", "5s" or a number past the bound are typing
    // errors that must not turn into a wait of another length.
    const std::string n = i + 1 < params.size() ? params[i + 1] : std::string();
    const bool digits = !n.empty() && n.size() <= 6 &&
                        n.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(n) > kMaxWaitSeconds) {
      if (error.empty()) {
        error = "--wait-seconds needs a number of seconds from 0 to " +
                std::to_string(kMaxWaitSeconds);
      }
      if (n.empty()) break;
    } else {
      args->wait_seconds = std::stoi(n);
    }
    ++i;
  }
  if (args->check && args->repair && error.empty()) {
    error = "--check and --repair exclude each other: a check changes nothing";
  }
  if (i < params.size()) args->restart_argument = params[i];
  if (i + 1 < params.size()) args->program_folder = params[i + 1];
  if (!error.empty()) {
    // Nothing of a wrong command line is acted on.
    ClientArgs positional;
    positional.restart_argument = args->restart_argument;
    positional.program_folder = args->program_folder;
    *args = positional;
  }
  return error;
}

std::string QuoteArgument(std::string_view argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    return std::string(argument);
  }
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are escaped, each of them, and the quote.
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    out.push_back(c);
    backslashes = 0;
  }
  // And those before the closing quote.
  out.append(2 * backslashes, '\\');
  out.push_back('"');
  return out;
}

}  // namespace quasto::client
