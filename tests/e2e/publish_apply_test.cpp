// A release folder published by the builder's command line, served by a real
// local web server and applied by the client's logic: the installed folder
// must equal the release byte for byte, with the release's dates.
#include <gtest/gtest.h>

#include <sstream>

#include "builder/cli.h"
#include "client/recording_view.h"
#include "client/run_sequence.h"
#include "shared/dates.h"
#include "shared/documents.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto {
namespace {

using testing::ServerProcess;
using testing::TempDir;

int Builder(const std::vector<std::string>& args, std::string* out = nullptr) {
  std::istringstream in;
  std::ostringstream o, e;
  int rc = RunBuilderCli(args, in, o, e, false);
  if (out) *out = o.str() + e.str();
  return rc;
}

// Every file below `root` (relative path -> content).
void Collect(const std::string& root, const std::string& rel,
             std::map<std::string, std::string>* files) {
  std::vector<fs::DirEntry> entries;
  fs::ListDirectory(root + rel, &entries);
  for (const auto& e : entries) {
    if (e.is_directory) {
      Collect(root, rel + e.name + "\\", files);
    } else {
      std::string content;
      fs::ReadFile(root + rel + e.name, &content);
      (*files)[rel + e.name] = content;
    }
  }
}

class PublishApplyTest : public ::testing::Test {
 protected:
  void Release(const std::string& rel, const std::string& content, int32_t date) {
    release_.Write(rel, content);
    ASSERT_TRUE(fs::SetFileDate(release_ / rel, date));
  }

  // Runs the client in `install_` until the update is applied.
  client::ClientOutcome Apply(const std::string& url) {
    UpdaterStructure config;
    config.ProgInfo = "E2E";
    config.URL = url;
    CreateDirectoryTree(install_ / "Quasto");
    EXPECT_TRUE(SaveDocument(install_ / "Quasto\\Quastorell.ucf", config));
    client::RecordingView view;
    view.events = {client::ViewEvent::kButton, client::ViewEvent::kCloseWindow};
    auto transport = client::NewHttpTransport();
    auto system = client::NewClientSystem();
    auto outcome = client::RunClient({}, install_.path(), &view, transport.get(), system.get());
    messages_ = view.messages.size();
    return outcome;
  }

