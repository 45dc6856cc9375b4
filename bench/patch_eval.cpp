// The patch coder on one pair of files, for bench/patch.py.
//
//   patch_eval make BASE RESULT PATCH    writes the patch
//   patch_eval apply BASE PATCH RESULT   applies it through the client's applier
//
// Prints "seconds=S coder_memory=B" (coder_memory for apply only); peak RSS
// is taken from outside.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "shared/file_stream.h"
#include "shared/fs.h"
#include "shared/patch.h"

int main(int argc, char** argv) {
  using namespace quasto;
  if (argc != 5 || (std::strcmp(argv[1], "make") != 0 && std::strcmp(argv[1], "apply") != 0)) {
    std::fprintf(stderr, "usage: patch_eval make|apply BASE RESULT|PATCH PATCH|RESULT\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  auto seconds = [&start] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  if (std::strcmp(argv[1], "make") == 0) {
    std::string base, result, patch;
    if (!fs::ReadFile(argv[2], &base) || !fs::ReadFile(argv[3], &result)) {
      std::fprintf(stderr, "cannot read the inputs\n");
      return 1;
    }
    if (!MakePatch(base, result, &patch) || !fs::WriteFile(argv[4], patch)) {
      std::fprintf(stderr, "cannot make the patch\n");
      return 1;
    }
    std::printf("seconds=%.3f\n", seconds());
    return 0;
  }
  fs::InputFile base, patch;
  const int64_t base_size = fs::FileSize(argv[2]), patch_size = fs::FileSize(argv[3]);
  fs::OutputFile out;
  if (base_size < 0 || patch_size < 0 || !base.Open(argv[2]) || !patch.Open(argv[3]) ||
      !out.Create(argv[4])) {
    std::fprintf(stderr, "cannot open the files\n");
    return 1;
  }
  uint64_t memory = 0;
  PatchStatus s = ApplyPatch(
      [&base](uint64_t at, char* buf, size_t cap) { return base.ReadAt(at, buf, cap); },
      static_cast<uint64_t>(base_size),
      [&patch](uint64_t at, char* buf, size_t cap) { return patch.ReadAt(at, buf, cap); },
      static_cast<uint64_t>(patch_size),
      [&out](std::string_view piece) { return out.Write(piece.data(), piece.size()); }, -1,
      &memory);
  if (!out.Close() || s != PatchStatus::kOk) {
    std::fprintf(stderr, "cannot apply: %s\n", PatchStatusText(s));
    return 1;
  }
  std::printf("seconds=%.3f coder_memory=%llu\n", seconds(), static_cast<unsigned long long>(memory));
  return 0;
}
