#include "shared/documents.h"

#include <rapidjson/encodedstream.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <new>
#include <optional>
#include <unordered_set>
#include <variant>
#include <vector>

#include "shared/fs.h"
#include "shared/limits.h"
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
constexpr std::array<Field<FTPStructure>, 9> kFtpFields{{
    {"Server", &FTPStructure::Server},
    {"Port", &FTPStructure::Port},
    {"StartDir", &FTPStructure::StartDir},
    {"Login", &FTPStructure::Login},
    {"Password", &FTPStructure::Password},
    {"Protocol", &FTPStructure::Protocol, true},
    {"Fingerprint", &FTPStructure::Fingerprint, true},
    {"KeyFile", &FTPStructure::KeyFile, true},
    {"ProtectedPassword", &FTPStructure::ProtectedPassword, true},
}};

constexpr std::array<Field<ProjectStructure>, 8> kProjectFields{{
    {"Titel", &ProjectStructure::Titel},
    {"Version", &ProjectStructure::Version},
    {"Date", &ProjectStructure::Date},
    {"Source", &ProjectStructure::Source},
    {"Target", &ProjectStructure::Target},
    {"FTPUpload", &ProjectStructure::FTPUpload},
    {"FTPDir", &ProjectStructure::FTPDir},
    {"KeptGenerations", &ProjectStructure::KeptGenerations, true},
}};

constexpr std::array<Field<UpdaterStructure>, 6> kUpdaterFields{{
    {"ProgInfo", &UpdaterStructure::ProgInfo},
    {"ProgExe", &UpdaterStructure::ProgExe},
    {"Restart", &UpdaterStructure::Restart},
    {"Mutex", &UpdaterStructure::Mutex},
    {"URL", &UpdaterStructure::URL},
    {"ProjectId", &UpdaterStructure::ProjectId, true},
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
      auto* number = std::get_if<int32_t R::*>(&f.member);
      if (number != nullptr && r.**number == 0) continue;
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

// An entry: its record, then its patches when it has any.
std::string EntryJson(const UpdFileStructure& r) {
  std::string out = RecordJson(r);
  if (r.Patches.empty()) return out;
  out.pop_back();
  out += ", \"Patches\": [";
  for (size_t i = 0; i < r.Patches.size(); ++i) {
    const PatchRef& p = r.Patches[i];
    if (i != 0) out += ", ";
    out += "{\"Base\": " + JsonString(p.Base) + ", \"Pack\": " + JsonString(p.Pack) +
           ", \"Size\": " + std::to_string(p.Size) + ", \"SHA256\": " + JsonString(p.SHA256) +
           "}";
  }
  out += "]}";
  return out;
}

// A JSON number as the same 32 bits: values written as unsigned, or wider
// than 32 bits, keep their low 32 bits. A fraction or exponent form is read
// when it is a whole number; anything else leaves the field cleared.
int32_t Low32(uint64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

std::optional<int32_t> WholeNumber(double d) {
  if (std::isfinite(d) && d == std::trunc(d) && d >= -2147483648.0 && d <= 4294967295.0) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(d)));
  }
  return std::nullopt;
}

// One scalar as a record's field sees it.
struct Scalar {
  std::optional<std::string> text;
  std::optional<int32_t> number;
};

template <class R>
void SetField(R* r, const std::string& name, const Scalar& v) {
  for (const auto& f : FieldsOf(r)) {
    if (name != f.name) continue;
    if (auto* text = std::get_if<std::string R::*>(&f.member)) {
      if (v.text) r->**text = *v.text;
    } else if (v.number) {
      r->*std::get<int32_t R::*>(f.member) = *v.number;
    }
    return;
  }
}

// The keys of one object seen so far. Entries have a dozen members, so a
// list is searched; an object with many members gets a hash set.
class KeySet {
 public:
  bool Insert(const std::string& key) {
    if (set_.empty()) {
      if (std::find(list_.begin(), list_.end(), key) != list_.end()) return false;
      list_.push_back(key);
      if (list_.size() > 32) {
        set_.insert(list_.begin(), list_.end());
        list_.clear();
      }
      return true;
    }
    return set_.insert(key).second;
  }

