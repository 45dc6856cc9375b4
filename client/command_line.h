// The client's command line: split as CommandLineToArgvW splits a Windows
// command line, and a child's command line built so that it splits back into
// exactly the arguments it was made of.
#ifndef QUASTO_CLIENT_COMMAND_LINE_H_
#define QUASTO_CLIENT_COMMAND_LINE_H_

#include <string>
#include <string_view>
#include <vector>

#include "client/run_sequence.h"

namespace quasto::client {

// The parameters of a whole command line, as CommandLineToArgvW gives them:
// the first one names the program (quotes group it, nothing is escaped);
// the others are separated by blanks and tabs outside double quotes, a
// quote preceded by 2n backslashes is n backslashes and a quote that opens
// or closes, one preceded by 2n+1 backslashes is n backslashes and a quote,
// other backslashes are plain, and "" inside quotes is a quote.
//
// A line that leaves a quote open that way was written for a reader without
// escapes, as shortcuts write a folder ending in a backslash ("C:\Prog\"):
// when its last parameter ends in backslashes and a quote, those are the
// folder's backslashes and the closing quote, so that the folder stays that
// folder and swallows no quote.
std::vector<std::string> SplitCommandLine(std::string_view line);

// The parameters after the one that names the program: the options first
// (ParseClientOptions), then the restart argument and the program folder.
// A command line with a wrong option gives the positional arguments alone;
// use ParseClientOptions to learn of the error.
ClientArgs ClientArgsFromCommandLine(std::string_view line);

// Reads the parameters after the one that names the program. Options come
// first: --check, --unattended, --repair, --wait-seconds N; "--" ends them.
// The first parameter that is none of them, and everything after it, is
// positional, as before options existed: a restart argument that merely
// looks like an option ("--minimized") stays one. Returns "" or why the
// options cannot be taken: a missing or wrong number, an option given
// twice, --check with --repair.
std::string ParseClientOptions(const std::vector<std::string>& params, ClientArgs* args);

// One argument written so that CommandLineToArgvW gives it back unchanged:
// as it stands when it holds no blank, tab, line break or quote, else in
// quotes, with each quote and the backslashes before it, or before the
// closing quote, escaped.
std::string QuoteArgument(std::string_view argument);

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_COMMAND_LINE_H_
