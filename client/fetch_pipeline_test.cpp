#include "client/fetch_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto::client {
namespace {

using testing::ServerProcess;
using testing::TempDir;

class FetchPipelineTest : public ::testing::Test {
 protected:
  FetchPipelineTest()
      : server_("http_server.py", {"--root", dir_.path(), "--connections", logs_ / "connections"}),
        transport_(NewHttpTransport()) {
    for (int i = 0; i < 4; ++i) {
      std::string body(150000 + i * 20000, '\0');
      for (size_t k = 0; k < body.size(); ++k) body[k] = static_cast<char>(k * (i + 3) + k / 251);
      bodies_.push_back(body);
      // Built by appending: g++ 12 warns falsely (-Wrestrict) about a
      // literal joined to a temporary.
      std::string name = "f";
      name += std::to_string(i);
      name += ".bin";
      dir_.Write(name, body);
    }
  }

  FetchPipeline::Request At(const std::string& path, int64_t max_bytes = -1) {
    return {server_.http_url() + path, path, max_bytes, 0, {}};
  }
  // The body of request `index`, or nullopt when it failed.
  static std::optional<std::string> Body(FetchPipeline* p, size_t index,
                                         int64_t* length = nullptr,
                                         FetchPipeline::Result* result = nullptr) {
    std::string body;
    int64_t announced = -3;
    const FetchPipeline::Result r = p->Take(
        index, [&](int64_t n) { announced = n; },
        [&](std::string_view piece) {
          EXPECT_NE(announced, -3) << "the length comes before the body";
          body.append(piece);
          return true;
        });
    if (length != nullptr) *length = announced;
    if (result != nullptr) *result = r;
    if (r.received < 0) return std::nullopt;
    EXPECT_EQ(r.received, static_cast<int64_t>(body.size()));
    return body;
  }
  size_t Connections() const {
    const std::string log = logs_.Read("connections");
    return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
  }

