// The client's command line, split the way its parameters are documented:
// by blanks, with double quotes removed. Unlike the C runtime's splitting, a
// backslash is always a plain character, so that a quoted folder ending in
// one ("C:\Program Files\Demo\") stays that folder and swallows no quote.
#ifndef QUASTO_CLIENT_COMMAND_LINE_H_
#define QUASTO_CLIENT_COMMAND_LINE_H_

#include <string>
#include <string_view>
#include <vector>

#include "client/run_sequence.h"

namespace quasto::client {

// Parameters are separated by blanks (spaces, tabs) outside double quotes;
// the quotes are removed wherever they stand. A quoted empty text ("") is an
// empty parameter.
std::vector<std::string> SplitCommandLine(std::string_view line);

// The parameters of a whole command line, whose first one names the program.
ClientArgs ClientArgsFromCommandLine(std::string_view line);

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_COMMAND_LINE_H_
