// Resumed transfers and resumed runs of the real console client against a
// real nginx: its own validators (an ETag made of the file's time and
// length, else Last-Modified), its own answers to Range and If-Range (206,
// 200, 416), and what its log says it sent. nginx does not break a transfer
// on its own: a relay in front of it cuts or stalls chosen responses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>

#include "client/client_text.h"
#include "client/resume_fixture.h"
#include "client/test_site.h"
#include "shared/dates.h"
#include "shared/documents.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/limits.h"
#include "shared/test_util.h"
#include "tests/support/nginx_process.h"
#include "tests/support/server_process.h"

namespace quasto {
namespace {

using testing::NginxProcess;
using testing::NginxRequest;
using testing::ServerProcess;
using testing::TempDir;

std::vector<int> Statuses(const std::vector<NginxRequest>& requests) {
  std::vector<int> out;
  for (const NginxRequest& r : requests) out.push_back(r.status);
  return out;
}

int64_t BytesSent(const std::vector<NginxRequest>& requests) {
  int64_t sum = 0;
  for (const NginxRequest& r : requests) sum += r.body_bytes;
  return sum;
}

// Two large files in "d\" (c.bin is the one broken off) and a small new one.
class NginxResumeTest : public testing::ResumeFixture {
 protected:
  void SetUp() override {
    if (NginxProcess::Binary().empty()) GTEST_SKIP() << "nginx is not installed";
    InstallOld({"a.bin", "c.bin"});
    Publish("d\\", "a.bin", testing::Noise(1200000, 1));
    Publish("d\\", "c.bin", testing::Noise(2200000, 3));
    Publish("", "e.txt", "a small new file");
  }

  // A packed file's path as the client requests it.
  std::string Uri(const std::string& rel) {
    return "/" + client::PercentEncode(manifest_[rel].Pack);
  }
  std::string PackPath(const std::string& rel) { return site_ / manifest_[rel].Pack; }
  int64_t Half() { return PackedSize("d\\c.bin") / 2; }

  // Runs the client through a relay to nginx that stalls c.bin half-way,
  // and ends it with `signal` once that half is written and recorded.
  // Returns the exit status (-1: killed); what nginx answered for c.bin is
  // in first_.
  int EndWhileStaging(int signal) {
    NginxProcess nginx(site_.path(), directives_);
    int status = 0;
    {
      ServerProcess relay("cutting_relay.py",
                          {"--to", std::to_string(nginx.port()), "--stall",
                           std::to_string(Half()) + ":" + Uri("d\\c.bin").substr(1)});
      Configure(relay.http_url());
      status = EndOnceHalfIsRecorded(signal, Half());
    }
    nginx.Stop();
    const std::vector<NginxRequest> c = nginx.RequestsFor(Uri("d\\c.bin"));
    EXPECT_EQ(c.size(), 1u);
    if (!c.empty()) first_ = c[0];
    return status;
  }

  // Runs the client against a fresh nginx on the same folder (its
  // validators are those of the files, as the first one's were); nginx_
  // holds its log.
  void RunAgainstNginx() {
    nginx_ = std::make_unique<NginxProcess>(site_.path(), directives_);
    Configure(nginx_->http_url());
    std::string out;
    EXPECT_EQ(Run(&out), 0) << out;
    nginx_->Stop();
  }

  void ExpectRelease() {
    for (const auto& [rel, content] : release_) {
      EXPECT_TRUE(install_.Read(rel) == content) << rel << " is not the release's";
    }
    EXPECT_EQ(Temporary("c.bin", ".~qdl"), "");
    EXPECT_EQ(FileExists(install_ / "Quasto\\Quastorell.journal"), 0);
    EXPECT_EQ(install_.Read("Quasto\\Quastorell.log").find("Update Error"), std::string::npos);
  }

  // Sets the modification time of a file, to the second.
  static void SetTime(const std::string& path, time_t seconds) {
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  }
  static time_t TimeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mtime;
  }

