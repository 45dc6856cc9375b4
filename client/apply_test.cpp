// The update run end to end against a real local web server: manifest,
// downloads, verification, unpacking, backups, program runs and the log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

#include "client/client_text.h"
#include "client/entry_checks.h"
#include "client/recording_view.h"
#include "client/site_fixture.h"
#include "client/test_site.h"
#include "client/updater.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/packed_file.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto::client {
namespace {

using testing::ServerProcess;
using testing::TempDir;


// The real transport, which calls `interleave` once, in the middle of the
// first download whose address ends in `when`: another run, or another
// writer, gets its turn exactly there.
class InterleavingTransport : public HttpTransport {
 public:
  InterleavingTransport(HttpTransport* inner, std::string when, std::function<void()> interleave)
      : inner_(inner), when_(std::move(when)), interleave_(std::move(interleave)) {}
  bool Get(const std::string& url, uint32_t flags, int chunk,
           const std::function<void(const HttpResponseInfo&)>& on_start,
           const std::function<bool(std::string_view)>& on_data) override {
    return inner_->Get(url, flags, chunk, on_start, [&](std::string_view piece) {
      const bool ok = on_data(piece);
      if (!done_ && url.size() >= when_.size() &&
          url.compare(url.size() - when_.size(), when_.size(), when_) == 0) {
        done_ = true;
        interleave_();
      }
      return ok;
    });
  }

 private:
  HttpTransport* inner_;
  std::string when_;
  std::function<void()> interleave_;
  bool done_ = false;
};

class ApplyTest : public SiteFixture {
 protected:
  // Publishes a file as the builder would: packed, with its manifest entry.
  UpdFileStructure& Publish(const std::string& path, const std::string& name,
                            const std::string& content, int32_t flags = 0) {
    return PublishFile(site_, &manifest_, path, name, content, kNew, flags);
  }

  void Install(const std::string& rel, const std::string& content, int32_t date = kOld) {
    install_.Write(rel, content);
    ASSERT_TRUE(fs::SetFileDate(install_ / rel, date));
  }

  // Runs the update and presses the button once.
  void RunWithButton(HttpTransport* transport = nullptr, RecordingView* view = nullptr) {
    ASSERT_TRUE(SaveDocument(site_ / "Quastorell.uif", manifest_));
    if (view == nullptr) view = &view_;
    view->events = {ViewEvent::kNone, ViewEvent::kButton, ViewEvent::kCloseWindow};
    Updater updater(&ctx_, view, transport ? transport : transport_.get(), system_.get());
    updater.RunUpdate(ctx_.config.ProgInfo);
    if (view == &view_) outcome_ = updater.outcome();
    last_outcome_ = updater.outcome();
  }

