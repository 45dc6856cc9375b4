// Publishing over FTPS (vsftpd) and SFTP (OpenSSH's sshd), both on 127.0.0.1
// and started by a ctest fixture (tests/servers/secure_server.py), through
// the command line as a build pipeline runs it: settings, then
// "generate --upload". What arrives must be the target folder, byte for
// byte; a server whose identity is not the one trusted gets nothing.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "builder/builder_app.h"
#include "builder/cli.h"
#include "builder/project.h"
#include "builder/recording_ui.h"
#include "builder/test_env.h"
#include "client/recording_view.h"
#include "client/run_sequence.h"
#include "shared/documents.h"
#include "shared/folders.h"
#include "shared/fs.h"

namespace quasto {
namespace {

using testing::BuilderEnv;

// A path of the host as this program sees it (under Wine, on drive Z:).
std::string HostPath(std::string path) {
  std::string host = QUASTO_HOST_ROOT;
  if (!host.empty()) {
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
  }
  return host + path;
}

// The Windows build of these tests runs under Wine, whose Schannel takes
// any certificate: that case is the real Windows' own; here it is left to
// the native build, which runs the same client code.
const bool kUnderWine = std::string(QUASTO_HOST_ROOT) == "Z:";

struct SecureServers {
  int ftps_port = 0;
  int sftp_port = 0;
  std::string root;  // as this program sees it, with a separator at the end
  std::string cert_pin;
  std::string host_pin;
  std::string ssh_user;
  std::string user_key;
  std::string xferlog;
  int http_port = 0;  // a web server over `root`
};

bool ReadSecureServers(SecureServers* s) {
  std::string text;
  if (!fs::ReadFile(QUASTO_SECURE_INFO, &text)) return false;
  std::istringstream in(text);
  std::string root, key, pub, xfer, work, vsftpd_pid, sshd_pid, http_pid;
  if (!(in >> s->ftps_port >> s->sftp_port >> root >> s->cert_pin >> s->host_pin >> s->ssh_user >>
        key >> pub >> xfer >> work >> vsftpd_pid >> sshd_pid >> http_pid >> s->http_port)) {
    return false;
  }
  s->root = WithTrailingSeparator(HostPath(root));
  s->user_key = HostPath(key);
  s->xferlog = HostPath(xfer);
  return true;
}

int PlainFtpPort() {
  std::string text;
  if (!fs::ReadFile(QUASTO_FTP_INFO, &text)) return 0;
  return std::atoi(text.c_str());
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

// Test cases run as processes side by side: each needs a folder of its own.
std::string UniqueDir() {
  static int counter = 0;
  return "run-" + std::to_string(std::random_device{}()) + "-" + std::to_string(++counter);
}

class SecureUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ReadSecureServers(&servers)) {
      GTEST_SKIP() << "no FTPS/SFTP servers: run through ctest, whose fixture starts "
                      "tests/servers/secure_server.py";
    }
    start_dir = UniqueDir();
    remote = servers.root + start_dir + "\\";
    env.dir.Write("src\\app.exe", std::string(5000, 'A') + "program");
    env.dir.Write("src\\Grüße aus 'Köln'.txt", "Umlaute, Apostrophe, Blanks");
    env.dir.Write("src\\sub dir\\ä b.dat", "");
    base = env.dir / "clibase";
  }
  void TearDown() override {
    if (!remote.empty()) testing::RemoveTree(remote);
  }

  std::pair<int, std::string> Run(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    args.insert(args.begin(), {"--base", base});
    const int rc = RunBuilderCli(args, in, out, err, false);
    return {rc, out.str() + err.str()};
  }

  // Settings for one server, then a project that publishes to "Demo".
  void Configure(std::vector<std::string> ftp_args, const std::string& password) {
    ftp_args.insert(ftp_args.begin(), {"ftp", "--server", "127.0.0.1", "--start-dir", start_dir,
                                       "--password-stdin"});
    auto [rc, out] = Run(ftp_args, password + "\n");
    ASSERT_EQ(rc, kExitOk) << out;
    if (!DirectoryExists(base + "\\Projects\\Web\\")) {
      auto [rc2, out2] = Run({"new", "Web", "--source", env.src(), "--ftp-dir", "Demo"});
      ASSERT_EQ(rc2, kExitOk) << out2;
    }
  }
  void ConfigureFtps(const std::string& pin, const std::string& login = "ftp") {
    Configure({"--protocol", "FTPS", "--port", std::to_string(servers.ftps_port), "--login", login,
               "--fingerprint", pin},
              "beliebig");
  }
  void ConfigureSftp(const std::string& pin, const std::string& passphrase = "geheim",
                     const std::string& key_file = "") {
    Configure({"--protocol", "SFTP", "--port", std::to_string(servers.sftp_port), "--login",
               servers.ssh_user, "--key-file", key_file.empty() ? servers.user_key : key_file,
               "--fingerprint", pin},
              passphrase);
  }

