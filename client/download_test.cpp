#include "client/download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>

#include "client/recording_view.h"
#include "shared/content_hash.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto::client {
namespace {

using testing::ServerProcess;
using testing::TempDir;

class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest()
      : server_("http_server.py", {"--root", dir_.path(), "--connections", logs_ / "connections"}),
        transport_(NewHttpTransport()),
        downloader_(transport_.get(), &view_) {
    body_ = std::string(200000, '\0');
    for (size_t i = 0; i < body_.size(); ++i) body_[i] = static_cast<char>(i * 7 + i / 255);
    dir_.Write("file.bin", body_);
    dir_.Write("empty.bin", "");
    dir_.Write("{a}b[c].uzf", "bracketed");
    downloader_.BindProgressText(kStatusText, "{F} ( {P}% )");
  }

  std::optional<std::string> Get(const std::string& path, int progress = kProgressText) {
    return downloader_.StartDownload(server_.http_url() + path, "C:\\x\\Tool.exe", 0x800,
                                     progress, 65536);
  }

  size_t Connections() const {
    const std::string log = logs_.Read("connections");
    return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
  }

  TempDir dir_, logs_;
  ServerProcess server_;
  std::unique_ptr<HttpTransport> transport_;
  RecordingView view_;
  Downloader downloader_;
  std::string body_;
};

TEST_F(DownloadTest, WholeBodyWithProgress) {
  auto got = Get("file.bin");
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, body_);
  const auto& texts = view_.history[kStatusText];
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts.front(), "Tool.exe ( 0% )");
  EXPECT_EQ(texts.back(), "Tool.exe ( 100% )");
  EXPECT_EQ(view_.notifications.front(), kDownloadStarted);
  EXPECT_EQ(view_.notifications.back(), kDownloadEnded);
}

TEST_F(DownloadTest, WithoutContentLengthThePercentStaysZero) {
  auto got = Get("nolength/file.bin");
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, body_);
  for (const auto& t : view_.history[kStatusText]) EXPECT_EQ(t, "Tool.exe ( 0% )");
}

TEST_F(DownloadTest, ErrorStatusesEmptyBodiesAndBrokenTransfersFail) {
  EXPECT_FALSE(Get("missing.bin"));        // 404 page
  EXPECT_FALSE(Get("status/500/x"));
  EXPECT_FALSE(Get("status/403/x"));
  EXPECT_FALSE(Get("empty.bin"));          // nothing received counts as failure
  EXPECT_FALSE(Get("truncate/file.bin"));  // fewer bytes than announced
  EXPECT_FALSE(downloader_.StartDownload("http://127.0.0.1:1/x", "", 0x800, 0, 0));
  EXPECT_FALSE(downloader_.StartDownload("not a url", "", 0x800, 0, 0));
}

TEST_F(DownloadTest, RedirectsSlowBodiesAndEncodedNames) {
  auto got = Get("redirect/file.bin");
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, body_);
  view_.history.clear();
  got = Get("slow/file.bin", 0);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, body_);
  EXPECT_TRUE(view_.history[kStatusText].empty());  // no progress asked for
  got = Get("%7Ba%7Db%5Bc%5D.uzf");
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, "bracketed");
}

TEST_F(DownloadTest, SinkReceivesPiecesAndCanRefuse) {
  size_t total = 0;
  int64_t n = downloader_.StartDownloadTo(server_.http_url() + "file.bin", "f", 0x800, 0, 4096,
                                          [&](std::string_view piece) {
                                            total += piece.size();
                                            return true;
                                          });
  EXPECT_EQ(n, static_cast<int64_t>(body_.size()));
  EXPECT_EQ(total, body_.size());
  n = downloader_.StartDownloadTo(server_.http_url() + "file.bin", "f", 0x800, 0, 4096,
                                  [](std::string_view) { return false; });
  EXPECT_EQ(n, -1);
}

// Only a success is the file: not an error page, and not the page of a
// redirect without a Location.
TEST_F(DownloadTest, OnlyASuccessfulAnswerIsTheBody) {
  for (const char* status : {"status/302/x", "status/301/x", "status/304/x", "status/204/x"}) {
    EXPECT_FALSE(Get(status)) << status;
  }
  EXPECT_EQ(downloader_.last_status(), 204);
}

// Only a 200 with the body as it lies on the server is the file: a part of
// it (206) or a compressed body is not, nor a chunked one whose end never
// came. The client asks for no encoding.
TEST_F(DownloadTest, OnlyAWhole200InIdentityIsTheBody) {
  EXPECT_FALSE(Get("gzip/file.bin"));
  EXPECT_EQ(downloader_.last_not_whole(), "the server sent it in Content-Encoding \"gzip\"");
  EXPECT_FALSE(Get("partial/file.bin"));
  EXPECT_EQ(downloader_.last_not_whole(), "HTTP status 206 is not the whole file");
  EXPECT_FALSE(Get("chunkcut/file.bin"));
  EXPECT_FALSE(Get("chunkhalf/file.bin"));
  EXPECT_EQ(downloader_.last_not_whole(), "");
  auto whole = Get("chunked/file.bin");
  ASSERT_TRUE(whole);
  EXPECT_EQ(*whole, body_);
  auto headers = Get("headers", 0);
  ASSERT_TRUE(headers);
  EXPECT_NE(headers->find("Accept-Encoding: identity\n"), std::string::npos) << *headers;
}