  std::string directives_;
  NginxRequest first_;
  std::unique_ptr<NginxProcess> nginx_;
};

TEST_F(NginxResumeTest, AKilledRunIsTakenUpWithTheRestUnderNginxsETag) {
  EXPECT_EQ(EndWhileStaging(SIGKILL), -1);
  ASSERT_EQ(first_.etag.substr(0, 1), "\"") << "a strong ETag: " << first_.etag;

  RunAgainstNginx();
  EXPECT_TRUE(nginx_->RequestsFor(Uri("d\\a.bin")).empty()) << "a.bin was staged";
  const std::vector<NginxRequest> c = nginx_->RequestsFor(Uri("d\\c.bin"));
  ASSERT_EQ(Statuses(c), std::vector<int>{206});
  EXPECT_EQ(c[0].range, "bytes=" + std::to_string(Half()) + "-");
  EXPECT_EQ(c[0].if_range, first_.etag);
  EXPECT_EQ(c[0].etag, first_.etag);
  EXPECT_EQ(c[0].body_bytes, PackedSize("d\\c.bin") - Half()) << "only the missing bytes";
  EXPECT_EQ(Statuses(nginx_->RequestsFor(Uri("e.txt"))), std::vector<int>{200});
  ExpectRelease();
}

// Without an ETag the date the file was last changed names its version.
TEST_F(NginxResumeTest, ACancelledRunIsTakenUpUnderLastModifiedWhenNginxSendsNoETag) {
  directives_ = "etag off;";
  EXPECT_EQ(EndWhileStaging(SIGINT), 5);
  EXPECT_EQ(first_.etag, "");
  ASSERT_NE(first_.last_modified, "");
  EXPECT_EQ(install_.Read("d\\c.bin"), "old c.bin");

  RunAgainstNginx();
  const std::vector<NginxRequest> c = nginx_->RequestsFor(Uri("d\\c.bin"));
  ASSERT_EQ(Statuses(c), std::vector<int>{206});
  EXPECT_EQ(c[0].range, "bytes=" + std::to_string(Half()) + "-");
  EXPECT_EQ(c[0].if_range, first_.last_modified);
  EXPECT_EQ(c[0].body_bytes, PackedSize("d\\c.bin") - Half());
  ExpectRelease();
}

// A new release between the runs: c.bin has new content under the same
// packed name, written later, so nginx names it with a new ETag.
TEST_F(NginxResumeTest, AFileChangedOnNginxBetweenTheRunsIsTakenWholeFromItsStart) {
  EXPECT_EQ(EndWhileStaging(SIGKILL), -1);
  const time_t before = TimeOf(PackPath("d\\c.bin"));
  Publish("d\\", "c.bin", testing::Noise(2200000, 13));
  SetTime(PackPath("d\\c.bin"), before + 60);

  RunAgainstNginx();
  const std::vector<NginxRequest> c = nginx_->RequestsFor(Uri("d\\c.bin"));
  ASSERT_EQ(Statuses(c), std::vector<int>{200});
  EXPECT_EQ(c[0].range, "bytes=" + std::to_string(Half()) + "-");
  EXPECT_EQ(c[0].if_range, first_.etag) << "the version the first half is of";
  EXPECT_NE(c[0].etag, first_.etag);
  EXPECT_EQ(c[0].body_bytes, PackedSize("d\\c.bin"));
  ExpectRelease();
}

// nginx's ETag is the file's time and length: a file replaced within the
// same second by one as long keeps it, and nginx sends the rest of the new
// file after the old start. The checks of the joined file find it, and the
// file is fetched once more, whole.
TEST_F(NginxResumeTest, AFileReplacedUnderTheSameETagIsNotJoinedToTheOldStart) {
  EXPECT_EQ(EndWhileStaging(SIGKILL), -1);
  const time_t before = TimeOf(PackPath("d\\c.bin"));
  Publish("d\\", "c.bin", testing::Noise(2200000, 13));
  SetTime(PackPath("d\\c.bin"), before);

  RunAgainstNginx();
  const std::vector<NginxRequest> c = nginx_->RequestsFor(Uri("d\\c.bin"));
  ASSERT_EQ(Statuses(c), (std::vector<int>{206, 200}));
  EXPECT_EQ(c[0].etag, first_.etag) << "nginx cannot tell the versions apart";
  EXPECT_EQ(c[1].range, "");
  ExpectRelease();
}

// A partial download as long as the packed file (a run ended after its last
// byte came, before it was checked): nginx has no byte from there on to
// send. Only a packed file shorter than its content can be taken for a
// partial download of it, so c.bin packs to about half here.
TEST_F(NginxResumeTest, APartialDownloadAsLongAsTheFileIsFetchedAgainAfterA416) {
  std::string content = testing::Noise(1700000, 3);
  for (char& ch : content) ch = static_cast<char>(ch & 0x3f);
  Publish("d\\", "c.bin", content);
  ASSERT_GT(PackedSize("d\\c.bin"), kResumableFrom);
  ASSERT_LT(PackedSize("d\\c.bin"), static_cast<int64_t>(content.size()));
  EXPECT_EQ(EndWhileStaging(SIGKILL), -1);
  const std::string partial = Temporary("c.bin", ".~qdl");
  ASSERT_NE(partial, "");
  std::string whole;
  fs::ReadFile(PackPath("d\\c.bin"), &whole);
  fs::WriteFile(partial, whole);

  RunAgainstNginx();
  const std::vector<NginxRequest> c = nginx_->RequestsFor(Uri("d\\c.bin"));
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].range, "bytes=" + std::to_string(whole.size()) + "-");
  EXPECT_EQ(Statuses(c), (std::vector<int>{416, 200}));
  ExpectRelease();
}