  // The server holds the project's manifest and every packed file it names,
  // as the target folder holds them.
  void ExpectPublished() {
    std::map<std::string, std::string> got;
    Collect(remote + "Demo\\", "", &got);
    std::string manifest_text;
    ASSERT_TRUE(fs::ReadFile(base + "\\Projects\\Web\\Quastorell.uif", &manifest_text));
    EXPECT_EQ(got["Quastorell.uif"], manifest_text);
    Manifest manifest;
    ASSERT_TRUE(LoadDocument(base + "\\Projects\\Web\\Quastorell.uif", &manifest));
    for (const auto& [key, e] : manifest) {
      if (e.Pack.empty()) continue;
      std::string packed;
      ASSERT_TRUE(fs::ReadFile(base + "\\Upload\\Web\\" + e.Pack, &packed)) << e.Pack;
      EXPECT_TRUE(got.count(e.Pack) != 0 && got[e.Pack] == packed) << e.Pack << " differs";
    }
    for (const auto& [name, content] : got) {
      EXPECT_EQ(name.find(".~qup"), std::string::npos) << "a temporary name stayed: " << name;
    }
  }

  bool NothingArrived() { return DirectoryExists(remote + "Demo\\") == 0 ||
                                 fs::FileSize(remote + "Demo\\Quastorell.uif") < 0; }

  FTPStructure Stored() {
    FTPStructure stored;
    EXPECT_TRUE(LoadDocument(base + "\\Quastorell.cfg", &stored));
    return stored;
  }

  // One run of the client's logic on an installation below the test's
  // folder, fetching through a web server over the server's root (under
  // Wine, with its Windows transport), as an installation would.
  client::ClientOutcome UpdateInstallation() {
    const std::string install = env.dir / "install\\";
    if (DirectoryExists(install + "Quasto") == 0) {
      UpdaterStructure config;
      config.ProgInfo = "Web";
      config.URL =
          "http://127.0.0.1:" + std::to_string(servers.http_port) + "/" + start_dir + "/Demo/";
      CreateDirectoryTree(install + "Quasto");
      EXPECT_TRUE(SaveDocument(install + "Quasto\\Quastorell.ucf", config));
    }
    client::RecordingView view;
    view.events = {client::ViewEvent::kButton, client::ViewEvent::kCloseWindow};
    auto transport = client::NewHttpTransport();
    auto system = client::NewClientSystem();
    return client::RunClient({}, install, &view, transport.get(), system.get());
  }

  // The installation holds every file of the source folder as it is now.
  void ExpectInstallationIsTheSource() {
    std::map<std::string, std::string> want, got;
    Collect(env.src(), "", &want);
    Collect(env.dir / "install\\", "", &got);
    for (const auto& [rel, content] : want) {
      EXPECT_TRUE(got.count(rel) != 0 && got[rel] == content) << rel << " differs";
    }
  }

  SecureServers servers;
  std::string start_dir, remote, base;
  BuilderEnv env;
};

TEST_F(SecureUpload, FtpsWithThePinnedCertificatePublishesTheWholeSet) {
  ConfigureFtps(servers.cert_pin);
  EXPECT_EQ(Stored().Protocol, "FTPS");
  EXPECT_EQ(Stored().Fingerprint, servers.cert_pin);
  auto [rc, out] = Run({"generate", "Web", "--version", "1.0", "--upload"});
  EXPECT_EQ(rc, kExitOk) << out;
  EXPECT_NE(out.find("3 Dateien hochgeladen, Quastorell.uif gesendet."), std::string::npos) << out;
  ExpectPublished();

  // A second release over the same settings replaces the manifest in place.
  env.dir.Write("src\\app.exe", std::string(6000, 'B') + "program 2");
  auto [rc2, out2] = Run({"generate", "Web", "--version", "2.0", "--upload"});
  EXPECT_EQ(rc2, kExitOk) << out2;
  ExpectPublished();
}