  TempDir dir_, logs_;
  ServerProcess server_;
  std::unique_ptr<HttpTransport> transport_;
  std::vector<std::string> bodies_;
};

// Files are handed over whole and in order over one connection, while a
// slow taker keeps the queue at its bound: the downloads wait for it rather
// than pile up in memory.
TEST_F(FetchPipelineTest, InOrderOverOneConnectionWithinTheQueuesBound) {
  constexpr size_t kBound = 100000;
  FetchPipeline p(transport_.get(),
                  {At("f0.bin"), At("f1.bin"), At("nolength/f2.bin"), At("f3.bin")}, kBound);
  for (size_t i = 0; i < 4; ++i) {
    std::string body;
    int64_t length = 0;
    const FetchPipeline::Result r = p.Take(
        i, [&](int64_t n) { length = n; },
        [&](std::string_view piece) {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
          body.append(piece);
          return true;
        });
    EXPECT_EQ(r.received, static_cast<int64_t>(bodies_[i].size())) << i;
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(body == bodies_[i]) << i;
    EXPECT_EQ(length, i == 2 ? -2 : static_cast<int64_t>(bodies_[i].size()));
  }
  EXPECT_LE(p.peak_queued(), kBound);
  EXPECT_GT(p.peak_queued(), kBound / 2) << "the downloads ran ahead of the taker";
  // The body without a length ends with its connection; the next needs one.
  EXPECT_EQ(Connections(), 2u);
}

// A failed file fails alone, judged as Downloader judges it: an error page,
// a part, a body longer than its bound, a transfer cut short. The files
// after it still come whole.
TEST_F(FetchPipelineTest, EachFailureIsItsFilesAlone) {
  FetchPipeline p(transport_.get(),
                  {At("missing.bin"), At("partial/f0.bin"), At("f1.bin", 1000),
                   At("truncate/f2.bin"), At("f3.bin")});
  FetchPipeline::Result r;
  EXPECT_FALSE(Body(&p, 0, nullptr, &r));
  EXPECT_EQ(r.status, 404);
  EXPECT_FALSE(Body(&p, 1, nullptr, &r));
  EXPECT_EQ(r.not_whole, "HTTP status 206 is not the whole file");
  EXPECT_FALSE(Body(&p, 2, nullptr, &r));
  EXPECT_TRUE(r.too_long);
  EXPECT_FALSE(Body(&p, 3, nullptr, &r));
  auto last = Body(&p, 4);
  ASSERT_TRUE(last);
  EXPECT_TRUE(*last == bodies_[3]);
}

// A taker that refuses a piece (its disk is full) stops that download; one
// that passes files over never gets them later, and the rest still come.
TEST_F(FetchPipelineTest, RefusedAndPassedOverFilesDoNotHoldUpTheRest) {
  FetchPipeline p(transport_.get(), {At("f0.bin"), At("f1.bin"), At("f2.bin"), At("f3.bin")},
                  20000);
  int pieces = 0;
  const FetchPipeline::Result refused = p.Take(
      0, [](int64_t) {},
      [&](std::string_view) {
        ++pieces;
        return false;
      });
  EXPECT_EQ(refused.received, -1);
  EXPECT_EQ(pieces, 1) << "nothing more is handed over once refused";
  auto third = Body(&p, 2);
  ASSERT_TRUE(third);
  EXPECT_TRUE(*third == bodies_[2]);
  EXPECT_FALSE(Body(&p, 1)) << "passed over";
  EXPECT_FALSE(Body(&p, 2)) << "taken once";
  auto fourth = Body(&p, 3);
  ASSERT_TRUE(fourth);
  EXPECT_TRUE(*fourth == bodies_[3]);
  EXPECT_FALSE(Body(&p, 4)) << "no such request";
}

// Dropped before its files are taken, the pipeline stops its transfer and
// returns at once; nothing waits on a queue nobody empties.
TEST_F(FetchPipelineTest, DroppedEarlyItStopsItsTransfers) {
  const auto start = std::chrono::steady_clock::now();
  {
    FetchPipeline p(transport_.get(), {At("f0.bin"), At("f1.bin"), At("huge/x")}, 10000);
    auto first = Body(&p, 0);
    ASSERT_TRUE(first);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// The reader form: small reads give the bodies whole, the announced length
// is known by the first piece; a reader that stops early gets no whole
// transfer, and the next file still comes whole; failures read as ended.
TEST_F(FetchPipelineTest, ReadInSmallPiecesOrStoppedEarly) {
  FetchPipeline p(transport_.get(), {At("f0.bin"), At("f1.bin"), At("missing.bin"), At("f3.bin")},
                  50000);
  auto read_all = [&](size_t index, FetchPipeline::Result* r) {
    p.Open(index);
    std::string body;
    char buf[999];
    for (int64_t n; (n = p.Read(buf, sizeof buf)) > 0;) {
      EXPECT_NE(p.announced(), -1);
      body.append(buf, static_cast<size_t>(n));
    }
    *r = p.Close();
    return body;
  };
  FetchPipeline::Result r;
  EXPECT_TRUE(read_all(0, &r) == bodies_[0]);
  EXPECT_EQ(r.received, static_cast<int64_t>(bodies_[0].size()));
  EXPECT_EQ(p.announced(), static_cast<int64_t>(bodies_[0].size()));

  p.Open(1);
  char buf[100];
  EXPECT_EQ(p.Read(buf, sizeof buf), 100);
  EXPECT_EQ(p.Close().received, -1) << "a part is not the file";

  EXPECT_EQ(read_all(2, &r), "");
  EXPECT_EQ(r.received, -1);
  EXPECT_EQ(r.status, 404);
  EXPECT_TRUE(read_all(3, &r) == bodies_[3]);
  EXPECT_EQ(r.received, static_cast<int64_t>(bodies_[3].size()));
  p.Open(1);
  EXPECT_EQ(p.Read(buf, sizeof buf), 0) << "passed once";
  EXPECT_EQ(p.Close().received, -1);
}

}  // namespace
}  // namespace quasto::client