  std::string LogHeader() {
    return "Update  (" + FormatDate(fs::NowDateValue(), true) + ")\r\n";
  }
  TempDir logs_;
  Updater::Outcome last_outcome_;
};

TEST_F(ApplyTest, ReplacesChangedFilesAndCreatesNewOnes) {
  const std::string tool(150000, 'T');
  Install("Tool.exe", "old tool");
  Install("readme.txt", "current", kNew);
  Publish("", "Tool.exe", tool);
  Publish("", "readme.txt", "not newer");  // same date: left alone
  Publish("lang\\de\\", "text.xml", "<de/>");
  Publish("a b\\", "\xC3\x9C" "bersicht r\xC3\xA4ume.txt", "umlauts");
  Publish("", "empty.dat", "");
  RunWithButton();

  EXPECT_EQ(install_.Read("Tool.exe"), tool);
  EXPECT_EQ(install_.Read("readme.txt"), "current");
  EXPECT_EQ(install_.Read("lang\\de\\text.xml"), "<de/>");
  EXPECT_EQ(install_.Read("a b\\\xC3\x9C" "bersicht r\xC3\xA4ume.txt"), "umlauts");
  EXPECT_EQ(FileExists(install_ / "empty.dat"), 1);
  EXPECT_EQ(fs::FileDate(install_ / "Tool.exe"), kNew);
  EXPECT_EQ(fs::FileDate(install_ / "lang\\de\\text.xml"), kNew);
  EXPECT_EQ(FileExists(install_ / "Tool.exe.bak"), 0);
  EXPECT_TRUE(Leftovers("").empty());
  EXPECT_TRUE(view_.messages.empty());
  EXPECT_EQ(outcome_.actions, 4);
  EXPECT_EQ(outcome_.failures, 0);

  // Before the update: count and size; then 3, 2, 1, 0 and "---".
  EXPECT_EQ(view_.history[kCountText],
            (std::vector<std::string>{"4", "3", "2", "1", "0", "---"}));
  EXPECT_EQ(view_.history[kSummaryText].front(), "Dateien zur Aktualisierung  (146 KB)");
  EXPECT_EQ(view_.texts[kSummaryText], "Dateien zur Aktualisierung");
  EXPECT_EQ(view_.texts[kStatusText], "Aktualisierung komplett.");
  EXPECT_EQ(view_.log, (std::vector<std::string>{"open Tool 2.0", "enable", "disable", "disable",
                                                 "close"}));
  // What a console lists before it asks.
  EXPECT_EQ(view_.details, (std::vector<std::string>{
                               "Tool.exe (146 KB)", "a b\\\xC3\x9C" "bersicht r\xC3\xA4ume.txt (0 KB)",
                               "empty.dat (0 KB)", "lang\\de\\text.xml (0 KB)"}));

  // Manifest order, by key bytes: Tool.exe, a b\..., empty.dat, lang\de\text.xml.
  EXPECT_EQ(Log(), LogHeader() +
                       "-> Tool.exe (146 KB)\n"
                       "-> \xC3\x9C" "bersicht r\xC3\xA4ume.txt (0 KB)\n"
                       "-> empty.dat (0 KB)\n"
                       "-> text.xml (0 KB)\n"
                       "-------------------------\n\r\n");
}

// Packed files whose connections break are taken up where they broke, and
// the update completes; each request after the first asks for the rest.
TEST_F(ApplyTest, TransfersCutOffAreResumedAndTheUpdateCompletes) {
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 9));
  Install("Big.dll", "old big");
  Install("Small.txt", "old small");
  PublishHashed(site_, &manifest_, "", "Big.dll", big, kNew);
  PublishHashed(site_, &manifest_, "", "Small.txt", "new small", kNew);
  ServerProcess cutting("http_server.py",
                        {"--root", site_.path(), "--log", logs_ / "requests", "--cut",
                         "50,90:" + MakePackName("Big.dll", ""), "--cut",
                         "60:" + MakePackName("Small.txt", "")});
  ctx_.config.URL = cutting.http_url();
  RunWithButton();
  EXPECT_EQ(install_.Read("Big.dll"), big);
  EXPECT_EQ(install_.Read("Small.txt"), "new small");
  EXPECT_EQ(outcome_.failures, 0);
  EXPECT_TRUE(view_.messages.empty());
  EXPECT_TRUE(Leftovers("").empty());
  // Three requests for the big one, two for the small one, and no byte of
  // either twice.
  const std::string log = logs_.Read("requests");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 6) << log;
  const std::string packed = site_.Read(MakePackName("Big.dll", ""));
  int64_t sent = 0;
  std::istringstream lines(log);
  for (std::string path, status, bytes; lines >> path >> status >> bytes;) {
    if (path.find("Big") != std::string::npos) sent += std::stoll(bytes);
  }
  EXPECT_EQ(sent, static_cast<int64_t>(packed.size()));
}

TEST_F(ApplyTest, CorruptDownloadKeepsTheInstalledFile) {
  Install("Tool.exe", "old tool");
  UpdFileStructure& e = Publish("", "Tool.exe", std::string(50000, 'N'));
  std::string packed = site_.Read(e.Pack);
  packed[packed.size() / 2] ^= 1;
  site_.Write(e.Pack, packed);
  RunWithButton();

  EXPECT_EQ(install_.Read("Tool.exe"), "old tool");
  EXPECT_EQ(fs::FileDate(install_ / "Tool.exe"), kOld);
  EXPECT_TRUE(Leftovers("").empty());
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].title, " Quastorell");
  EXPECT_EQ(view_.messages[0].text, "\xC3\x9C" "bertragungsfehler beim Download:\nTool.exe");
  EXPECT_EQ(view_.messages[0].icon, kIconWarning);
  EXPECT_EQ(Log(), LogHeader() + "-> Update Error: Tool.exe\n-------------------------\n\r\n");
  EXPECT_EQ(outcome_.failures, 1);
  EXPECT_EQ(FileExists(ctx_.data_folder + kJournalFile), 0);
}