// Publish, then the release arrives: what the command line sent over FTPS
// reaches an installation.
TEST_F(SecureUpload, AnFtpsPublicationBringsAnInstallationToTheRelease) {
  ConfigureFtps(servers.cert_pin);
  auto [rc, out] = Run({"generate", "Web", "--version", "1.0", "--upload"});
  ASSERT_EQ(rc, kExitOk) << out;
  EXPECT_EQ(UpdateInstallation(), client::ClientOutcome::kUpdated);
  ExpectInstallationIsTheSource();
  EXPECT_EQ(UpdateInstallation(), client::ClientOutcome::kNothingToDo);
}

// The same over SFTP with the host key pinned, for two releases: SFTP's
// rename does not replace a file, so the second manifest takes the place of
// the first another way, and the installation must still see it whole.
TEST_F(SecureUpload, SftpPublicationsBringAnInstallationToEachRelease) {
  ConfigureSftp(servers.host_pin);
  auto [rc, out] = Run({"generate", "Web", "--version", "1.0", "--upload"});
  ASSERT_EQ(rc, kExitOk) << out;
  EXPECT_EQ(UpdateInstallation(), client::ClientOutcome::kUpdated);
  ExpectInstallationIsTheSource();

  env.dir.Write("src\\app.exe", std::string(7000, 'C') + "program 2");
  env.dir.Write("src\\neu.txt", "new in 2.0");
  std::tie(rc, out) = Run({"generate", "Web", "--version", "2.0", "--upload"});
  ASSERT_EQ(rc, kExitOk) << out;
  ExpectPublished();
  EXPECT_EQ(UpdateInstallation(), client::ClientOutcome::kUpdated);
  ExpectInstallationIsTheSource();
  EXPECT_EQ(UpdateInstallation(), client::ClientOutcome::kNothingToDo);
}

// What vsftpd received below this test's start directory, from its transfer
// log: each file's name and byte count, in order.
std::vector<std::pair<std::string, long>> Received(const std::string& xferlog,
                                                   const std::string& start_dir) {
  std::string text;
  fs::ReadFile(xferlog, &text);
  std::vector<std::pair<std::string, long>> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    // "Wed Dec  9 07:00:00 2026 1 127.0.0.1 5012 /run-1/Demo/x.uzf b _ i a ..."
    std::istringstream in(line);
    std::vector<std::string> f;
    for (std::string w; in >> w;) f.push_back(w);
    const std::string marker = "/" + start_dir + "/";
    if (f.size() < 12 || f[11] != "i" || f[8].find(marker) == std::string::npos) continue;
    out.emplace_back(f[8].substr(f[8].rfind('/') + 1), std::atol(f[7].c_str()));
  }
  return out;
}

// A re-publication of an unchanged release, every file packed again to the
// same bytes, sends no packed byte: only the manifest travels.
TEST_F(SecureUpload, FtpsRepublishingAnUnchangedReleaseSendsOnlyTheManifest) {
  ConfigureFtps(servers.cert_pin);
  auto [rc, out] = Run({"generate", "Web", "--version", "1", "--upload"});
  ASSERT_EQ(rc, kExitOk) << out;
  const size_t first = Received(servers.xferlog, start_dir).size();
  EXPECT_EQ(first, 4u) << "three packed files and the manifest";
  std::tie(rc, out) = Run({"generate", "Web", "--version", "1", "--only", "app.exe", "--only",
                           "Grüße aus 'Köln'.txt", "--only", "sub dir/ä b.dat", "--upload"});
  ASSERT_EQ(rc, kExitOk) << out;
  const auto all = Received(servers.xferlog, start_dir);
  ASSERT_GE(all.size(), first);
  const std::vector<std::pair<std::string, long>> again(all.begin() + static_cast<long>(first),
                                                        all.end());
  ASSERT_EQ(again.size(), 1u) << out;
  EXPECT_EQ(again[0].first, "Quastorell.uif.~qup");
  ExpectPublished();
}

