#include "client/system.h"

#include <gtest/gtest.h>

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