TEST_F(ApplyTest, VerifiedButUnpackableFileKeepsTheInstalledFile) {
  Install("data.bin", "old data");
  UpdFileStructure& e = Publish("", "data.bin", std::string(50000, 'D'));
  // Damage the LZMA stream and publish the CRC of the damaged file, so that
  // only the unpacking can notice.
  std::string packed = site_.Read(e.Pack);
  packed.resize(packed.size() - 3);
  std::string header(16, '\0');
  WritePackedHeader({static_cast<double>(packed.size() - 16), 50000.0}, header.data());
  packed.replace(0, 16, header);
  site_.Write(e.Pack, packed);
  e.CRC = static_cast<int32_t>(Crc32(packed));
  RunWithButton();

  EXPECT_EQ(install_.Read("data.bin"), "old data");
  EXPECT_TRUE(Leftovers("").empty());
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, "Datei konnte nicht aktualisiert werden:\ndata.bin");
}

// A ".bak" file the client did not make is the user's: it is never moved
// back over the current file, and never deleted.
TEST_F(ApplyTest, TheUsersOwnBackupsAreLeftAlone) {
  Install("Tool.exe", "current tool");
  install_.Write("Tool.exe.bak", "the user's backup");
  install_.Write("Lib.dll", "current lib");
  ASSERT_TRUE(fs::SetFileDate(install_ / "Lib.dll", kOld));
  install_.Write("Lib.dll.bak", "stale lib backup");
  Publish("", "Tool.exe", "new tool");
  UpdFileStructure& lib = Publish("", "Lib.dll", "new lib");
  lib.CRC ^= 1;  // this one fails
  RunWithButton();

  EXPECT_EQ(install_.Read("Tool.exe"), "new tool");
  EXPECT_EQ(install_.Read("Tool.exe.bak"), "the user's backup");
  EXPECT_EQ(install_.Read("Lib.dll"), "current lib");
  EXPECT_EQ(install_.Read("Lib.dll.bak"), "stale lib backup");
  EXPECT_EQ(FileExists(install_ / "Tool.exe.1.bak"), 0);  // the client's own went at once
}

// The manifest's CRC vouches for these packed files, yet they are not what
// its Size says: one declares a megabyte of content for a 1000-byte file, the
// other goes on past its content plus the header.
TEST_F(ApplyTest, PackedFilesThatLieAboutTheirLengthAreNotInstalled) {
  Install("bomb.dat", "old bomb");
  Install("long.dat", "old long");
  UpdFileStructure& bomb = Publish("", "bomb.dat", std::string(1 << 20, '\0'));
  bomb.Size = 1000;
  UpdFileStructure& longer = Publish("", "long.dat", std::string(100, 'L'));
  std::string packed = site_.Read(longer.Pack) + std::string(5000, 'x');
  site_.Write(longer.Pack, packed);
  longer.CRC = static_cast<int32_t>(Crc32(packed));
  RunWithButton();
  EXPECT_EQ(install_.Read("bomb.dat"), "old bomb");
  EXPECT_EQ(install_.Read("long.dat"), "old long");
  ASSERT_EQ(view_.messages.size(), 2u);
  EXPECT_EQ(view_.messages[0].text, "Datei konnte nicht aktualisiert werden:\nbomb.dat");
  EXPECT_EQ(view_.messages[1].text, "\xC3\x9C" "bertragungsfehler beim Download:\nlong.dat");
  EXPECT_TRUE(Leftovers("").empty());
  EXPECT_EQ(outcome_.failures, 2);
}

TEST_F(ApplyTest, MissingPackedFileAndReadOnlyTarget) {
  Install("gone.txt", "still here");
  UpdFileStructure& gone = Publish("", "gone.txt", "new");
  fs::RemoveFile(site_ / gone.Pack);  // the server answers 404
  Install("locked.txt", "old");
  ASSERT_TRUE(fs::SetAttributes(install_ / "locked.txt", fs::kAttrReadOnly));
  UpdFileStructure& locked = Publish("", "locked.txt", "unlocked content");
  locked.Attrib = fs::kAttrReadOnly | fs::kAttrArchive;
  RunWithButton();

  EXPECT_EQ(install_.Read("gone.txt"), "still here");
  EXPECT_EQ(install_.Read("locked.txt"), "unlocked content");
  EXPECT_NE(fs::Attributes(install_ / "locked.txt") & fs::kAttrReadOnly, 0);
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, "\xC3\x9C" "bertragungsfehler beim Download:\ngone.txt");
}

