#include "builder/xml_doc.h"

#include <expat.h>

#include <algorithm>
#include <cstdint>

#include "shared/limits.h"

namespace quasto {
namespace {

struct ParseState {
  XML_Parser parser = nullptr;
  XmlElement* root = nullptr;
  bool have_root = false;
  std::vector<XmlElement*> stack;
};

void OnStart(void* data, const XML_Char* name, const XML_Char** attrs) {
  auto* st = static_cast<ParseState*>(data);
  if (st->stack.size() >= static_cast<size_t>(kMaxXmlDepth)) {
    XML_StopParser(st->parser, XML_FALSE);
    return;
  }
  XmlElement* e;
  if (st->stack.empty()) {
    e = st->root;
    st->have_root = true;
  } else {
    e = st->stack.back()->AddChild(name);
  }
  e->name = name;
  for (int i = 0; attrs[i] != nullptr; i += 2) e->attributes.emplace_back(attrs[i], attrs[i + 1]);
  st->stack.push_back(e);
}

void OnEnd(void* data, const XML_Char*) {
  auto* st = static_cast<ParseState*>(data);
  XmlElement* e = st->stack.back();
  st->stack.pop_back();
  // Indentation between children is layout, not content.
  if (!e->children.empty()) {
    size_t end = e->text.find_last_not_of(" \t\r\n");
    e->text.erase(end == std::string::npos ? 0 : end + 1);
  }
}

void OnText(void* data, const XML_Char* s, int len) {
  auto* st = static_cast<ParseState*>(data);
  if (!st->stack.empty()) st->stack.back()->text.append(s, static_cast<size_t>(len));
}

// The builder's files never declare a document type; one that does may
// define entities that expand far beyond the file's own size.
void OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  XML_StopParser(static_cast<ParseState*>(data)->parser, XML_FALSE);
}

// Length of the valid UTF-8 sequence at s[i] that XML allows, 0 when there
// is none (a stray byte, an overlong form, a surrogate, a control character).
size_t XmlCharLength(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char c = b(0);
  if (c < 0x80) return (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') ? 1 : 0;
  size_t n;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0F; }
  else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07; }
  else return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return 0;
  return n;
}

// Text that the parser would refuse would make the whole file unreadable, so
// what XML cannot hold becomes U+FFFD.
void Escape(std::string_view text, bool attribute, std::string* out) {
  std::string s;
  for (size_t i = 0; i < text.size();) {
    size_t n = XmlCharLength(text, i);
    if (n == 0) {
      s += "\xEF\xBF\xBD";
      ++i;
    } else {
      s.append(text, i, n);
      i += n;
    }
  }
  for (char c : s) {
    switch (c) {
      case '&': *out += "&amp;"; break;
      case '<': *out += "&lt;"; break;
      case '>': *out += "&gt;"; break;
      case '"':
        if (attribute) *out += "&quot;"; else out->push_back(c);
        break;
      case '\r': *out += "&#13;"; break;
      case '\t':
        if (attribute) *out += "&#9;"; else out->push_back(c);
        break;
      case '\n':
        if (attribute) *out += "&#10;"; else out->push_back(c);
        break;
      default: out->push_back(c);
    }
  }
}

// Writes the element's start tag, its text and, when it has no children, its
// end tag. True when its children follow.
bool OpenElement(const XmlElement& e, size_t depth, std::string* out) {
  *out += std::string(depth * 2, ' ') + "<" + e.name;
  for (const auto& [k, v] : e.attributes) {
    *out += " " + k + "=\"";
    Escape(v, true, out);
    *out += "\"";
  }
  if (e.children.empty() && e.text.empty()) {
    *out += "/>\n";
    return false;
  }
  *out += ">";
  Escape(e.text, false, out);
  if (e.children.empty()) {
    *out += "</" + e.name + ">\n";
    return false;
  }
  *out += "\n";
  return true;
}