TEST_F(DownloadTest, ABodyLongerThanAllowedIsStopped) {
  int64_t seen = 0;
  auto count = [&](std::string_view piece) {
    seen += static_cast<int64_t>(piece.size());
    return true;
  };
  // Announced too long: nothing is taken.
  EXPECT_EQ(downloader_.StartDownloadTo(server_.http_url() + "file.bin", "f", 0x800, 0, 4096,
                                        count, 1000),
            -1);
  EXPECT_TRUE(downloader_.last_too_long());
  EXPECT_EQ(seen, 0);
  // Not announced: stopped when it goes past.
  EXPECT_FALSE(downloader_.StartDownload(server_.http_url() + "nolength/file.bin", "f", 0x800, 0,
                                         4096, 100000));
  EXPECT_TRUE(downloader_.last_too_long());
  auto got = downloader_.StartDownload(server_.http_url() + "file.bin", "f", 0x800, 0, 4096,
                                       static_cast<int64_t>(body_.size()));
  ASSERT_TRUE(got);
  EXPECT_FALSE(downloader_.last_too_long());
}

}  // namespace
}  // namespace quasto::client

namespace quasto::client {
namespace {

// One transport keeps its connection from request to request, and opens a
// new one only when the last was closed: by a failure, or by the server.
// A transfer cut off is taken up where it broke, with a range the server
// may only serve for the same version of the file; the bytes fetched in all
// stay near the file's size.
TEST_F(DownloadTest, ABrokenTransferIsResumedWhereItBroke) {
  downloader_.SetResumes(kTransferResumes);
  auto got = Get("cutat/50,90/file.bin");
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, body_);
  EXPECT_EQ(downloader_.last_fetched(), static_cast<int64_t>(body_.size()));
  // A server that serves no ranges sends it whole again: read from the
  // start, the part taken before passed over.
  got = Get("norange/50/file.bin");
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, body_);
  EXPECT_EQ(downloader_.last_fetched(), static_cast<int64_t>(body_.size() * 3 / 2));
  // Without resumption, or with more breaks than resumes, the file fails.
  EXPECT_FALSE(Get("cutat/10,20,30,40,50/file.bin"));
  downloader_.SetResumes(0);
  EXPECT_FALSE(Get("cutat/50/file.bin"));
}

TEST_F(DownloadTest, AResumeNeverJoinsTwoVersionsOrAPartWithoutValidator) {
  downloader_.SetResumes(kTransferResumes);
  // Cut at half; the server has another version when asked for the rest.
  // If-Range makes it answer 200 with the new file, which is refused.
  std::string taken;
  bool changed = false;
  const int64_t n = downloader_.StartDownloadTo(
      server_.http_url() + "cutat/50/file.bin", "f", 0x800, 0, 65536,
      [&](std::string_view piece) {
        taken.append(piece);
        if (!changed && taken.size() >= body_.size() / 2) {
          dir_.Write("file.bin", std::string(body_.size(), 'x'));
          changed = true;
        }
        return true;
      });
  EXPECT_EQ(n, -1);
  EXPECT_TRUE(taken == body_.substr(0, taken.size())) << "a part of the new version was taken";
  // A plain cut (no ETag, no Last-Modified) is not resumed.
  dir_.Write("file.bin", body_);
  EXPECT_FALSE(Get("truncate/file.bin"));
}

// The first bytes of a file are at hand from an earlier run: the rest is
// asked for with the version they are of.
TEST_F(DownloadTest, ATransferOfAnEarlierRunIsTakenUpWithItsVersion) {
  downloader_.SetResumes(kTransferResumes);
  // Built in steps: g++ 12 at -O3 warns falsely about `"\"" + std::string`.
  std::string etag = "\"";
  etag += Sha256Hex(body_).substr(0, 16);
  etag += '"';
  const int64_t from = 70000;
  auto resume = [&](const std::string& path, const std::string& version, std::string* got) {
    got->clear();
    return downloader_.ResumeDownloadTo(server_.http_url() + path, "f", 0x800, 65536, from,
                                        version, [&](std::string_view piece) {
                                          got->append(piece);
                                          return true;
                                        });
  };
  std::string got;
  // The same version: a 206 with the rest, also when that breaks once more.
  EXPECT_EQ(resume("cutat/90/file.bin", etag, &got),
            static_cast<int64_t>(body_.size()) - from);
  EXPECT_EQ(downloader_.last_start(), from);
  EXPECT_TRUE(got == body_.substr(from));
  EXPECT_EQ(downloader_.last_not_whole(), "");
  // Another version: the server sends the whole file, which starts over.
  EXPECT_EQ(resume("cutat/100/file.bin", "\"another\"", &got),
            static_cast<int64_t>(body_.size()));
  EXPECT_EQ(downloader_.last_start(), 0);
  EXPECT_TRUE(got == body_);
  // A server that serves no ranges answers with all of it too.
  EXPECT_EQ(resume("norange/100/file.bin", etag, &got), static_cast<int64_t>(body_.size()));
  EXPECT_EQ(downloader_.last_start(), 0);
  // A part that does not start at the byte asked for, or an error, is not it.
  EXPECT_EQ(resume("partial/file.bin", etag, &got), -1);
  EXPECT_EQ(resume("status/416/file.bin", etag, &got), -1);
  EXPECT_EQ(downloader_.last_status(), 416);
}

