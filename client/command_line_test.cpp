#include "client/command_line.h"

#include <gtest/gtest.h>

namespace quasto::client {
namespace {

using Params = std::vector<std::string>;

TEST(SplitCommandLine, BlanksSeparateQuotesGroupBackslashesArePlain) {
  EXPECT_EQ(SplitCommandLine(""), Params{});
  EXPECT_EQ(SplitCommandLine("  a \t b  "), (Params{"a", "b"}));
  // The case the C runtime gets wrong: its \" is an escaped quote.
  EXPECT_EQ(SplitCommandLine(R"("C:\Demo\Quastorell.exe" -x "C:\Program Files\Demo\")"),
            (Params{R"(C:\Demo\Quastorell.exe)", "-x", R"(C:\Program Files\Demo\)"}));
  EXPECT_EQ(SplitCommandLine(R"(q.exe a\\ "b\\" c\)"), (Params{"q.exe", R"(a\\)", R"(b\\)", R"(c\)"}));
  // Quotes are removed wherever they stand; "" is an empty parameter.
  EXPECT_EQ(SplitCommandLine(R"(q.exe "" "x y"z a"b c")"), (Params{"q.exe", "", "x yz", "ab c"}));
  // An unclosed quote runs to the end.
  EXPECT_EQ(SplitCommandLine(R"(q.exe "C:\a b\)"), (Params{"q.exe", R"(C:\a b\)"}));
}

TEST(ClientArgsFromCommandLine, TwoParametersAfterTheProgram) {
  ClientArgs a = ClientArgsFromCommandLine(R"("C:\x y\Quastorell.exe" -after "D:\prog dir\")");
  EXPECT_EQ(a.restart_argument, "-after");
  EXPECT_EQ(a.program_folder, R"(D:\prog dir\)");
  ClientArgs none = ClientArgsFromCommandLine("Quastorell.exe");
  EXPECT_EQ(none.restart_argument, "");
  EXPECT_EQ(none.program_folder, "");
  ClientArgs folder_only = ClientArgsFromCommandLine(R"(Quastorell.exe "" C:\Prog)");
  EXPECT_EQ(folder_only.restart_argument, "");
  EXPECT_EQ(folder_only.program_folder, R"(C:\Prog)");
}

}  // namespace
}  // namespace quasto::client