 private:
  std::vector<std::string> list_;
  std::unordered_set<std::string> set_;
};

// A key as a message names it: a key can be as long as the document.
std::string ShortKey(std::string_view key) {
  constexpr size_t kShown = 200;
  return key.size() <= kShown ? JsonString(key) : JsonString(key.substr(0, kShown)) + "...";
}

// Reads a document event by event and holds it to the one form both
// programs rely on: every object's keys distinct (two readers could take
// different members of a repeated one), nesting at most kMaxDocumentDepth
// deep. Keys are compared as read, escapes resolved: "a" and "\u0061" are
// one key. `Target` gets the members that matter: Key(depth, key),
// Value(depth, scalar), Open(depth) and Close(depth) for objects and arrays
// at depth 1 and deeper (the root is depth 0). Its top-level keys are its
// own to check when it says so (kTopKeysChecked), since it may hold a
// million of them in a table anyway.
template <class Target>
class StrictHandler {
 public:
  explicit StrictHandler(Target* target) : target_(target) {}

  bool Null() { return Value(Scalar{}); }
  bool Bool(bool) { return Value(Scalar{}); }
  bool Int(int v) { return Value(Scalar{std::nullopt, v}); }
  bool Uint(unsigned v) { return Value(Scalar{std::nullopt, Low32(v)}); }
  bool Int64(int64_t v) { return Value(Scalar{std::nullopt, Low32(static_cast<uint64_t>(v))}); }
  bool Uint64(uint64_t v) { return Value(Scalar{std::nullopt, Low32(v)}); }
  bool Double(double d) { return Value(Scalar{std::nullopt, WholeNumber(d)}); }
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }  // not asked for
  bool String(const char* s, rapidjson::SizeType n, bool) {
    return Value(Scalar{Cesu8ToUtf8(std::string_view(s, n)), std::nullopt});
  }
  bool StartObject() { return Open(true); }
  bool StartArray() { return Open(false); }
  bool EndObject(rapidjson::SizeType) { return Close(); }
  bool EndArray(rapidjson::SizeType) { return Close(); }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    std::string key = Cesu8ToUtf8(std::string_view(s, n));
    const int depth = static_cast<int>(keys_.size());
    if (!(depth == 1 && Target::kTopKeysChecked) && !keys_.back().Insert(key)) {
      return Fail("the key " + ShortKey(key) + " is repeated");
    }
    return target_->Key(depth, std::move(key)) || Fail(target_->why());
  }

  const std::string& why() const { return why_; }

 private:
  bool Fail(std::string why) {
    why_ = std::move(why);
    return false;
  }
  bool Value(const Scalar& v) {
    return target_->Value(static_cast<int>(keys_.size()), v) || Fail(target_->why());
  }
  bool Open(bool object) {
    const int depth = static_cast<int>(keys_.size());
    if (depth >= kMaxDocumentDepth) {
      return Fail("it is nested deeper than " + std::to_string(kMaxDocumentDepth) + " levels");
    }
    if (!target_->Open(depth, object)) return Fail(target_->why());
    keys_.emplace_back();
    return true;
  }
  bool Close() {
    keys_.pop_back();
    return target_->Close(static_cast<int>(keys_.size())) || Fail(target_->why());
  }

  Target* target_;
  std::vector<KeySet> keys_;  // one for each open object or array
  std::string why_;
};

// Iterative: deeply nested input cannot exhaust the stack. Encoding is not
// validated, so the writer's surrogate sequences come through as bytes.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag;

const char* ParseErrorText(rapidjson::ParseErrorCode code) {
  return rapidjson::GetParseError_En(code);
}

