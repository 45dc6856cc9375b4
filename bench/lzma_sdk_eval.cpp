// Sets the LZMA SDK's encoder (its two-thread match finder included) against
// the packer's liblzma encoder on one file, writing the same format: a packed file whose
// payload is 5 property bytes and the raw LZMA1 stream. Each packed file is
// read back with the client's reader (liblzma's raw decoder) and compared
// with the source, so a figure counts only for output the client can use.
//
//   lzma_sdk_eval SOURCE OUT_DIR (liblzma | sdk THREADS)
//
// Prints one line: "<coder> <seconds> <packed bytes> readable|UNREADABLE".
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shared/file_stream.h"
#include "shared/fs.h"
#include "shared/packed_file.h"
#include "shared/packer.h"
#include "shared/two_thread_encoder.h"

namespace {

using quasto::fs::InputFile;
using quasto::fs::OutputFile;

uint64_t SizeOf(const std::string& path) {
  quasto::fs::FileStamp st;
  return quasto::fs::StatFile(path, &st) ? static_cast<uint64_t>(st.size) : 0;
}

// The packer's settings in the SDK's terms, with an 8 MiB dictionary that
// the encoder shrinks to the content.
bool PackWithSdk(const std::string& source, const std::string& dest, int threads) {
  InputFile in;
  OutputFile out;
  if (!in.Open(source) || !out.Create(dest)) return false;
  const uint64_t size = SizeOf(source);
  char header[quasto::kPackedHeaderSize];
  quasto::WritePackedHeader({0.0, static_cast<double>(size)}, header);
  if (!out.Write(header, sizeof header)) return false;
  uint64_t read = 0, payload = 0;
  const auto outcome = quasto::EncodeLzmaTwoThreads(
      size, 1u << 23,
      [&](uint8_t* buf, size_t cap) {
        const int64_t n = in.Read(buf, cap);
        if (n > 0) read += static_cast<uint64_t>(n);
        return n;
      },
      [&](const uint8_t* data, size_t n) {
        payload += n;
        return out.Write(data, n);
      },
      threads);
  if (outcome != quasto::EncodeOutcome::kOk || read != size || payload > size) return false;
  quasto::WritePackedHeader({static_cast<double>(payload), static_cast<double>(size)}, header);
  return out.WriteAt(0, header, sizeof header) && out.Close();
}

// Unpacks with the client's reader and compares with the source.
bool Readable(const std::string& packed, const std::string& source) {
  InputFile p, s;
  if (!p.Open(packed) || !s.Open(source)) return false;
  bool same = true;
  std::vector<uint8_t> expect;
  const auto status = quasto::UnpackStream(
      [&](char* buf, size_t cap) { return p.Read(buf, cap); }, SizeOf(packed),
      [&](std::string_view piece) {
        expect.resize(piece.size());
        int64_t got = 0;
        while (same && got < static_cast<int64_t>(piece.size())) {
          const int64_t n = s.Read(expect.data() + got, piece.size() - static_cast<size_t>(got));
          if (n <= 0) same = false;
          else got += n;
        }
        same = same && std::memcmp(expect.data(), piece.data(), piece.size()) == 0;
        return same;
      });
  uint8_t extra;
  return status == quasto::UnpackStatus::kOk && same && s.Read(&extra, 1) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: lzma_sdk_eval SOURCE OUT_DIR (liblzma | sdk THREADS)\n");
    return 2;
  }
  const std::string source = argv[1], mode = argv[3];
  const int threads = argc > 4 ? std::atoi(argv[4]) : 1;
  const std::string dest = std::string(argv[2]) + "/" + mode +
                           (mode == "sdk" ? std::to_string(threads) : "") + ".uzf";
  const auto start = std::chrono::steady_clock::now();
  bool ok;
  if (mode == "liblzma") {
    quasto::PackResult r;
    quasto::PackOptions never;  // the packer with liblzma whatever the length
    never.two_thread_from = UINT64_MAX;
    ok = quasto::PackFileTo(source, dest, &r, never) == quasto::PackStatus::kOk;
  } else {
    ok = PackWithSdk(source, dest, threads);
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!ok) {
    std::fprintf(stderr, "%s failed\n", mode.c_str());
    return 1;
  }
  const auto packed = static_cast<long long>(SizeOf(dest));
  std::printf("%s%s %.2f %lld %s\n", mode.c_str(),
              mode == "sdk" ? std::to_string(threads).c_str() : "", secs, packed,
              Readable(dest, source) ? "readable" : "UNREADABLE");
  return 0;
}
