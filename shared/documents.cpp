#include "shared/documents.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <new>
#include <variant>

#include "shared/fs.h"
#include "shared/text.h"

namespace quasto {
namespace {

// RapidJSON's own allocator returns null when memory runs out, and its
// parser then writes through it. This one throws std::bad_alloc instead,
// which the readers catch: a document too big for memory is a failure,
// never a crash.
class ThrowingAllocator {
 public:
  [[maybe_unused]] static const bool kNeedFree = true;  // of RapidJSON's allocator concept
  void* Malloc(size_t size) {
    if (size == 0) return nullptr;
    void* p = std::malloc(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  void* Realloc(void* p, size_t, size_t size) {
    if (size == 0) {
      std::free(p);
      return nullptr;
    }
    void* q = std::realloc(p, size);
    if (q == nullptr) throw std::bad_alloc();
    return q;
  }
  static void Free(void* p) { std::free(p); }
  bool operator==(const ThrowingAllocator&) const { return true; }
  bool operator!=(const ThrowingAllocator&) const { return false; }
};

using JsonDocument = rapidjson::GenericDocument<rapidjson::UTF8<>,
                                                rapidjson::MemoryPoolAllocator<ThrowingAllocator>,
                                                ThrowingAllocator>;
using JsonValue = JsonDocument::ValueType;

// One member of a record: its JSON name and the field it fills.
template <class R>
struct Field {
  const char* name;
  std::variant<std::string R::*, int32_t R::*> member;
  // Members added after the first readers shipped are written only when
  // they hold something, so a document without them stays byte for byte
  // what it always was.
  bool omit_when_empty = false;
};

// Fields in declaration order, which is also the order they are written in.
constexpr std::array<Field<FTPStructure>, 5> kFtpFields{{
    {"Server", &FTPStructure::Server},
    {"Port", &FTPStructure::Port},
    {"StartDir", &FTPStructure::StartDir},
    {"Login", &FTPStructure::Login},
    {"Password", &FTPStructure::Password},
}};

constexpr std::array<Field<ProjectStructure>, 7> kProjectFields{{
    {"Titel", &ProjectStructure::Titel},
    {"Version", &ProjectStructure::Version},
    {"Date", &ProjectStructure::Date},
    {"Source", &ProjectStructure::Source},
    {"Target", &ProjectStructure::Target},
    {"FTPUpload", &ProjectStructure::FTPUpload},
    {"FTPDir", &ProjectStructure::FTPDir},
}};

constexpr std::array<Field<UpdaterStructure>, 5> kUpdaterFields{{
    {"ProgInfo", &UpdaterStructure::ProgInfo},
    {"ProgExe", &UpdaterStructure::ProgExe},
    {"Restart", &UpdaterStructure::Restart},
    {"Mutex", &UpdaterStructure::Mutex},
    {"URL", &UpdaterStructure::URL},
}};

constexpr std::array<Field<UpdFileStructure>, 13> kUpdFileFields{{
    {"Version", &UpdFileStructure::Version},
    {"VDate", &UpdFileStructure::VDate},
    {"Path", &UpdFileStructure::Path},
    {"Name", &UpdFileStructure::Name},
    {"Pack", &UpdFileStructure::Pack},
    {"CRC", &UpdFileStructure::CRC},
    {"Date", &UpdFileStructure::Date},
    {"Size", &UpdFileStructure::Size},
    {"Type", &UpdFileStructure::Type},
    {"Attrib", &UpdFileStructure::Attrib},
    {"Flags", &UpdFileStructure::Flags},
    {"Update", &UpdFileStructure::Update},
    {"SHA256", &UpdFileStructure::SHA256, true},
}};

const auto& FieldsOf(const FTPStructure*) { return kFtpFields; }
const auto& FieldsOf(const ProjectStructure*) { return kProjectFields; }
const auto& FieldsOf(const UpdaterStructure*) { return kUpdaterFields; }
const auto& FieldsOf(const UpdFileStructure*) { return kUpdFileFields; }

template <class R>
std::string RecordJson(const R& r) {
  std::string out = "{";
  bool first = true;
  for (const auto& f : FieldsOf(&r)) {
    if (f.omit_when_empty) {
      auto* text = std::get_if<std::string R::*>(&f.member);
      if (text != nullptr && (r.**text).empty()) continue;
    }
    if (!first) out += ", ";
    first = false;
    out += JsonString(f.name);
    out += ": ";
    if (auto* text = std::get_if<std::string R::*>(&f.member)) {
      out += JsonString(r.**text);
    } else {
      out += std::to_string(r.*std::get<int32_t R::*>(f.member));
    }
  }
  out += "}";
  return out;
}

// A JSON number as the same 32 bits: values written as unsigned, or wider
// than 32 bits, keep their low 32 bits. A fraction or exponent form is read
// when it is a whole number; anything else leaves the field cleared.
int32_t NumberValue(const JsonValue& v) {
  if (v.IsInt()) return v.GetInt();
  if (v.IsUint()) return static_cast<int32_t>(v.GetUint());
  if (v.IsInt64()) return static_cast<int32_t>(static_cast<uint32_t>(v.GetInt64()));
  if (v.IsUint64()) return static_cast<int32_t>(static_cast<uint32_t>(v.GetUint64()));
  if (v.IsDouble()) {
    double d = v.GetDouble();
    if (std::isfinite(d) && d == std::trunc(d) && d >= -2147483648.0 && d <= 4294967295.0) {
      return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(d)));
    }
  }
  return 0;
}

std::string StringValue(const JsonValue& v) {
  return Cesu8ToUtf8(std::string_view(v.GetString(), v.GetStringLength()));
}

template <class R>
void FillRecord(const JsonValue& obj, R* out) {
  R r;  // cleared: strings empty, numbers 0
  for (const auto& f : FieldsOf(&r)) {
    auto it = obj.FindMember(f.name);
    if (it == obj.MemberEnd()) continue;
    const JsonValue& v = it->value;
    if (auto* text = std::get_if<std::string R::*>(&f.member)) {
      if (v.IsString()) r.**text = StringValue(v);
    } else if (v.IsNumber()) {
      r.*std::get<int32_t R::*>(f.member) = NumberValue(v);
    }
  }
  *out = std::move(r);
}

// Iterative parsing: deeply nested input cannot exhaust the stack. Encoding
// is not validated, so the writer's surrogate sequences come through as bytes.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag;

bool Parse(std::string_view json, JsonDocument* doc) {
  doc->Parse<kParseFlags>(json.data(), json.size());
  return !doc->HasParseError();
}

template <class R>
bool RecordFromJson(std::string_view json, R* out) {
  try {
    JsonDocument doc;
    if (!Parse(json, &doc) || !doc.IsObject()) return false;
    FillRecord(doc, out);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

template <class R>
bool LoadRecord(const std::string& path, R* out) {
  std::string text;
  if (!fs::ReadFile(path, &text)) return false;
  return FromJson(text, out);
}

}  // namespace

std::string JsonString(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char ch : Utf8ToCesu8(text)) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string ToJson(const FTPStructure& r) { return RecordJson(r); }
std::string ToJson(const ProjectStructure& r) { return RecordJson(r); }
std::string ToJson(const UpdaterStructure& r) { return RecordJson(r); }
std::string ToJson(const UpdFileStructure& r) { return RecordJson(r); }

std::string ToJson(const Manifest& m) {
  std::string out = "{";
  bool first = true;
  for (const auto& [key, entry] : m) {
    if (!first) out += ", ";
    first = false;
    out += JsonString(key);
    out += ": ";
    out += RecordJson(entry);
  }
  out += "}";
  return out;
}

bool FromJson(std::string_view json, FTPStructure* out) { return RecordFromJson(json, out); }
bool FromJson(std::string_view json, ProjectStructure* out) { return RecordFromJson(json, out); }
bool FromJson(std::string_view json, UpdaterStructure* out) { return RecordFromJson(json, out); }
bool FromJson(std::string_view json, UpdFileStructure* out) { return RecordFromJson(json, out); }

ManifestRead ManifestFromJson(std::string_view json, Manifest* out) {
  try {
    JsonDocument doc;
    if (!Parse(json, &doc)) return ManifestRead::kNotJson;
    out->clear();
    if (!doc.IsObject()) return ManifestRead::kNotObject;
    static const JsonValue kEmpty(rapidjson::kObjectType);
    // Counted rather than compared with MemberEnd(): RapidJSON's iterator
    // comparison is ambiguous under C++20's reversed operators.
    auto it = doc.MemberBegin();
    for (rapidjson::SizeType i = 0; i < doc.MemberCount(); ++i, ++it) {
      UpdFileStructure entry;
      FillRecord(it->value.IsObject() ? it->value : kEmpty, &entry);
      // A repeated key: the later member wins, as with any table insert.
      (*out)[StringValue(it->name)] = std::move(entry);
    }
    return ManifestRead::kOk;
  } catch (const std::bad_alloc&) {
    out->clear();
    return ManifestRead::kNoMemory;
  }
}

bool LoadDocument(const std::string& path, FTPStructure* out) { return LoadRecord(path, out); }
bool LoadDocument(const std::string& path, ProjectStructure* out) { return LoadRecord(path, out); }
bool LoadDocument(const std::string& path, UpdaterStructure* out) { return LoadRecord(path, out); }

bool LoadDocument(const std::string& path, Manifest* out) {
  std::string text;
  if (!fs::ReadFile(path, &text)) return false;
  return ManifestFromJson(text, out) == ManifestRead::kOk;
}

bool SaveDocument(const std::string& path, const FTPStructure& r) {
  return fs::WriteFileAtomic(path, ToJson(r));
}
bool SaveDocument(const std::string& path, const ProjectStructure& r) {
  return fs::WriteFileAtomic(path, ToJson(r));
}
bool SaveDocument(const std::string& path, const UpdaterStructure& r) {
  return fs::WriteFileAtomic(path, ToJson(r));
}
bool SaveDocument(const std::string& path, const Manifest& m) {
  return fs::WriteFileAtomic(path, ToJson(m));
}

}  // namespace quasto