// Parses `json` into `target`: one JSON value, then nothing but blanks,
// tabs and line ends. "" when it was read whole, else why not (the target
// may have seen part of it).
template <class Target>
std::string StrictParse(std::string_view json, size_t max_bytes, Target* target) {
  if (json.size() > max_bytes) {
    return "it is larger than " + std::to_string(max_bytes) + " bytes";
  }
  // Events, not a tree: nothing of the document is held twice, and nesting
  // cannot exhaust the stack.
  StrictHandler<Target> handler(target);
  rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, ThrowingAllocator> reader;
  rapidjson::MemoryStream ms(json.data(), json.size());
  rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> is(ms);
  const rapidjson::ParseResult r = reader.Parse<kParseFlags>(is, handler);
  if (r.IsError()) {
    if (!handler.why().empty()) return handler.why() + " (at byte " + std::to_string(r.Offset()) + ")";
    return std::string(ParseErrorText(r.Code())) + " (at byte " + std::to_string(r.Offset()) + ")";
  }
  // A NUL byte ends RapidJSON's input as the end of the text does, so what
  // follows the value is looked at here.
  for (size_t i = is.Tell(); i < json.size(); ++i) {
    const char c = json[i];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
      return "there are bytes after the JSON value (at byte " + std::to_string(i) + ")";
    }
  }
  return "";
}

// A record's fields from its object's members; members it does not know,
// and nested values, are passed over.
template <class R>
class RecordTarget {
 public:
  static constexpr bool kTopKeysChecked = false;
  bool Open(int depth, bool object) {
    if (depth == 0) {
      if (!object) return Fail("it is no JSON object");
      is_object_ = true;
    }
    return true;
  }
  bool Close(int) { return true; }
  bool Key(int depth, std::string key) {
    if (depth == 1) key_ = std::move(key);
    return true;
  }
  bool Value(int depth, const Scalar& v) {
    if (depth == 0) return Fail("it is no JSON object");
    if (depth == 1) SetField(&record, key_, v);
    return true;
  }
  const std::string& why() const { return why_; }

  R record;  // cleared: strings empty, numbers 0

 private:
  bool Fail(std::string why) {
    why_ = std::move(why);
    return false;
  }
  bool is_object_ = false;
  std::string key_;
  std::string why_;
};