// Nothing goes to a server that is not the one trusted, and the publisher
// learns why: a certificate no authority vouches for, another key than the
// pinned one, a server without TLS, a refused login.
TEST_F(SecureUpload, FtpsRefusesUntrustedAndChangedCertificatesAndServersWithoutTls) {
  ConfigureFtps("");
  auto [rc, out] = Run({"generate", "Web"});
  ASSERT_EQ(rc, kExitOk) << out;
  if (!kUnderWine) {
    std::tie(rc, out) = Run({"upload", "Web"});
    EXPECT_EQ(rc, kExitFailed);
    EXPECT_NE(out.find("ist nicht vertrauenswürdig"), std::string::npos) << out;
    // The fingerprint of the key it showed, to compare and pin.
    EXPECT_NE(out.find("Fingerabdruck: " + servers.cert_pin + "\n"), std::string::npos) << out;
    // A certificate is trusted by its pin in the settings; the option that
    // takes a first SFTP host key would change nothing for it.
    EXPECT_EQ(out.find("--accept-host-key"), std::string::npos) << out;
    EXPECT_TRUE(NothingArrived());
  }

  ConfigureFtps(servers.host_pin);  // a key, but not this server's
  std::tie(rc, out) = Run({"upload", "Web"});
  EXPECT_EQ(rc, kExitFailed);
  EXPECT_NE(out.find("weist sich mit einem anderen Schlüssel aus"), std::string::npos) << out;
  EXPECT_NE(out.find("jetzt: " + servers.cert_pin + "\n"), std::string::npos) << out;
  EXPECT_TRUE(NothingArrived());

  ConfigureFtps(servers.cert_pin, "quasto");  // anonymous only
  std::tie(rc, out) = Run({"upload", "Web"});
  EXPECT_EQ(rc, kExitFailed);
  EXPECT_NE(out.find("Es konnte keine Verbindung"), std::string::npos) << out;
  EXPECT_NE(out.find("530"), std::string::npos) << "the server's words: " << out;
  EXPECT_TRUE(NothingArrived());

  if (const int plain = PlainFtpPort(); plain > 0) {
    Configure({"--protocol", "FTPS", "--port", std::to_string(plain), "--login", "quasto",
               "--fingerprint", ""},
              "geheim");
    std::tie(rc, out) = Run({"upload", "Web"});
    EXPECT_EQ(rc, kExitFailed);
    EXPECT_NE(out.find("bietet keine verschlüsselte Verbindung"), std::string::npos) << out;
  }
}

// A first connection never trusts the key it is shown: the command line
// names it and refuses, takes it only when told that very fingerprint, and
// from then on holds the server to it.
TEST_F(SecureUpload, SftpTrustsAFirstHostKeyOnlyWhenToldAndThenPublishes) {
  ConfigureSftp("");
  auto [rc, out] = Run({"generate", "Web", "--version", "1.0", "--upload"});
  EXPECT_EQ(rc, kExitFailed);
  EXPECT_NE(out.find("ist noch unbekannt"), std::string::npos) << out;
  EXPECT_NE(out.find("--accept-host-key " + servers.host_pin), std::string::npos) << out;
  EXPECT_TRUE(NothingArrived());
  EXPECT_EQ(Stored().Fingerprint, "");

  std::tie(rc, out) = Run({"upload", "Web", "--accept-host-key", servers.cert_pin});
  EXPECT_EQ(rc, kExitFailed) << "another fingerprint than the server's";
  EXPECT_TRUE(NothingArrived());
  EXPECT_EQ(Stored().Fingerprint, "");

  std::tie(rc, out) = Run({"upload", "Web", "--accept-host-key", servers.host_pin});
  EXPECT_EQ(rc, kExitOk) << out;
  EXPECT_EQ(Stored().Fingerprint, servers.host_pin);
  ExpectPublished();

  // The stored key is enough for the next release, whose manifest replaces
  // the old one.
  env.dir.Write("src\\app.exe", std::string(6000, 'B') + "program 2");
  std::tie(rc, out) = Run({"generate", "Web", "--version", "2.0", "--upload"});
  EXPECT_EQ(rc, kExitOk) << out;
  ExpectPublished();
}

