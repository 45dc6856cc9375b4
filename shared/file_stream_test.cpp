#include "shared/file_stream.h"

#include <gtest/gtest.h>

#include "shared/fs.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::TempDir;

TEST(FileStream, PieceByPieceWriteAndRead) {
  TempDir dir;
  fs::OutputFile out;
  ASSERT_TRUE(out.Create(dir / "f.bin"));
  std::string expect;
  for (int i = 0; i < 100; ++i) {
    std::string piece(1000 + i, static_cast<char>('a' + i % 26));
    ASSERT_TRUE(out.Write(piece.data(), piece.size()));
    expect += piece;
  }
  // A header patched in afterwards, as the packer does.
  ASSERT_TRUE(out.WriteAt(2, "XY", 2));
  expect.replace(2, 2, "XY");
  ASSERT_TRUE(out.Write("end", 3));
  expect += "end";
  ASSERT_TRUE(out.Close());

  fs::InputFile in;
  ASSERT_TRUE(in.Open(dir / "f.bin"));
  std::string back;
  char buf[777];
  for (int64_t n; (n = in.Read(buf, sizeof(buf))) > 0;) back.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(back, expect);
  in.Close();

  EXPECT_FALSE(in.Open(dir / "missing"));
  EXPECT_FALSE(out.Create(dir / "no\\such\\folder"));
}

// Files closed without a flush are whole to a reader at once, and are
// flushed later all together; the staging relies on both.
TEST(FileStream, UnflushedFilesAreWholeAndFlushedTogether) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 3; ++i) {
    fs::OutputFile out;
    paths.push_back(dir / ("sub\\f" + std::to_string(i)));
    if (i == 0) dir.Write("sub\\keep", "");
    ASSERT_TRUE(out.Create(paths.back()));
    ASSERT_TRUE(out.Write("content", 7 - i));
    ASSERT_TRUE(out.CloseUnflushed());
    EXPECT_FALSE(out.CloseUnflushed()) << "closed once";
    EXPECT_EQ(dir.Read("sub\\f" + std::to_string(i)), std::string("content").substr(0, 7 - i));
  }
  EXPECT_TRUE(fs::FlushFiles(paths));
  EXPECT_TRUE(fs::FlushFiles({}));
  // What cannot be flushed may not be on disk: never a success.
  EXPECT_FALSE(fs::FlushFiles({paths[0], dir / "sub\\missing"}));
  EXPECT_FALSE(fs::FlushFiles({dir / "sub"}));
}

TEST(FileStream, ReadsAtAnyOffset) {
  TempDir dir;
  dir.Write("f.bin", "0123456789");
  fs::InputFile in;
  ASSERT_TRUE(in.Open(dir / "f.bin"));
  char buf[8];
  EXPECT_EQ(in.ReadAt(7, buf, sizeof(buf)), 3);
  EXPECT_EQ(std::string(buf, 3), "789");
  EXPECT_EQ(in.ReadAt(2, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "23");
  EXPECT_EQ(in.ReadAt(10, buf, 1), 0);
  EXPECT_EQ(in.ReadAt(uint64_t{1} << 40, buf, 1), 0);
  in.Close();
  EXPECT_EQ(in.ReadAt(0, buf, 1), -1);
}

TEST(FileStream, AFifoIsNeverOpenedForReading) {
  TempDir dir;
  ASSERT_TRUE(testing::MakeFifo(dir / "fifo"));
  // Opening it for reading would wait for a writer for ever.
  testing::EndsWithin(20, "opening a FIFO", [&] {
    fs::InputFile in;
    EXPECT_FALSE(in.Open(dir / "fifo"));
  });
}

}  // namespace
}  // namespace quasto
