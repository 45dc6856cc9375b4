#include "client/console_view.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace quasto::client {
namespace {

// What a view wrote to its file.
std::string Written(std::FILE* f) {
  std::fflush(f);
  std::string text;
  std::rewind(f);
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  return text;
}

// On a terminal the live line carries the bytes staged, the speed and the
// time left, measured from the first bytes; redrawn a few times a second,
// and always for the last bytes.
TEST(ConsoleViewTransfer, TheLiveLineShowsBytesSpeedAndTimeLeft) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ConsoleView view(f, nullptr, true, true, "Update?");
  int64_t now = 10000;
  view.SetClock([&] { return now; });
  view.SetText(kStatusText, "app.exe ( 0% )");
  view.ShowTransfer(0, 4 << 20);
  EXPECT_NE(Written(f).find("app.exe ( 0% )  0 Byte of 4.00 MB"), std::string::npos);
  now += 100;
  view.ShowTransfer(1 << 20, 4 << 20);
  EXPECT_EQ(Written(f).find("1.00 MB of"), std::string::npos) << "drawn again too soon";
  now += 1900;  // 2 s for 2 MiB: 1 MiB/s, 2 s left
  view.ShowTransfer(2 << 20, 4 << 20);
  EXPECT_NE(Written(f).find("2.00 MB of 4.00 MB, 1.00 MB/s, 2 s left"), std::string::npos)
      << Written(f);
  now += 10;
  view.ShowTransfer(4 << 20, 4 << 20);
  const std::string end = "4.00 MB of 4.00 MB, 1.99 MB/s";
  const std::string all = Written(f);
  ASSERT_GE(all.size(), end.size());
  EXPECT_EQ(all.substr(all.size() - end.size()), end)
      << "the end is drawn at once, without a time left";
  view.CloseProgressWindow();
  std::fclose(f);
}

TEST(ConsoleViewTransfer, LongWaitsInMinutesAndHoursAndPlainLinesWithout) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ConsoleView live(f, nullptr, true, true, "Update?");
  int64_t now = 0;
  live.SetClock([&] { return now; });
  live.ShowTransfer(0, 1000000);
  now = 1000;
  live.ShowTransfer(1000, 1000000);  // 1000 B/s: 999 s left
  EXPECT_NE(Written(f).find(", 16:39 min left"), std::string::npos) << Written(f);
  now = 2000;
  live.ShowTransfer(1001, 100000000);
  EXPECT_NE(Written(f).find(":"), std::string::npos);
  EXPECT_NE(Written(f).find(" h left"), std::string::npos) << Written(f);
  std::fclose(f);

  // Not a terminal: the lines stay what they were, one per status.
  std::FILE* g = std::tmpfile();
  ASSERT_NE(g, nullptr);
  ConsoleView plain(g, nullptr, false, true, "Update?");
  plain.SetClock([&] { return now; });
  plain.SetText(kStatusText, "app.exe ( 0% )");
  plain.ShowTransfer(0, 100);
  now += 5000;
  plain.ShowTransfer(50, 100);
  plain.SetText(kStatusText, "app.exe ( 100% )");
  EXPECT_EQ(Written(g), "app.exe ( 0% )\napp.exe ( 100% )\n");
  std::fclose(g);
}

}  // namespace
}  // namespace quasto::client