TEST_F(ApplyTest, OldVersionsAnEarlierRunLeftGoWithTheNextUpdate) {
  Install("Tool.exe", "old tool");
  install_.Write("Lib.dll.bak", "moved aside while in use");
  Journal rest;
  rest.committing = true;
  JournalStep drop;
  drop.kind = StepKind::kDropBackup;
  drop.path = "Lib.dll.bak";
  rest.steps = {drop};
  ASSERT_TRUE(SaveJournal(ctx_.data_folder + kJournalFile, rest));
  Publish("", "Tool.exe", "new tool");
  RunWithButton();
  EXPECT_EQ(install_.Read("Tool.exe"), "new tool");
  EXPECT_EQ(FileExists(install_ / "Lib.dll.bak"), 0);
  EXPECT_EQ(FileExists(ctx_.data_folder + kJournalFile), 0);
  EXPECT_EQ(Log(), LogHeader() + "-> Tool.exe (0 KB)\n-------------------------\n\r\n");
}

// Links the user made inside the installation may lead anywhere: nothing
// is written, deleted or run through one that leads out of the folder.
TEST_F(ApplyTest, NothingIsWrittenDeletedOrRunThroughALinkLeadingOut) {
  TempDir outside;
  outside.Write("data\\keep.txt", "outside");
  outside.Write("victim.txt", "outside victim");
  ASSERT_EQ(symlink(fs::NativePath(outside / "data").c_str(), (install_ / "data").c_str()), 0);
  ASSERT_EQ(symlink(fs::NativePath(outside / "victim.txt").c_str(),
                    (install_ / "victim.txt").c_str()), 0);
  // A link that stays inside is just another name.
  CreateDirectoryTree(install_ / "real");
  ASSERT_EQ(symlink((install_ / "real").c_str(), (install_ / "alias").c_str()), 0);
  Publish("data\\", "new.txt", "written outside?");
  Publish("data\\", "keep.txt", "replaced outside?");
  Publish("data\\", "run.sh", "#!/bin/sh\necho ran > ran.txt\n", kFlagRun);
  Publish("", "victim.txt", "overwritten?");
  Publish("alias\\", "ok.txt", "inside");
  UpdFileStructure& del = manifest_["data\\gone.txt"];
  outside.Write("data\\gone.txt", "deleted outside?");
  del.Path = "data\\";
  del.Name = "gone.txt";
  del.Type = "F";
  del.Flags = kFlagDelete;
  RunWithButton();

  EXPECT_EQ(outside.Read("data\\keep.txt"), "outside");
  EXPECT_EQ(outside.Read("data\\gone.txt"), "deleted outside?");
  EXPECT_EQ(outside.Read("victim.txt"), "outside victim");
  EXPECT_EQ(FileExists(outside / "data\\new.txt"), 0);
  EXPECT_EQ(FileExists(outside / "data\\run.sh"), 0);
  EXPECT_EQ(FileExists(outside / "data\\ran.txt"), 0);
  EXPECT_EQ(install_.Read("real\\ok.txt"), "inside");
  EXPECT_EQ(outcome_.actions, 1);
  const std::string log = Log();
  for (const char* refused : {"data\\new.txt", "data\\keep.txt", "data\\run.sh",
                              "data\\gone.txt", "victim.txt"}) {
    EXPECT_NE(log.find(std::string("-> Update Error: ") + refused + " (" + kLinkOut + ")\n"),
              std::string::npos)
        << refused << "\n" << log;
  }
}

