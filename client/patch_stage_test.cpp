// Files that come as patches against the installed content, against a real
// local web server: the patch is used only for its base, checked before and
// after it is applied, and whatever goes wrong, the file comes whole in the
// same run, once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <random>

#include "client/client_text.h"
#include "client/recording_view.h"
#include "client/run_report.h"
#include "client/site_fixture.h"
#include "client/test_site.h"
#include "client/updater.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/journal.h"
#include "shared/patch.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto::client {
namespace {

using testing::ServerProcess;
using testing::TempDir;


std::string Program(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

class PatchStage : public SiteFixture {
 protected:
  PatchStage() {
    v1_ = Program(300000, 1);
    v2_ = v1_;
    v2_.replace(1000, 6, "fixed!");
    v2_.insert(200000, "a new function");
  }

  // Tool.exe v1 installed; v2 published whole and as a patch from v1.
  UpdFileStructure& PublishWithPatch(const std::string& base_content) {
    install_.Write("Tool.exe", v1_);
    fs::SetFileDate(install_ / "Tool.exe", kOld);
    UpdFileStructure& e = PublishHashed(site_, &manifest_, "", "Tool.exe", v2_, kNew);
    std::string patch;
    EXPECT_TRUE(MakePatch(base_content, v2_, &patch));
    patch_ = patch;
    site_.Write("Tool[exe].0123456789abcdef.uzp", patch);
    e.Patches.push_back({Sha256Hex(v1_), "Tool[exe].0123456789abcdef.uzp",
                         static_cast<int32_t>(patch.size()), Sha256Hex(patch)});
    return e;
  }

  void RunWithButton() {
    ASSERT_TRUE(SaveDocument(site_ / "Quastorell.uif", manifest_));
    SiteFixture::RunWithButton();
  }

  bool Logged(const std::string& line) { return Log().find(line) != std::string::npos; }
  // Whole files fetched: each packed file's name in the server's log is
  // not kept, so the run's own words are used.
  void ExpectWholeAfterAll(const std::string& why) {
    EXPECT_EQ(install_.Read("Tool.exe"), v2_);
    EXPECT_EQ(fs::FileDate(install_ / "Tool.exe"), kNew);
    EXPECT_EQ(outcome_.failures, 0);
    EXPECT_TRUE(view_.messages.empty()) << "the user is not troubled: the file arrived";
    EXPECT_TRUE(Logged("-> Patch not used: Tool.exe (" + why + "); fetched whole\n")) << Log();
    EXPECT_TRUE(Logged("-> Tool.exe (293 KB)\n")) << Log();
    EXPECT_TRUE(Leftovers().empty());
    EXPECT_EQ(FileExists(ctx_.data_folder + kJournalFile), 0);
  }

  std::string v1_, v2_, patch_;
};

TEST_F(PatchStage, AFileWhoseContentIsTheBaseComesAsAPatch) {
  PublishWithPatch(v1_);
  install_.Write("other.dll", "not any base");
  UpdFileStructure& other = PublishHashed(site_, &manifest_, "", "other.dll", "new dll", kNew);
  other.Patches.push_back({std::string(64, 'a'), "x.uzp", 5, std::string(64, 'b')});
  RunReport report;
  ctx_.report = &report;
  RunWithButton();
  ctx_.report = nullptr;
  // The result file counts what travelled: the patch, not the whole file.
  EXPECT_EQ(report.bytes_to_fetch, static_cast<int64_t>(patch_.size() + 7));
  const int64_t manifest_size = fs::FileSize(site_ / "Quastorell.uif");
  EXPECT_EQ(report.bytes_fetched,
            manifest_size + static_cast<int64_t>(patch_.size() + site_.Read(other.Pack).size()))
      << "patch " << patch_.size();
  EXPECT_EQ(install_.Read("Tool.exe"), v2_);
  EXPECT_EQ(install_.Read("other.dll"), "new dll");
  EXPECT_EQ(fs::FileDate(install_ / "Tool.exe"), kNew);
  EXPECT_EQ(outcome_.failures, 0);
  EXPECT_TRUE(Leftovers().empty());
  // What is shown after the analysis is what travels: the patch.
  const std::string patch_kb = SizeText(static_cast<float>(patch_.size()));
  EXPECT_EQ(view_.details, (std::vector<std::string>{"Tool.exe (" + patch_kb + ", patch)",
                                                     "other.dll (0 KB)"}));
  EXPECT_EQ(view_.history[kSummaryText].front(),
            "Dateien zur Aktualisierung  (" +
                SizeText(static_cast<float>(patch_.size() + 7)) + ")");
  EXPECT_TRUE(Logged("-> Tool.exe (293 KB) from a patch of " + patch_kb + "\n")) << Log();
  EXPECT_TRUE(Logged("-> other.dll (0 KB)\n")) << Log();
  EXPECT_FALSE(Logged("Patch not used"));

  // Current now: nothing to do, no patch fetched for a file that is current.
  view_ = RecordingView();
  RunWithButton();
  EXPECT_EQ(outcome_.actions, 0);
}

TEST_F(PatchStage, AMissingPatchMeansTheWholeFile) {
  PublishWithPatch(v1_);
  fs::RemoveFile(site_ / "Tool[exe].0123456789abcdef.uzp");
  RunWithButton();
  ExpectWholeAfterAll("HTTP status 404");
}

TEST_F(PatchStage, APatchWithAnotherHashIsNeverApplied) {
  PublishWithPatch(v1_);
  std::string damaged = patch_;
  damaged[damaged.size() - 3] ^= 1;
  site_.Write("Tool[exe].0123456789abcdef.uzp", damaged);
  RunWithButton();
  ExpectWholeAfterAll("the patch is not the one the manifest names");
}

TEST_F(PatchStage, APatchThatDoesNotApplyMeansTheWholeFile) {
  // Made from another base than the manifest says, as a publisher's mistake
  // would: its hash is right, what it makes is not the file.
  std::string other = v1_;
  other[5] ^= 1;
  PublishWithPatch(other);
  RunWithButton();
  ExpectWholeAfterAll("the patch failed: " + std::string(PatchStatusText(PatchStatus::kOtherResult)));
}

TEST_F(PatchStage, APatchForAnotherResultIsRefusedBeforeItWrites) {
  PublishWithPatch(v1_);
  // A patch that is well formed but gives another content than the entry's.
  std::string wrong;
  ASSERT_TRUE(MakePatch(v1_, v1_ + "tail", &wrong));
  site_.Write("Tool[exe].0123456789abcdef.uzp", wrong);
  manifest_["Tool.exe"].Patches[0].Size = static_cast<int32_t>(wrong.size());
  manifest_["Tool.exe"].Patches[0].SHA256 = Sha256Hex(wrong);
  RunWithButton();
  ExpectWholeAfterAll("the patch failed: " + std::string(PatchStatusText(PatchStatus::kOtherLength)));
}

// A full disk fails the patch and then the whole file: the run says so and
// installs nothing, and it does not try again and again.
TEST_F(PatchStage, NoSpaceEndsInAFailureNeverInALoopOrAFalseSuccess) {
  PublishWithPatch(v1_);
  signal(SIGXFSZ, SIG_IGN);
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  rlimit small = before;
  small.rlim_cur = 100000;  // the patch and the log fit, the program does not
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  RunWithButton();
  setrlimit(RLIMIT_FSIZE, &before);
  EXPECT_EQ(install_.Read("Tool.exe"), v1_);
  EXPECT_EQ(outcome_.failures, 1);
  EXPECT_TRUE(Logged("-> Patch not used: Tool.exe (no space for the file); fetched whole\n"))
      << Log();
  EXPECT_TRUE(Logged("-> Update Error: Tool.exe\n")) << Log();
  EXPECT_EQ(view_.messages.size(), 1u) << "said once";
  EXPECT_TRUE(Leftovers().empty());
}

}  // namespace
}  // namespace quasto::client
