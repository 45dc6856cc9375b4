#include "client/command_line.h"

#include <gtest/gtest.h>

namespace quasto::client {
namespace {

using Params = std::vector<std::string>;

TEST(SplitCommandLine, AsCommandLineToArgvWSplitsIt) {
  EXPECT_EQ(SplitCommandLine(""), Params{});
  EXPECT_EQ(SplitCommandLine("  a \t b  "), (Params{"", "a", "b"}));
  EXPECT_EQ(SplitCommandLine("q.exe  a \t b  "), (Params{"q.exe", "a", "b"}));
  // The program's name: quotes group it, nothing in it is escaped.
  EXPECT_EQ(SplitCommandLine(R"("C:\x y\q.exe"a b)"), (Params{R"(C:\x y\q.exe)", "a", "b"}));
  // Quotes group and are removed; "" is an empty parameter.
  EXPECT_EQ(SplitCommandLine(R"(q.exe "" "x y"z a"b c")"), (Params{"q.exe", "", "x yz", "ab c"}));
  // 2n backslashes and a quote: n backslashes, and the quote groups; 2n+1:
  // n backslashes and a quote. Backslashes elsewhere are plain.
  EXPECT_EQ(SplitCommandLine(R"(q.exe a\\b "c\\" d\"e "f\\\"g" h\)"),
            (Params{"q.exe", R"(a\\b)", R"(c\)", R"(d"e)", R"(f\"g)", R"(h\)"}));
  // "" inside quotes is a quote, and ends them.
  EXPECT_EQ(SplitCommandLine(R"(q.exe "a""b c" """x y")"),
            (Params{"q.exe", R"(a"b)", R"(c "x y)"}));
  // Escaped quotes no longer throw the next parameter off.
  EXPECT_EQ(SplitCommandLine(R"("C:\q.exe" "say \"hi\"" "C:\prog dir\\")"),
            (Params{R"(C:\q.exe)", R"(say "hi")", R"(C:\prog dir\)"}));
}

// Shortcuts write a folder ending in a backslash as "C:\Prog\": read with
// escapes, its quote would be a quote and stay open to the end of the line.
TEST(SplitCommandLine, AQuoteLeftOpenIsReadWithoutEscapesAtTheEndOfAParameter) {
  EXPECT_EQ(SplitCommandLine(R"("C:\Demo\Quastorell.exe" -x "C:\Program Files\Demo\")"),
            (Params{R"(C:\Demo\Quastorell.exe)", "-x", R"(C:\Program Files\Demo\)"}));
  EXPECT_EQ(SplitCommandLine(R"(q.exe "say \"hi\"" "C:\prog dir\" )"),
            (Params{"q.exe", R"(say "hi")", R"(C:\prog dir\)"}));
  EXPECT_EQ(SplitCommandLine(R"(q.exe "C:\a b\)"), (Params{"q.exe", R"(C:\a b\)"}));
  // Escaped quotes before such a folder stay escaped quotes.
  EXPECT_EQ(SplitCommandLine(R"(q.exe "say \"hi\" there" "C:\prog dir\")"),
            (Params{"q.exe", R"(say "hi" there)", R"(C:\prog dir\)"}));
  // Elsewhere the line is read as the system reads it.
  EXPECT_EQ(SplitCommandLine(R"(q.exe "C:\a\" b)"), (Params{"q.exe", R"(C:\a" b)"}));
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
  ClientArgs blanks = ClientArgsFromCommandLine(R"(Quastorell.exe "/file=C:\My Docs\a b.txt")");
  EXPECT_EQ(blanks.restart_argument, R"(/file=C:\My Docs\a b.txt)");
  EXPECT_EQ(blanks.program_folder, "");
}

ClientArgs Parsed(const Params& params, std::string* error = nullptr) {
  ClientArgs args;
  const std::string why = ParseClientOptions(params, &args);
  if (error != nullptr) *error = why;
  return args;
}

TEST(ParseClientOptions, OptionsComeFirstAndTheRestIsAsBefore) {
  ClientArgs a = Parsed({"--unattended", "--wait-seconds", "30", "--repair", "-x", "C:\\Prog"});
  EXPECT_TRUE(a.unattended);
  EXPECT_TRUE(a.repair);
  EXPECT_FALSE(a.check);
  EXPECT_EQ(a.wait_seconds, 30);
  EXPECT_EQ(a.restart_argument, "-x");
  EXPECT_EQ(a.program_folder, "C:\\Prog");
  // After a positional argument an option is a positional argument.
  ClientArgs late = Parsed({"-x", "--check"});
  EXPECT_FALSE(late.check);
  EXPECT_EQ(late.restart_argument, "-x");
  EXPECT_EQ(late.program_folder, "--check");
  // "--" ends the options: a restart argument may then be "--check".
  ClientArgs dashes = Parsed({"--check", "--", "--check", "--"});
  EXPECT_TRUE(dashes.check);
  EXPECT_EQ(dashes.restart_argument, "--check");
  EXPECT_EQ(dashes.program_folder, "--");
  // A restart argument that merely looks like an option is still one, as
  // programs written before the options pass it.
  std::string error;
  ClientArgs unknown = Parsed({"--minimized", "C:\\Prog"}, &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(unknown.restart_argument, "--minimized");
  EXPECT_EQ(unknown.program_folder, "C:\\Prog");
  EXPECT_FALSE(unknown.unattended);
  // Nothing at all, and options alone.
  EXPECT_EQ(Parsed({}).restart_argument, "");
  ClientArgs alone = Parsed({"--check"});
  EXPECT_TRUE(alone.check);
  EXPECT_EQ(alone.restart_argument, "");
  // The Windows client reads them from its whole command line.
  ClientArgs line = ClientArgsFromCommandLine(R"("C:\Q\Quastorell.exe" --unattended "" "C:\P Q\")");
  EXPECT_TRUE(line.unattended);
  EXPECT_EQ(line.restart_argument, "");
  EXPECT_EQ(line.program_folder, R"(C:\P Q\)");
}

TEST(ParseClientOptions, AWrongOptionIsSaidAndNothingOfItIsTaken) {
  for (const Params& wrong :
       {Params{"--wait-seconds"}, Params{"--wait-seconds", "-1"}, Params{"--wait-seconds", "5s"},
        Params{"--wait-seconds", "+5"}, Params{"--wait-seconds", "86401"},
        Params{"--wait-seconds", "99999999999999999999"}, Params{"--unattended", "--unattended"},
        Params{"--wait-seconds", "1", "--wait-seconds", "2"}, Params{"--check", "--repair"},
        Params{"--unattended", "--wait-seconds", "", "-x"}}) {
    std::string error;
    ClientArgs a = Parsed(wrong, &error);
    EXPECT_NE(error, "") << wrong.back();
    // No option of a wrong command line takes effect.
    EXPECT_FALSE(a.unattended || a.check || a.repair);
    EXPECT_EQ(a.wait_seconds, 0);
  }
  std::string error;
  EXPECT_EQ(Parsed({"--wait-seconds", "86400"}, &error).wait_seconds, 86400);
  EXPECT_EQ(error, "");
  EXPECT_EQ(Parsed({"--wait-seconds", "0"}, &error).wait_seconds, 0);
  EXPECT_EQ(error, "");
}

// Whatever the argument, the child's command line splits back into exactly it.
TEST(QuoteArgument, SplitsBackIntoTheSameArgument) {
  EXPECT_EQ(QuoteArgument("-x"), "-x");
  EXPECT_EQ(QuoteArgument(R"(C:\dir\file)"), R"(C:\dir\file)");
  EXPECT_EQ(QuoteArgument("a b"), R"("a b")");
  EXPECT_EQ(QuoteArgument(R"(C:\My Docs\)"), R"("C:\My Docs\\")");
  EXPECT_EQ(QuoteArgument(R"(say "hi")"), R"("say \"hi\"")");
  EXPECT_EQ(QuoteArgument(""), R"("")");
  for (const std::string& arg :
       {std::string("/file=C:\\My Docs\\a b.txt"), std::string("a\\\"b"), std::string("\\\\"),
        std::string("\\\"\\\\\""), std::string("\"\""), std::string("x\ty"),
        std::string("tr\xC3\xA4ume \xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\\"),
        std::string("ends in a quote\""), std::string(" "), std::string("a\\\\ \\\\b\\")}) {
    EXPECT_EQ(SplitCommandLine("\"C:\\p\\q.exe\" " + QuoteArgument(arg)),
              (Params{"C:\\p\\q.exe", arg}))
        << arg;
  }
}

}  // namespace
}  // namespace quasto::client