// A tree of any depth, walked with a stack of its own.
void WriteTree(const XmlElement& root, std::string* out) {
  struct Frame {
    const XmlElement* element;
    size_t next_child;
  };
  std::vector<Frame> open;
  if (OpenElement(root, 0, out)) open.push_back({&root, 0});
  while (!open.empty()) {
    Frame& top = open.back();
    if (top.next_child < top.element->children.size()) {
      const XmlElement& child = *top.element->children[top.next_child++];
      if (OpenElement(child, open.size(), out)) open.push_back({&child, 0});
      continue;
    }
    *out += std::string((open.size() - 1) * 2, ' ') + "</" + top.element->name + ">\n";
    open.pop_back();
  }
}

bool NameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}

}  // namespace

XmlElement::~XmlElement() {
  // Taken apart one level at a time: a deep tree never recurses.
  std::vector<std::unique_ptr<XmlElement>> pending = std::move(children);
  while (!pending.empty()) {
    std::unique_ptr<XmlElement> e = std::move(pending.back());
    pending.pop_back();
    for (auto& c : e->children) pending.push_back(std::move(c));
    e->children.clear();
  }
}

XmlElement& XmlElement::operator=(XmlElement&& other) noexcept {
  if (this == &other) return *this;
  XmlElement old;
  old.children = std::move(children);  // goes the same way
  name = std::move(other.name);
  attributes = std::move(other.attributes);
  text = std::move(other.text);
  children = std::move(other.children);
  return *this;
}

XmlElement* XmlElement::Child(std::string_view child_name) const {
  for (const auto& c : children) {
    if (c->name == child_name) return c.get();
  }
  return nullptr;
}

XmlElement* XmlElement::AddChild(std::string child_name) {
  children.push_back(std::make_unique<XmlElement>());
  children.back()->name = std::move(child_name);
  return children.back().get();
}

const std::string* XmlElement::Attribute(std::string_view attr) const {
  for (const auto& [k, v] : attributes) {
    if (k == attr) return &v;
  }
  return nullptr;
}

void XmlElement::SetAttribute(const std::string& attr, const std::string& value) {
  for (auto& [k, v] : attributes) {
    if (k == attr) {
      v = value;
      return;
    }
  }
  attributes.emplace_back(attr, value);
}

bool ParseXml(std::string_view text, XmlElement* root) {
  if (static_cast<int64_t>(text.size()) > kMaxSettingsBytes) return false;
  XmlElement parsed;
  ParseState st;
  st.root = &parsed;
  XML_Parser p = XML_ParserCreate("UTF-8");
  if (p == nullptr) return false;
  st.parser = p;
  XML_SetUserData(p, &st);
  XML_SetElementHandler(p, OnStart, OnEnd);
  XML_SetCharacterDataHandler(p, OnText);
  XML_SetStartDoctypeDeclHandler(p, OnDoctype);
  bool ok = true;
  // Fed in pieces so that lengths beyond int never reach expat.
  constexpr size_t kPiece = 1 << 20;
  size_t pos = 0;
  do {
    size_t n = std::min(kPiece, text.size() - pos);
    bool last = pos + n == text.size();
    if (XML_Parse(p, text.data() + pos, static_cast<int>(n), last) != XML_STATUS_OK) {
      ok = false;
      break;
    }
    pos += n;
  } while (pos < text.size());
  XML_ParserFree(p);
  if (!ok || !st.have_root) return false;
  *root = std::move(parsed);
  return true;
}

std::string WriteXml(const XmlElement& root) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  WriteTree(root, &out);
  return out;
}

bool IsXmlName(std::string_view name) {
  if (name.empty() || !NameStart(static_cast<unsigned char>(name[0]))) return false;
  for (char ch : name) {
    auto c = static_cast<unsigned char>(ch);
    if (!NameStart(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.' && c != ':') return false;
  }
  return true;
}

}  // namespace quasto