// Two runs on one installation without the lock (which the run sequence
// takes, not the update): the second runs whole while the first is half-way
// through its download. Neither takes the other's temporaries.
TEST_F(ApplyTest, TwoRunsAtOnceNeverShareTheirTemporaries) {
  std::string big;
  for (int i = 0; big.size() < 400000; ++i) big += std::to_string(i * 7919) + ";";
  Install("f.bin", "old");
  UpdFileStructure& e = PublishHashed(site_, &manifest_, "", "f.bin", big, kNew);
  RecordingView second_view;
  // The second run is another client, with its own connection.
  auto second = NewHttpTransport();
  InterleavingTransport first(transport_.get(), PercentEncode(e.Pack),
                              [&] { RunWithButton(second.get(), &second_view); });
  RunWithButton(&first);
  EXPECT_EQ(last_outcome_.failures, 0) << "the second run";
  EXPECT_EQ(outcome_.failures, 0) << "the first run";
  EXPECT_TRUE(view_.messages.empty());
  EXPECT_TRUE(install_.Read("f.bin") == big);
  EXPECT_TRUE(Leftovers("").empty());
  EXPECT_EQ(FileExists(ctx_.data_folder + kJournalFile), 0);
}

// What lies on disk is checked before it is moved into place: here the
// first file's staged copy is changed while the second file downloads.
TEST_F(ApplyTest, AStagedFileChangedBeforeTheCommitIsNotInstalled) {
  Install("a.bin", "old a");
  Install("b.bin", "old b");
  Publish("", "a.bin", std::string(30000, 'A'));
  UpdFileStructure& b = Publish("", "b.bin", std::string(30000, 'B'));
  // Downloads run ahead of the staging: b's first bytes may arrive before
  // a is staged. a's bytes are all in by then, and b's wait while this
  // runs, so a's staged file becomes whole here, and is then changed.
  InterleavingTransport transport(transport_.get(), PercentEncode(b.Pack), [&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool changed = false;
    while (!changed && std::chrono::steady_clock::now() < until) {
      std::vector<fs::DirEntry> entries;
      fs::ListDirectory(install_.path(), &entries);
      for (const auto& entry : entries) {
        if (entry.name.rfind("a.bin.", 0) == 0 && entry.name.find(".~qnew") != std::string::npos &&
            install_.Read(entry.name).size() == 30000) {
          install_.Write(entry.name, std::string(30000, 'X'));
          changed = true;
        }
      }
      if (!changed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(changed) << "a's staged file never became whole";
  });
  RunWithButton(&transport);
  EXPECT_EQ(install_.Read("a.bin"), "old a");
  EXPECT_TRUE(install_.Read("b.bin") == std::string(30000, 'B'));
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, "Datei konnte nicht aktualisiert werden:\na.bin");
  EXPECT_EQ(Log(), LogHeader() + "-> Update Error: a.bin\n-> b.bin (29.3 KB)\n"
                                 "-------------------------\n\r\n");
  EXPECT_TRUE(Leftovers("").empty());
}

// A replaced program stays one to run; a new file is one when its name has
// no extension and its content starts a script or an ELF program.
TEST_F(ApplyTest, PermissionBitsOfReplacedFilesStayAndNewProgramsRun) {
  auto mode = [&](const std::string& rel) {
    struct stat st;
    return stat(fs::NativePath(install_ / rel).c_str(), &st) == 0 ? st.st_mode & 0777 : 0u;
  };
  Install("bin\\app", "#!/bin/sh\necho 1\n");
  chmod(fs::NativePath(install_ / "bin\\app").c_str(), 0755);
  Install("bin\\tool.sh", "echo 1\n");
  chmod(fs::NativePath(install_ / "bin\\tool.sh").c_str(), 0750);
  Install("doc.txt", "private");
  chmod(fs::NativePath(install_ / "doc.txt").c_str(), 0640);
  Publish("bin\\", "app", "#!/bin/sh\necho 2\n");
  Publish("bin\\", "tool.sh", "echo 2\n");
  Publish("", "doc.txt", "private 2");
  Publish("bin\\", "new", "#!/bin/sh\necho new\n");
  Publish("bin\\", "elf", std::string("\x7F" "ELF\x01\x01\x01", 7) + std::string(100, '\0'));
  Publish("bin\\", "data", "plain data");
  Publish("", "notes.txt", "#!not a program\n");
  const mode_t mask = umask(022);
  RunWithButton();
  umask(mask);
  EXPECT_EQ(outcome_.failures, 0);
  EXPECT_EQ(install_.Read("bin\\app"), "#!/bin/sh\necho 2\n");
  EXPECT_EQ(mode("bin\\app"), 0755u);
  EXPECT_EQ(mode("bin\\tool.sh"), 0750u);
  EXPECT_EQ(mode("doc.txt"), 0640u);
  EXPECT_EQ(mode("bin\\new"), 0755u);
  EXPECT_EQ(mode("bin\\elf"), 0755u);
  EXPECT_EQ(mode("bin\\data"), 0644u);
  EXPECT_EQ(mode("notes.txt"), 0644u);
  std::string out;
  EXPECT_EQ(testing::RunProgram({fs::NativePath(install_ / "bin\\app")}, &out), 0);
  EXPECT_EQ(out, "2\n");
}

TEST_F(ApplyTest, RunsMarkedProgramsAfterTheUpdate) {
  Publish("tools\\", "post.sh", "#!/bin/sh\necho ran > marker.txt\n", kFlagRun);
  RunWithButton();
  // The program runs in its own folder and the client waits for it.
  EXPECT_EQ(install_.Read("tools\\marker.txt"), "ran\n");
  EXPECT_EQ(Log(), LogHeader() + "-> post.sh (0 KB)\n-> Run: post.sh\n"
                                 "-------------------------\n\r\n");
}

TEST_F(ApplyTest, WithHashesOnlyOtherContentIsFetchedWhateverTheDates) {
  // An installation copied without its dates: every file is dated now.
  const int32_t now = fs::NowDateValue();
  Install("same.dll", "unchanged", now);
  Install("app.exe", "version 1", now);
  Install("inplace.dll", "AAAA", kNew);
  PublishHashed(site_, &manifest_, "", "same.dll", "unchanged", kNew);
  PublishHashed(site_, &manifest_, "", "app.exe", "version 2", kNew);
  PublishHashed(site_, &manifest_, "", "inplace.dll", "BBBB", kNew);  // same size and date
  RunWithButton();
  EXPECT_EQ(outcome_.actions, 2);
  EXPECT_EQ(outcome_.failures, 0);
  EXPECT_EQ(install_.Read("same.dll"), "unchanged");
  EXPECT_EQ(fs::FileDate(install_ / "same.dll"), now) << "not touched";
  EXPECT_EQ(install_.Read("app.exe"), "version 2");
  EXPECT_EQ(install_.Read("inplace.dll"), "BBBB");
  EXPECT_EQ(Log(), LogHeader() + "-> app.exe (0 KB)\n-> inplace.dll (0 KB)\n"
                                 "-------------------------\n\r\n");

  // The next start finds everything current and reads no file to say so.
  view_ = RecordingView();
  view_.events = {ViewEvent::kCloseWindow};
  Updater again(&ctx_, &view_, transport_.get(), system_.get());
  again.RunUpdate("T");
  EXPECT_EQ(again.outcome().actions, 0);
  EXPECT_EQ(view_.texts[kStatusText], "Keine Aktualisierung erforderlich.");
  EXPECT_EQ(again.hashes().files_hashed(), 1) << "only same.dll, dated too recently to vouch";
}

TEST_F(ApplyTest, ContentThatIsNotThePublishersIsNotInstalled) {
  Install("Tool.exe", "old tool");
  // A packed file whose CRC the manifest states correctly, but whose
  // content is not the file the publisher hashed.
  UpdFileStructure& e = PublishHashed(site_, &manifest_, "", "Tool.exe", "evil tool", kNew);
  e.SHA256 = Sha256Hex("good tool");
  RunWithButton();
  EXPECT_EQ(install_.Read("Tool.exe"), "old tool");
  EXPECT_EQ(fs::FileDate(install_ / "Tool.exe"), kOld);
  EXPECT_TRUE(Leftovers("").empty());
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, "Datei konnte nicht aktualisiert werden:\nTool.exe");
  EXPECT_EQ(Log(), LogHeader() + "-> Update Error: Tool.exe\n-------------------------\n\r\n");
  EXPECT_EQ(outcome_.failures, 1);
}