// The window's "Hochladen" (the same command the GUI runs) on a first SFTP
// connection: the publisher is shown the server's fingerprint and asked.
// "No" stores and sends nothing; "Yes" stores the key and publishes; a key
// that changes later is refused with a message that says so, unasked.
TEST_F(SecureUpload, TheWindowAsksBeforeItTrustsAFirstHostKeyAndRefusesAChangedOne) {
  ConfigureSftp("");
  auto [rc, out] = Run({"generate", "Web", "--version", "1.0"});
  ASSERT_EQ(rc, kExitOk) << out;

  BuilderState st;
  RecordingUi ui;
  StartBuilder(st, ui, base);
  ASSERT_TRUE(OpenProjectNamed(st, ui, "Web.upf"));
  ui.messages.clear();
  HandleCommand(st, ui, kCmdUpload);  // the publisher answers "No"
  EXPECT_EQ(ui.host_key_asks, 1);
  EXPECT_NE(ui.host_key_question.find("\"127.0.0.1\" ist noch unbekannt"), std::string::npos)
      << ui.host_key_question;
  EXPECT_NE(ui.host_key_question.find(servers.host_pin), std::string::npos)
      << "the fingerprint is shown: " << ui.host_key_question;
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].icon, MessageIcon::kError);
  EXPECT_TRUE(NothingArrived());
  EXPECT_EQ(st.ftp.Fingerprint, "");
  EXPECT_EQ(Stored().Fingerprint, "");

  ui.accepted_host_key = servers.host_pin;  // "Yes"
  ui.messages.clear();
  HandleCommand(st, ui, kCmdUpload);
  EXPECT_EQ(ui.host_key_asks, 2);
  EXPECT_EQ(Stored().Fingerprint, servers.host_pin) << "kept at once, not only at the exit";
  EXPECT_TRUE(ui.messages.empty()) << "a whole upload ends without a message";
  ExpectPublished();

  // The server now shows another key than the stored one.
  st.ftp.Fingerprint = servers.cert_pin;
  ui.messages.clear();
  HandleCommand(st, ui, kCmdUpload);
  EXPECT_EQ(ui.host_key_asks, 2) << "a changed key is never asked about";
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].caption, "Projekt upload");
  EXPECT_EQ(ui.messages[0].icon, MessageIcon::kError);
  EXPECT_NE(ui.messages[0].text.find("weist sich mit einem anderen Schlüssel aus"),
            std::string::npos)
      << ui.messages[0].text;
  EXPECT_NE(ui.messages[0].text.find("jetzt: " + servers.host_pin), std::string::npos);
  EXPECT_TRUE(CloseProject(st, ui));
}

// A key file below a folder whose name has letters outside ASCII, as a
// profile folder of a Windows user often has: libssh2 opens key files with
// the C library, which under Windows reads names in the ANSI code page.
TEST_F(SecureUpload, SftpLogsInWithAKeyFileInAFolderNamedWithUmlauts) {
  const std::string folder = env.dir / "Schlüssel für Jürgen\\";
  ASSERT_EQ(CreateDirectoryTree(folder), 1);
  for (const char* ending : {"", ".pub"}) {
    std::string key;
    ASSERT_TRUE(fs::ReadFile(servers.user_key + ending, &key));
    ASSERT_TRUE(fs::WriteFile(folder + "user_rsa" + ending, key));
  }
  ConfigureSftp(servers.host_pin, "geheim", folder + "user_rsa");
  auto [rc, out] = Run({"generate", "Web", "--version", "1.0", "--upload"});
  EXPECT_EQ(rc, kExitOk) << out;
  ExpectPublished();
}

TEST_F(SecureUpload, SftpRefusesAChangedHostKeyAndAWrongPassphrase) {
  ConfigureSftp(servers.cert_pin);  // pinned, but not this server's key
  auto [rc, out] = Run({"generate", "Web", "--upload", "--accept-host-key", servers.host_pin});
  EXPECT_EQ(rc, kExitFailed) << "a pinned key is never replaced from the command line";
  EXPECT_NE(out.find("weist sich mit einem anderen Schlüssel aus"), std::string::npos) << out;
  EXPECT_NE(out.find("jetzt: " + servers.host_pin), std::string::npos) << out;
  EXPECT_TRUE(NothingArrived());
  EXPECT_EQ(Stored().Fingerprint, servers.cert_pin);

  ConfigureSftp(servers.host_pin, "falsch");
  std::tie(rc, out) = Run({"upload", "Web"});
  EXPECT_EQ(rc, kExitFailed);
  EXPECT_NE(out.find("Es konnte keine Verbindung"), std::string::npos) << out;
  EXPECT_TRUE(NothingArrived());
}

}  // namespace
}  // namespace quasto