TEST_F(DownloadTest, OneConnectionUntilItIsClosed) {
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Get("file.bin"));
  ASSERT_TRUE(Get("redirect/file.bin"));
  EXPECT_EQ(Connections(), 1u);
  // An error page is not read, so its connection cannot be kept.
  EXPECT_FALSE(Get("missing.bin"));
  ASSERT_TRUE(Get("file.bin"));
  EXPECT_EQ(Connections(), 2u);
  EXPECT_FALSE(Get("truncate/file.bin"));
  ASSERT_TRUE(Get("file.bin"));
  EXPECT_EQ(Connections(), 3u);
  // Bodies without a length end with their connection; a server may also
  // hang up between requests without saying so beforehand.
  ASSERT_TRUE(Get("nolength/file.bin"));
  ASSERT_TRUE(Get("hangup/file.bin"));
  auto got = Get("file.bin");
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, body_);
  EXPECT_EQ(Connections(), 5u);
}

}  // namespace
}  // namespace quasto::client

namespace quasto::client {
namespace {

// The limits that end requests which cannot come to a result, shortened to a
// 2-second window; the real figures are the same rule over a minute.
class TransferLimitsTest : public ::testing::Test {
 protected:
  TransferLimitsTest()
      : server_("http_server.py", {"--root", dir_.path(), "--log", logs_ / "requests"}) {
    HttpLimits limits;
    limits.dead_seconds = 2;
    transport_ = NewHttpTransport(limits);
    body_ = std::string(100000, 'q');
    dir_.Write("file.bin", body_);
  }

  // Fetches `path`; *seconds gets how long it took.
  bool Fetch(const std::string& path, std::string* body, double* seconds) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = transport_->Get(
        server_.http_url() + path, 0x800, 65536, [](const HttpResponseInfo&) {},
        [body](std::string_view piece) {
          body->append(piece);
          return true;
        });
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return ok;
  }

  size_t Requests(const std::string& prefix) const {
    size_t n = 0;
    std::istringstream log(logs_.Read("requests"));
    for (std::string line; std::getline(log, line);) n += line.rfind(prefix, 0) == 0;
    return n;
  }

  TempDir dir_, logs_;
  ServerProcess server_;
  std::unique_ptr<HttpTransport> transport_;
  std::string body_;
};

// A trickle (2 bytes a second), a server that never answers, and one that
// stops half-way all end after about one window, as failures.
TEST_F(TransferLimitsTest, TrickleSilenceAndStallEndAfterOneWindow) {
  for (const char* path : {"trickle/file.bin", "silent/x", "stall/file.bin"}) {
    std::string body;
    double seconds = 0;
    EXPECT_FALSE(Fetch(path, &body, &seconds)) << path;
    EXPECT_GE(seconds, 1.9) << path;
    EXPECT_LT(seconds, 6.0) << path;
  }
  // A body that arrives in pauses, but steadily, is not dead; nor is the
  // connection after the ones that died.
  std::string body;
  double seconds = 0;
  EXPECT_TRUE(Fetch("slow/file.bin", &body, &seconds));
  EXPECT_EQ(body, body_);
}

// Ten redirects are followed, as curl's default; the eleventh ends the
// request, so a redirect to itself costs eleven requests, not an endless run.
TEST_F(TransferLimitsTest, RedirectsEndAfterTen) {
  std::string body;
  double seconds = 0;
  EXPECT_TRUE(Fetch("hops/10/file.bin", &body, &seconds));
  EXPECT_EQ(body, body_);
  body.clear();
  EXPECT_FALSE(Fetch("hops/11/file.bin", &body, &seconds));
  EXPECT_TRUE(body.empty());
  EXPECT_FALSE(Fetch("loop/Quastorell.uif", &body, &seconds));
  EXPECT_EQ(Requests("/loop/"), 11u);
  EXPECT_LT(seconds, 5.0);
}

}  // namespace
}  // namespace quasto::client