TEST_F(ApplyTest, ErrorPageAsManifestIsAnUrlError) {
  ctx_.config.URL = server_.http_url() + "status/500/";
  RunWithButton();
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].title, " Tool 2.0");
  EXPECT_EQ(view_.messages[0].icon, kIconError);
  EXPECT_FALSE(outcome_.manifest_fetched);
  EXPECT_TRUE(view_.closed);
  EXPECT_EQ(view_.details, (std::vector<std::string>{"HTTP status 500"}));
}

// What cannot be read as one whole manifest is a manifest error, never a
// manifest without entries: that would say nothing is to be done while the
// publisher's update waits.
TEST_F(ApplyTest, WhatIsNoWholeManifestIsAManifestErrorNeverNothingToDo) {
  Install("app.txt", "old app");
  Publish("", "app.txt", "new app");
  const std::string good = ToJson(manifest_);
  struct Case {
    std::string body, url_prefix, why;
  };
  const std::vector<Case> cases = {
      {"<html><body>Not here</body></html>", "", "Invalid value. (at byte 0)"},
      {"[1, 2, 3]", "", "it is no JSON object"},
      {good + "\n<!-- cached -->", "", "there are bytes after the JSON value (at byte " +
                                            std::to_string(good.size() + 1) + ")"},
      {good.substr(0, good.size() - 1), "", ""},
      {good, "gzip/", "the server sent it in Content-Encoding \"gzip\""},
      {good, "partial/", "HTTP status 206 is not the whole file"},
      {good, "short/", ""},
      {good, "chunkhalf/", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url_prefix + c.body.substr(0, 20));
    site_.Write("Quastorell.uif", c.body);
    ctx_.config.URL = server_.http_url() + c.url_prefix;
    view_ = RecordingView();
    view_.events = {ViewEvent::kNone, ViewEvent::kButton, ViewEvent::kCloseWindow};
    Updater updater(&ctx_, &view_, transport_.get(), system_.get());
    updater.RunUpdate(ctx_.config.ProgInfo);
    if (c.url_prefix == "chunkhalf/") {
      // The transfer itself broke: as any transfer that breaks.
      EXPECT_FALSE(updater.outcome().manifest_fetched);
    } else {
      EXPECT_TRUE(updater.outcome().manifest_fetched);
      EXPECT_FALSE(updater.outcome().manifest_error.empty());
      if (!c.why.empty()) {
        EXPECT_EQ(updater.outcome().manifest_error, c.why);
      }
      ASSERT_EQ(view_.messages.size(), 1u);
      EXPECT_EQ(view_.messages[0].title, " Tool 2.0");
      EXPECT_EQ(view_.messages[0].text,
                "Die Update-Informationen sind besch\xC3\xA4" "digt oder unvollst\xC3\xA4" "ndig.\n"
                "Aktualisierung wird abgebrochen.  ");
      EXPECT_EQ(view_.messages[0].icon, kIconError);
    }
    EXPECT_TRUE(view_.closed);
    EXPECT_NE(view_.texts[kStatusText], "Keine Aktualisierung erforderlich.");
    EXPECT_FALSE(updater.outcome().applied);
    EXPECT_EQ(install_.Read("app.txt"), "old app");
    EXPECT_EQ(FileExists(install_ / "Quasto\\Quastorell.log"), 0);
  }
  // The same manifest, whole, is applied.
  site_.Write("Quastorell.uif", good);
  ctx_.config.URL = server_.http_url() + "chunked/";
  RunWithButton();
  EXPECT_EQ(install_.Read("app.txt"), "new app");
}

}  // namespace
}  // namespace quasto::client

namespace quasto::client {
namespace {

// A packed file that never ends is stopped at its content's length plus the
// header, so it cannot fill the disk; the installed file stays.
TEST_F(ApplyTest, AnEndlessPackedFileIsStopped) {
  Install("data.bin", "old data");
  UpdFileStructure& e = Publish("", "data.bin", std::string(5000, 'd'));
  ServerProcess endless("http_server.py", {"--root", site_.path(), "--endless", e.Pack});
  ctx_.config.URL = endless.http_url();
  RunWithButton();
  EXPECT_EQ(install_.Read("data.bin"), "old data");
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, "\xC3\x9C" "bertragungsfehler beim Download:\ndata.bin");
  EXPECT_TRUE(Leftovers("").empty());
  EXPECT_EQ(outcome_.failures, 1);
}

}  // namespace
}  // namespace quasto::client
