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

extern "C" {
#include "Alloc.h"
#include "LzmaEnc.h"
}

#include "shared/file_stream.h"
#include "shared/fs.h"
#include "shared/packed_file.h"
#include "shared/packer.h"

namespace {

using quasto::fs::InputFile;
using quasto::fs::OutputFile;

struct InStream {
  ISeqInStream vt;
  InputFile* file;
  uint64_t read = 0;
};

SRes ReadIn(ISeqInStreamPtr p, void* buf, size_t* size) {
  auto* s = reinterpret_cast<InStream*>(const_cast<ISeqInStream*>(p));
  const int64_t n = s->file->Read(buf, *size);
  if (n < 0) return SZ_ERROR_READ;
  *size = static_cast<size_t>(n);
  s->read += static_cast<uint64_t>(n);
  return SZ_OK;
}

struct OutStream {
  ISeqOutStream vt;
  OutputFile* file;
  uint64_t written = 0;
};

size_t WriteOut(ISeqOutStreamPtr p, const void* buf, size_t size) {
  auto* s = reinterpret_cast<OutStream*>(const_cast<ISeqOutStream*>(p));
  if (!s->file->Write(buf, size)) return 0;
  s->written += size;
  return size;
}

uint64_t SizeOf(const std::string& path) {
  quasto::fs::FileStamp st;
  return quasto::fs::StatFile(path, &st) ? static_cast<uint64_t>(st.size) : 0;
}

// The packer's settings in the SDK's terms: liblzma's preset 5 is a binary
// tree over four-byte hashes, nice length 32, search depth 32, dictionary
// 8 MiB shrunk to the content.
bool PackWithSdk(const std::string& source, const std::string& dest, int threads) {
  InputFile in;
  OutputFile out;
  if (!in.Open(source) || !out.Create(dest)) return false;
  const uint64_t size = SizeOf(source);
  char header[quasto::kPackedHeaderSize];
  quasto::WritePackedHeader({0.0, static_cast<double>(size)}, header);
  if (!out.Write(header, sizeof header)) return false;

  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = 5;
  props.dictSize = 1u << 23;
  props.lc = 3;
  props.lp = 0;
  props.pb = 2;
  props.algo = 1;
  props.fb = 32;
  props.btMode = 1;
  props.numHashBytes = 4;
  props.mc = 32;
  props.writeEndMark = 0;
  props.numThreads = threads;
  props.reduceSize = size;
  CLzmaEncHandle enc = LzmaEnc_Create(&g_Alloc);
  if (enc == nullptr) return false;
  bool ok = LzmaEnc_SetProps(enc, &props) == SZ_OK;
  LzmaEnc_SetDataSize(enc, size);
  Byte prop_bytes[LZMA_PROPS_SIZE];
  SizeT prop_size = sizeof prop_bytes;
  ok = ok && LzmaEnc_WriteProperties(enc, prop_bytes, &prop_size) == SZ_OK &&
       out.Write(prop_bytes, prop_size);
  InStream is{{ReadIn}, &in};
  OutStream os{{WriteOut}, &out};
  ok = ok && LzmaEnc_Encode(enc, &os.vt, &is.vt, nullptr, &g_Alloc, &g_BigAlloc) == SZ_OK;
  LzmaEnc_Destroy(enc, &g_Alloc, &g_BigAlloc);
  const uint64_t payload = prop_size + os.written;
  ok = ok && is.read == size && payload <= size;
  quasto::WritePackedHeader({static_cast<double>(payload), static_cast<double>(size)}, header);
  return ok && out.WriteAt(0, header, sizeof header) && out.Close();
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
