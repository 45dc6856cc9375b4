// What a publisher without the right to read part of the release sees: the
// permissions of a POSIX file system, taken away for real. A superuser reads
// everything, so there the checks run in a child that becomes "nobody".
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "builder/cli.h"
#include "builder/generation.h"
#include "builder/test_env.h"

namespace quasto {
namespace {

using testing::BuilderEnv;

// Runs `body` without the superuser's rights and returns what it reports
// ("" when all was as expected).
std::string Unprivileged(const std::function<std::string()>& body) {
  if (geteuid() != 0) return body();
  int fds[2];
  if (pipe(fds) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    std::string said = "cannot become nobody";
    if (setgid(65534) == 0 && setuid(65534) == 0) said = body();
    const ssize_t written = write(fds[1], said.data(), said.size());
    _exit(written == static_cast<ssize_t>(said.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string said;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
    said.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? said : "the child failed: " + said;
}

void OpenToAll(const std::string& folder) {
  namespace sf = std::filesystem;
  const sf::perms all = sf::perms::all;
  sf::permissions(fs::NativePath(folder), all);
  for (const auto& e : sf::recursive_directory_iterator(fs::NativePath(folder))) {
    sf::permissions(e.path(), e.is_directory() ? all : sf::perms::owner_all | sf::perms::group_all |
                                                           sf::perms::others_read |
                                                           sf::perms::others_write);
  }
}

TEST(UnreadableSource, AFolderThatCannotBeListedKeepsItsFilesAndStopsGeneration) {
  BuilderEnv env;
  env.dir.Write("base\\Quastorell.lng", "<Lang/>");
  env.dir.Write("src\\app.exe", "MZ program");
  env.dir.Write("src\\locked\\a.txt", "a");
  env.dir.Write("src\\locked\\b.txt", "b");
  ASSERT_TRUE(env.Create("Demo"));
  env.ui.SetVersionText("1.0");
  ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 3);
  CloseProject(env.st, env.ui);
  env.dir.Write("src\\secret.txt", "new, and nobody may read it");
  OpenToAll(env.base());
  namespace sf = std::filesystem;
  sf::permissions(fs::NativePath(env.src() + "locked"), sf::perms::none);
  sf::permissions(fs::NativePath(env.src() + "secret.txt"), sf::perms::owner_write);

  const std::string said = Unprivileged([&]() -> std::string {
    std::ostringstream problems;
    if (!OpenProjectNamed(env.st, env.ui, "Demo.upf")) return "not opened";
    const auto find = [&](const std::string& key) -> const FileEntry* {
      for (const FileEntry& f : env.st.file_list) {
        if (f.Path + f.Name == key) return &f;
      }
      return nullptr;
    };
    const FileEntry* locked = find("locked");
    if (locked == nullptr || !locked->Unlisted || locked->Refused != "Ordner nicht lesbar") {
      problems << "locked is not listed as unreadable; ";
    }
    if (!RemovedKeys(env.st.file_list).empty()) problems << "its files count as removed; ";
    const FileEntry* secret = find("secret.txt");
    if (secret == nullptr || ProposalText(secret->Reason) != "nicht lesbar") {
      problems << "secret.txt is not shown as unreadable; ";
    }
    env.ui.messages.clear();
    const GenerationResult r = GenerateUpdate(env.st, env.ui);
    if (r.created != 0 || r.unlisted != std::vector<std::string>{"locked\\"}) {
      problems << "generated anyway; ";
    }
    if (env.ui.messages.size() != 1 ||
        env.ui.messages[0].text.find("\n  locked\\ (Ordner nicht lesbar)") == std::string::npos) {
      problems << "no message naming the folder; ";
    }
    CloseProject(env.st, env.ui);

    std::istringstream in;
    std::ostringstream out, err;
    const int rc = RunBuilderCli({"--base", env.base(), "status", "Demo"}, in, out, err, false);
    const std::string text = out.str() + err.str();
    if (rc != kExitFailed) problems << "status exits with " << rc << "; ";
    for (const char* line : {"[ ] -----      locked (nicht veröffentlicht: Ordner nicht lesbar)\n",
                             "[x] -----      secret.txt  (nicht lesbar)\n",
                             "Nicht alle Ordner des Quellverzeichnisses sind lesbar"}) {
      if (text.find(line) == std::string::npos) problems << "status lacks \"" << line << "\"; ";
    }
    if (text.find("entfernt") != std::string::npos) problems << "status lists removed files; ";
    return problems.str();
  });
  sf::permissions(fs::NativePath(env.src() + "locked"), sf::perms::owner_all);
  EXPECT_EQ(said, "");
}

}  // namespace
}  // namespace quasto