  TempDir base_, release_, install_;
  size_t messages_ = 0;
};

TEST_F(PublishApplyTest, InstalledFolderEqualsTheRelease) {
  const int32_t v1 = DateValueFromCivil({2026, 1, 10, 9, 0, 0});
  const int32_t v2 = DateValueFromCivil({2026, 7, 20, 18, 30, 0});
  Release("app.exe", std::string(300000, 'A') + "v1", v1);
  Release("lib\\core.dll", std::string(100000, 'L'), v1);
  Release("readme.txt", "first", v1);

  std::string out;
  ASSERT_EQ(Builder({"--base", base_.path(), "new", "App", "--source", release_.path(), "--url",
                     "http://unused/", "--version", "1.0"},
                    &out),
            0)
      << out;
  ASSERT_EQ(Builder({"--base", base_.path(), "generate", "App"}, &out), 0) << out;

  // Version 2: changed, new in nested folders, empty, unusual names.
  Release("app.exe", std::string(300000, 'A') + "v2", v2);
  Release("lib\\core.dll", std::string(120000, 'M'), v2);
  Release("docs\\de\\Hilfe f\xC3\xBCr alle.txt", "\xC3\x9C" "bersicht r\xC3\xA4ume", v2);
  Release("docs\\empty.log", "", v2);
  ASSERT_EQ(Builder({"--base", base_.path(), "generate", "App", "--version", "2.0"}, &out), 0)
      << out;

  // The update set plus the manifest, as the upload would publish them.
  const std::string target = base_ / "Upload\\App\\";
  std::string manifest;
  ASSERT_TRUE(fs::ReadFile(base_ / "Projects\\App\\Quastorell.uif", &manifest));
  ASSERT_TRUE(fs::WriteFile(target + "Quastorell.uif", manifest));
  ServerProcess web("http_server.py", {"--root", fs::NativePath(target)});

  // An installation of version 1 is brought to version 2.
  install_.Write("app.exe", std::string(300000, 'A') + "v1");
  fs::SetFileDate(install_ / "app.exe", v1);
  install_.Write("lib\\core.dll", std::string(100000, 'L'));
  fs::SetFileDate(install_ / "lib\\core.dll", v1);
  install_.Write("readme.txt", "first");
  fs::SetFileDate(install_ / "readme.txt", v1);
  EXPECT_EQ(Apply(web.http_url()), client::ClientOutcome::kUpdated);
  EXPECT_EQ(messages_, 0u);

  std::map<std::string, std::string> want, got;
  Collect(release_.path(), "", &want);
  Collect(install_.path(), "", &got);
  got.erase("Quasto\\Quastorell.ucf");
  got.erase("Quasto\\Quastorell.log");
  got.erase("Quasto\\Quastorell.hash");
  got.erase("Quasto\\Quastorell.lock");
  got.erase("Quasto\\Quastorell.result");
  ASSERT_EQ(got.size(), want.size());
  for (const auto& [rel, content] : want) {
    EXPECT_TRUE(got.count(rel) && got[rel] == content) << rel << " differs";
    EXPECT_EQ(fs::FileDate(install_ / rel), fs::FileDate(release_ / rel)) << rel;
  }

  // A second run finds nothing to do.
  EXPECT_EQ(Apply(web.http_url()), client::ClientOutcome::kNothingToDo);
}

// Published over SFTP (OpenSSH's sshd) and FTPS (vsftpd) by the command
// line, then served from the folder the servers wrote to: an empty
// installation becomes the release.
TEST_F(PublishApplyTest, SftpAndFtpsPublicationsBringAnInstallationToTheRelease) {
  const std::string info = base_ / "secure.info";
  const std::string script = testing::SourceDir() + "/tests/servers/secure_server.py";
  std::string started;
  ASSERT_EQ(testing::RunProgram({"/usr/bin/python3", script, "start", fs::NativePath(info)},
                                &started),
            0)
      << started;
  // Stopped however the test ends.
  struct Stop {
    std::vector<std::string> argv;
    ~Stop() { testing::RunProgram(argv); }
  } stop{{"/usr/bin/python3", script, "stop", fs::NativePath(info)}};
  std::string text;
  ASSERT_TRUE(fs::ReadFile(info, &text));
  std::istringstream in(text);
  std::string ftps_port, sftp_port, root, cert_pin, host_pin, user, key;
  ASSERT_TRUE(in >> ftps_port >> sftp_port >> root >> cert_pin >> host_pin >> user >> key);

  const int32_t date = DateValueFromCivil({2026, 5, 4, 12, 0, 0});
  Release("app.exe", std::string(200000, 'S') + "secure", date);
  Release("daten\\Grüße.txt", "über SFTP und FTPS", date);
  const std::vector<std::vector<std::string>> settings = {
      {"--protocol", "SFTP", "--port", sftp_port, "--login", user, "--key-file", key},
      {"--protocol", "FTPS", "--port", ftps_port, "--login", "ftp", "--fingerprint", cert_pin}};
  const std::vector<std::string> passwords = {"geheim\n", "anonym\n"};
  for (size_t i = 0; i < settings.size(); ++i) {
    TempDir base, install;
    const std::string project = "P" + std::to_string(i);
    std::vector<std::string> ftp = {"--base", base.path(), "ftp", "--server", "127.0.0.1",
                                    "--password-stdin"};
    ftp.insert(ftp.end(), settings[i].begin(), settings[i].end());
    std::istringstream password(passwords[i]);
    std::ostringstream o, e;
    ASSERT_EQ(RunBuilderCli(ftp, password, o, e, false), 0) << o.str() << e.str();
    std::string out;
    ASSERT_EQ(Builder({"--base", base.path(), "new", project, "--source", release_.path(), "--url",
                       "http://unused/", "--ftp-dir", project},
                      &out),
              0)
        << out;
    ASSERT_EQ(Builder({"--base", base.path(), "generate", project, "--version", "1.0", "--upload",
                       "--accept-host-key", host_pin},
                      &out),
              0)
        << settings[i][1] << ": " << out;

    ServerProcess web("http_server.py", {"--root", root + "/" + project});
    UpdaterStructure config;
    config.ProgInfo = "E2E";
    config.URL = web.http_url();
    CreateDirectoryTree(install / "Quasto");
    ASSERT_TRUE(SaveDocument(install / "Quasto\\Quastorell.ucf", config));
    client::RecordingView view;
    view.events = {client::ViewEvent::kButton, client::ViewEvent::kCloseWindow};
    auto transport = client::NewHttpTransport();
    auto system = client::NewClientSystem();
    EXPECT_EQ(client::RunClient({}, install.path(), &view, transport.get(), system.get()),
              client::ClientOutcome::kUpdated)
        << settings[i][1];
    std::string got;
    EXPECT_TRUE(fs::ReadFile(install / "daten\\Grüße.txt", &got));
    EXPECT_EQ(got, "über SFTP und FTPS") << settings[i][1];
    EXPECT_TRUE(fs::ReadFile(install / "app.exe", &got));
    EXPECT_EQ(got, std::string(200000, 'S') + "secure") << settings[i][1];
  }
}

// Two projects of one base folder, signed with its one key. Each project's
// signed set, served at the other's address, is refused by the other's
// installation: B's at A's, and A's at B's. An installation made before
// projects had an identity takes either, as it always did.
TEST_F(PublishApplyTest, ASignedSetIsTakenOnlyByItsOwnProject) {
  const int32_t date = DateValueFromCivil({2026, 3, 1, 8, 0, 0});
  std::string out;
  ASSERT_EQ(Builder({"--base", base_.path(), "keygen"}, &out), 0) << out;
  TempDir source_b;
  Release("app.exe", "A's program, version 2", date);
  source_b.Write("app.exe", "B's program, version 2");
  fs::SetFileDate(source_b / "app.exe", date);
  for (const auto& [name, source] : {std::pair<std::string, std::string>{"A", release_.path()},
                                     {"B", source_b.path()}}) {
    ASSERT_EQ(Builder({"--base", base_.path(), "new", name, "--source", source, "--url",
                       "http://unused/"},
                      &out),
              0)
        << out;
    ASSERT_EQ(Builder({"--base", base_.path(), "generate", name}, &out), 0) << out;
  }
  ServerProcess web("http_server.py", {"--root", fs::NativePath(base_ / "Upload")});

  // An installation of `project`'s version 1 whose configuration points at
  // the set of `served`; `identity` false: as made before identities.
  auto run = [&](const std::string& project, const std::string& served, bool identity,
                 std::string* why) {
    TempDir inst;
    inst.Write("app.exe", project + "'s program, version 1");
    fs::SetFileDate(inst / "app.exe", date - 86400);
    CreateDirectoryTree(inst / "Quasto");
    const std::string set = base_ / ("Upload\\" + project + "\\Quasto\\");
    UpdaterStructure config;
    EXPECT_TRUE(LoadDocument(set + "Quastorell.ucf", &config));
    EXPECT_EQ(config.ProjectId.size(), 32u);
    if (!identity) config.ProjectId.clear();
    config.URL = web.http_url() + served + "/";
    EXPECT_TRUE(SaveDocument(inst / "Quasto\\Quastorell.ucf", config));
    std::string key;
    EXPECT_TRUE(fs::ReadFile(set + "Quastorell.pub", &key));
    EXPECT_TRUE(fs::WriteFile(inst / "Quasto\\Quastorell.pub", key));
    client::RecordingView view;
    view.events = {client::ViewEvent::kButton, client::ViewEvent::kCloseWindow};
    auto transport = client::NewHttpTransport();
    auto system = client::NewClientSystem();
    const auto outcome =
        client::RunClient({}, inst.path(), &view, transport.get(), system.get(), why);
    *why += " | " + inst.Read("app.exe");
    return outcome;
  };
  std::string why;
  EXPECT_EQ(run("A", "B", true, &why), client::ClientOutcome::kBadSignature);
  EXPECT_NE(why.find("signed for another project"), std::string::npos) << why;
  EXPECT_NE(why.find("| A's program, version 1"), std::string::npos) << why;
  why.clear();
  EXPECT_EQ(run("B", "A", true, &why), client::ClientOutcome::kBadSignature);
  EXPECT_NE(why.find("| B's program, version 1"), std::string::npos) << why;
  why.clear();
  EXPECT_EQ(run("A", "A", true, &why), client::ClientOutcome::kUpdated) << why;
  EXPECT_NE(why.find("| A's program, version 2"), std::string::npos) << why;
  why.clear();
  EXPECT_EQ(run("A", "B", false, &why), client::ClientOutcome::kUpdated) << why;
  EXPECT_NE(why.find("| B's program, version 2"), std::string::npos) << why;
}

}  // namespace
}  // namespace quasto