template <class R>
bool RecordFromJson(std::string_view json, R* out) {
  try {
    RecordTarget<R> target;
    if (!StrictParse(json, kMaxRecordBytes, &target).empty()) return false;
    *out = std::move(target.record);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// The file's bytes when it is no larger than `max_bytes`; a larger one is
// not read at all.
bool ReadBounded(const std::string& path, int64_t max_bytes, std::string* text) {
  const int64_t size = fs::FileSize(path);
  if (size < 0 || size > max_bytes) return false;
  return fs::ReadFile(path, text) && static_cast<int64_t>(text->size()) <= max_bytes;
}

template <class R>
bool LoadRecord(const std::string& path, R* out) {
  std::string text;
  if (!ReadBounded(path, kMaxRecordBytes, &text)) return false;
  return FromJson(text, out);
}

// The manifest's entries, handed on one by one as each one's object ends.
class ManifestTarget {
 public:
  static constexpr bool kTopKeysChecked = true;
  explicit ManifestTarget(const ManifestSink& sink) : sink_(sink) {}

  bool Open(int depth, bool object) {
    if (depth == 0) {
      if (!object) not_object_ = true;
      return true;
    }
    if (not_object_) return true;
    if (depth == 1) {
      entry_ = UpdFileStructure();
      in_entry_ = object;
      if (!object) return true;
    }
    // "Patches": an array of objects; anything else in it is passed over.
    if (depth == 2) in_patches_ = in_entry_ && !object && member_ == "Patches";
    if (depth == 3 && in_patches_) {
      in_patch_ = object;
      if (object) entry_.Patches.emplace_back();
    }
    return true;
  }
  bool Close(int depth) {
    if (depth == 2) in_patches_ = false;
    if (depth == 3) in_patch_ = false;
    if (not_object_ || depth != 1) return true;
    // An entry that is an array is an entry with every field cleared.
    if (!in_entry_) entry_ = UpdFileStructure();
    in_entry_ = false;
    return Hand();
  }
  bool Key(int depth, std::string key) {
    if (depth == 1) {
      key_ = std::move(key);
    } else if (depth == 2) {
      member_ = std::move(key);
    } else if (depth == 4) {
      patch_member_ = std::move(key);
    }
    return true;
  }
  bool Value(int depth, const Scalar& v) {
    if (depth == 0) not_object_ = true;
    if (not_object_) return true;
    if (depth == 1) {
      // A member that is no object is an entry with every field cleared.
      entry_ = UpdFileStructure();
      return Hand();
    }
    if (depth == 2 && in_entry_) SetField(&entry_, member_, v);
    if (depth == 4 && in_patches_ && in_patch_) SetPatchField(&entry_.Patches.back(), v);
    return true;
  }
  const std::string& why() const { return why_; }
  bool not_object() const { return not_object_; }

 private:
  bool Hand() {
    if (sink_(std::move(key_), std::move(entry_))) return true;
    why_ = "an entry's key is repeated";
    return false;
  }

  void SetPatchField(PatchRef* p, const Scalar& v) const {
    if (patch_member_ == "Base") {
      if (v.text) p->Base = *v.text;
    } else if (patch_member_ == "Pack") {
      if (v.text) p->Pack = *v.text;
    } else if (patch_member_ == "Size") {
      if (v.number) p->Size = *v.number;
    } else if (patch_member_ == "SHA256") {
      if (v.text) p->SHA256 = *v.text;
    }
  }

  const ManifestSink& sink_;
  bool not_object_ = false;
  bool in_entry_ = false;
  bool in_patches_ = false;
  bool in_patch_ = false;
  std::string key_, member_, patch_member_;
  UpdFileStructure entry_;
  std::string why_;
};

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
std::string ToJson(const UpdFileStructure& r) { return EntryJson(r); }

std::string ToJson(const Manifest& m) {
  std::string out = "{";
  bool first = true;
  // Two keys can be written alike: a character above U+FFFF and the pair of
  // surrogate sequences that stands for it. A reader takes them for one
  // repeated key and refuses the document, so only the first is written.
  std::unordered_set<std::string> written;
  for (const auto& [key, entry] : m) {
    std::string name = JsonString(key);
    const bool ambiguous = std::any_of(key.begin(), key.end(), [](char c) {
      return static_cast<unsigned char>(c) == 0xED || static_cast<unsigned char>(c) >= 0xF0;
    });
    if (ambiguous && !written.insert(name).second) continue;
    if (!first) out += ", ";
    first = false;
    out += name;
    out += ": ";
    out += EntryJson(entry);
  }
  out += "}";
  return out;
}

bool FromJson(std::string_view json, FTPStructure* out) { return RecordFromJson(json, out); }
bool FromJson(std::string_view json, ProjectStructure* out) { return RecordFromJson(json, out); }
bool FromJson(std::string_view json, UpdaterStructure* out) { return RecordFromJson(json, out); }
bool FromJson(std::string_view json, UpdFileStructure* out) { return RecordFromJson(json, out); }

ManifestRead ForEachManifestEntry(std::string_view json, const ManifestSink& sink,
                                  std::string* why) {
  std::string reason;
  ManifestRead result = ManifestRead::kOk;
  try {
    ManifestTarget target(sink);
    reason = StrictParse(json, static_cast<size_t>(kMaxManifestBytes), &target);
    if (!reason.empty()) {
      result = ManifestRead::kNotJson;
    } else if (target.not_object()) {
      reason = "it is no JSON object";
      result = ManifestRead::kNotObject;
    }
  } catch (const std::bad_alloc&) {
    reason = "it does not fit in memory";
    result = ManifestRead::kNoMemory;
  }
  if (why != nullptr) *why = reason;
  return result;
}

ManifestRead ManifestFromJson(std::string_view json, Manifest* out, std::string* why) {
  Manifest m;
  ManifestRead r = ForEachManifestEntry(
      json,
      [&m](std::string&& key, UpdFileStructure&& entry) {
        return m.emplace(std::move(key), std::move(entry)).second;
      },
      why);
  if (r == ManifestRead::kNotJson) return r;
  out->clear();
  if (r == ManifestRead::kOk) *out = std::move(m);
  return r;
}

bool LoadDocument(const std::string& path, FTPStructure* out) { return LoadRecord(path, out); }
bool LoadDocument(const std::string& path, ProjectStructure* out) { return LoadRecord(path, out); }
bool LoadDocument(const std::string& path, UpdaterStructure* out) { return LoadRecord(path, out); }

bool LoadDocument(const std::string& path, Manifest* out) {
  std::string text;
  if (!ReadBounded(path, kMaxManifestBytes, &text)) return false;
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
