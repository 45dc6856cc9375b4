#include "client/system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto::client {
namespace {

using testing::TempDir;

TEST(PosixSystem, MutexIsHeldAgainstOtherProcesses) {
  TempDir dir;
  const std::string runtime = "XDG_RUNTIME_DIR=" + dir.path();
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  auto a = NewClientSystem();
  auto b = NewClientSystem();
  EXPECT_EQ(a->CreateNamedMutex("Global\\MyApp"), ClientSystem::MutexResult::kCreated);
  EXPECT_EQ(b->CreateNamedMutex("Global\\MyApp"), ClientSystem::MutexResult::kAlreadyExists);
  // Another process sees it too.
  EXPECT_EQ(testing::RunProgram({"/usr/bin/flock", "-n", dir.path() + "Global_MyApp", "true"}), 1);
  a->ReleaseMutex();
  EXPECT_EQ(b->CreateNamedMutex("Global\\MyApp"), ClientSystem::MutexResult::kCreated);
  unsetenv("XDG_RUNTIME_DIR");
}

// Where another user could write, the lock file is not made; a link in its
// place is never followed.
TEST(PosixSystem, MutexFileIsPrivateAndNeverALink) {
  TempDir shared, victim;
  victim.Write("precious.txt", "keep");
  chmod(shared.path().c_str(), 01777);  // like /tmp
  setenv("XDG_RUNTIME_DIR", shared.path().c_str(), 1);
  auto sys = NewClientSystem();
  EXPECT_EQ(sys->CreateNamedMutex("Planted"), ClientSystem::MutexResult::kCreated);
  EXPECT_EQ(FileExists(shared / "Planted"), 0) << "not in a folder others may write";
  sys->ReleaseMutex();

  TempDir own;  // private, as mkdtemp makes it
  setenv("XDG_RUNTIME_DIR", own.path().c_str(), 1);
  ASSERT_EQ(symlink((victim / "precious.txt").c_str(), (own / "Planted").c_str()), 0);
  EXPECT_EQ(sys->CreateNamedMutex("Planted"), ClientSystem::MutexResult::kFailed);
  EXPECT_EQ(victim.Read("precious.txt"), "keep");
  unsetenv("XDG_RUNTIME_DIR");
}

TEST(PosixSystem, RunningProgramByFileNameIgnoringCase) {
  auto sys = NewClientSystem();
  // The test program itself is running.
  std::string exe = fs::ExecutablePath();
  std::string name = exe.substr(exe.find_last_of('/') + 1);
  for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(sys->IsProgramRunning(name));
  EXPECT_FALSE(sys->IsProgramRunning("no-such-program-xyz"));
  EXPECT_FALSE(sys->IsProgramRunning("bin/" + name));  // compared whole
}

TEST(PosixSystem, RunAndWaitWithShellFallback) {
  TempDir dir;
  dir.Write("script.sh", "echo $0 > out.txt\n");  // not executable: the shell runs it
  auto sys = NewClientSystem();
  ASSERT_TRUE(sys->RunProgramAndWait(dir / "script.sh", dir.path()));
  EXPECT_FALSE(dir.Read("out.txt").empty());
  EXPECT_FALSE(sys->RunProgramAndWait(dir / "missing", dir.path()) &&
               fs::FileSize(dir / "never") >= 0);
}

}  // namespace
}  // namespace quasto::client