// Within one run: the relay cuts c.bin's transfer after its first megabyte
// and the transfer of the rest after 800,000 more bytes; the client takes
// it up twice under nginx's ETag, and nginx sends the file about once.
TEST_F(NginxResumeTest, ATransferCutTwiceIsTakenUpFromNginxWithinTheRun) {
  NginxProcess nginx(site_.path());
  const std::string c_path = Uri("d\\c.bin").substr(1);
  {
    ServerProcess relay("cutting_relay.py", {"--to", std::to_string(nginx.port()), "--cut",
                                             "1000000:" + c_path, "--cut", "800000:" + c_path});
    Configure(relay.http_url());
    std::string out;
    EXPECT_EQ(Run(&out), 0) << out;
  }
  nginx.Stop();
  std::vector<NginxRequest> c = nginx.RequestsFor(Uri("d\\c.bin"));
  ASSERT_EQ(c.size(), 3u);
  // A broken transfer is logged when nginx notices, not when it began.
  std::sort(c.begin(), c.end(),
            [](const NginxRequest& x, const NginxRequest& y) { return x.range < y.range; });
  EXPECT_EQ(c[0].status, 200);
  EXPECT_EQ(c[0].range, "");
  EXPECT_EQ(c[0].etag.substr(0, 1), "\"") << "a strong ETag";
  EXPECT_EQ(c[1].status, 206);
  EXPECT_EQ(c[1].range, "bytes=1000000-");
  EXPECT_EQ(c[1].if_range, c[0].etag);
  EXPECT_EQ(c[2].status, 206);
  EXPECT_EQ(c[2].range, "bytes=1800000-");
  EXPECT_EQ(c[2].if_range, c[0].etag);
  const int64_t size = PackedSize("d\\c.bin");
  EXPECT_EQ(c[2].body_bytes, size - 1800000);
  EXPECT_LE(BytesSent(c), size + size / 10) << "sent about once";
  ExpectRelease();
}

// An nginx that serves no ranges answers the Range with the whole file
// under the same ETag: the client passes over what it has and takes the
// rest from that answer.
TEST_F(NginxResumeTest, ATransferCutFromAnNginxThatServesNoRangesGoesOnFromTheWholeFile) {
  NginxProcess nginx(site_.path(), "max_ranges 0;");
  {
    ServerProcess relay("cutting_relay.py", {"--to", std::to_string(nginx.port()), "--cut",
                                             "1000000:" + Uri("d\\c.bin").substr(1)});
    Configure(relay.http_url());
    std::string out;
    EXPECT_EQ(Run(&out), 0) << out;
  }
  nginx.Stop();
  std::vector<NginxRequest> c = nginx.RequestsFor(Uri("d\\c.bin"));
  ASSERT_EQ(c.size(), 2u);
  std::sort(c.begin(), c.end(),
            [](const NginxRequest& x, const NginxRequest& y) { return x.range < y.range; });
  EXPECT_EQ(Statuses(c), (std::vector<int>{200, 200}));
  EXPECT_EQ(c[1].range, "bytes=1000000-");
  EXPECT_EQ(c[1].if_range, c[0].etag);
  EXPECT_EQ(c[1].body_bytes, PackedSize("d\\c.bin"));
  ExpectRelease();
}

}  // namespace
}  // namespace quasto
