#include "shared/two_thread_encoder.h"

extern "C" {
#include "Alloc.h"
#include "LzmaEnc.h"
}

namespace quasto {
namespace {

// The SDK's stream interfaces, each with the callback it forwards to.
struct InStream {
  ISeqInStream vt;
  const EncodeReader* read;
};

SRes ReadIn(ISeqInStreamPtr p, void* buf, size_t* size) {
  const auto* s = reinterpret_cast<const InStream*>(p);
  const int64_t n = (*s->read)(static_cast<uint8_t*>(buf), *size);
  if (n < 0) return SZ_ERROR_READ;
  *size = static_cast<size_t>(n);
  return SZ_OK;
}

struct OutStream {
  ISeqOutStream vt;
  const EncodeWriter* write;
};

size_t WriteOut(ISeqOutStreamPtr p, const void* data, size_t size) {
  const auto* s = reinterpret_cast<const OutStream*>(p);
  return (*s->write)(static_cast<const uint8_t*>(data), size) ? size : 0;
}

struct Handle {
  CLzmaEncHandle h = LzmaEnc_Create(&g_Alloc);
  ~Handle() {
    if (h != nullptr) LzmaEnc_Destroy(h, &g_Alloc, &g_BigAlloc);
  }
};

}  // namespace

EncodeOutcome EncodeLzmaTwoThreads(uint64_t size, uint32_t dict_size, const EncodeReader& read,
                                   const EncodeWriter& write, int threads) {
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = 5;
  props.dictSize = dict_size;
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
  Handle enc;
  if (enc.h == nullptr || LzmaEnc_SetProps(enc.h, &props) != SZ_OK) {
    return EncodeOutcome::kCoderFailed;
  }
  LzmaEnc_SetDataSize(enc.h, size);
  Byte prop_bytes[LZMA_PROPS_SIZE];
  SizeT prop_size = sizeof prop_bytes;
  if (LzmaEnc_WriteProperties(enc.h, prop_bytes, &prop_size) != SZ_OK) {
    return EncodeOutcome::kCoderFailed;
  }
  if (!write(prop_bytes, prop_size)) return EncodeOutcome::kWriteFailed;
  InStream in{{ReadIn}, &read};
  OutStream out{{WriteOut}, &write};
  switch (LzmaEnc_Encode(enc.h, &out.vt, &in.vt, nullptr, &g_Alloc, &g_BigAlloc)) {
    case SZ_OK: return EncodeOutcome::kOk;
    case SZ_ERROR_READ: return EncodeOutcome::kReadFailed;
    case SZ_ERROR_WRITE: return EncodeOutcome::kWriteFailed;
    default: return EncodeOutcome::kCoderFailed;
  }
}

}  // namespace quasto
