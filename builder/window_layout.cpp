#include "builder/window_layout.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "builder/settings_store.h"
#include "builder/stored_document.h"
#include "shared/fs.h"

namespace quasto {
namespace {

std::string Key(int number) { return std::to_string(number); }

bool HasFolder(const std::string& path) {
  return path.find_first_of("\\/:") != std::string::npos;
}

// A decimal attribute; missing or unreadable text reads as 0, and values
// beyond 32 bits are clamped rather than wrapped.
int ReadNumber(const XmlElement& e, const char* attr) {
  const std::string* v = e.Attribute(attr);
  if (v == nullptr) return 0;
  errno = 0;
  char* end = nullptr;
  long long n = std::strtoll(v->c_str(), &end, 10);
  if (end == v->c_str()) return 0;
  if (n > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (n < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(n);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

int WindowStateCode(WindowState state) {
  switch (state) {
    case WindowState::kMaximized: return 16777216;
    case WindowState::kMinimized: return 536870912;
    case WindowState::kNormal: break;
  }
  return 0;
}

bool WindowLayout::OpenLayoutFile(const std::string& application, const std::string& path,
                                  const std::string& folder) {
  std::string full = path;
  if (!HasFolder(full)) {
    const std::string dir = AppDataFolder(application, folder);
    full = dir.empty() ? "" : dir + full;
  }
  doc_.reset();
  damaged_text_.clear();
  path_ = full;
  auto doc = std::make_unique<XmlElement>();
  const Stored stored = full.empty() ? Stored::kMissing : ReadStoredXml(full, doc.get());
  if (stored == Stored::kRead) {
    doc_ = std::move(doc);
    return true;
  }
  if (stored == Stored::kDamaged) {
    // Kept as "name.bad"; when that fails, the file is never written over.
    const std::string aside = SetDamagedAside(full);
    damaged_text_ = DamagedSettingsText(full, aside);
    if (aside.empty()) path_.clear();
  }
  doc_ = std::make_unique<XmlElement>();
  doc_->name = "Registry";
  return false;
}

XmlElement* WindowLayout::FindWindowElement(int window) const {
  if (!doc_) return nullptr;
  const std::string id = Key(window);
  for (const auto& c : doc_->children) {
    const std::string* v = c->Attribute("ID");
    if (v != nullptr && EqualsIgnoringCase(*v, id)) return c.get();
  }
  return nullptr;
}

AnchorRecord& WindowLayout::AnchorFor(int control) {
  const std::string key = Key(control);
  for (auto& [k, rec] : anchors_) {
    if (k == key) return rec;
  }
  anchors_.emplace_back(key, AnchorRecord{});
  return anchors_.back().second;
}

const WindowGeometry* WindowLayout::Geometry(int window) const {
  auto it = geometry_.find(Key(window));
  return it == geometry_.end() ? nullptr : &it->second;
}

const AnchorRecord* WindowLayout::Anchor(int control) const {
  const std::string key = Key(control);
  for (const auto& [k, rec] : anchors_) {
    if (k == key) return &rec;
  }
  return nullptr;
}

void WindowLayout::RegisterAnchor(int window, int control, int flags) {
  if (!host_.WindowExists(window)) return;
  int w = 0, h = 0;
  host_.InnerSize(window, &w, &h);
  if (!host_.ControlExists(control)) return;
  AnchorRecord& rec = AnchorFor(control);
  rec.control = control;
  rec.window = window;
  rec.left = (flags & kAnchorLeft) != 0;
  rec.top = (flags & kAnchorTop) != 0;
  rec.right = (flags & kAnchorRight) != 0;
  rec.bottom = (flags & kAnchorBottom) != 0;
  rec.rect = host_.ControlGeometry(control);
  if (!rec.left) rec.right_gap = w - rec.rect.x;
  if (!rec.top) rec.bottom_gap = h - rec.rect.y;
  if (rec.right) rec.right_margin = w - (rec.rect.x + rec.rect.width);
  if (rec.bottom) rec.bottom_margin = h - (rec.rect.y + rec.rect.height);
}

void WindowLayout::RegisterStretchColumn(int control, int column) {
  if (!host_.ControlExists(control)) return;
  AnchorRecord& rec = AnchorFor(control);
  rec.control = control;
  rec.kind = host_.IsColumnList(control) ? 1 : 0;
  rec.stretch_column = column;
}

void WindowLayout::OnWindowSized(int window) {
  if (!host_.WindowExists(window)) return;
  int w = 0, h = 0;
  host_.InnerSize(window, &w, &h);
  if (host_.State(window) == WindowState::kNormal) {
    WindowGeometry& g = geometry_[Key(window)];
    g.width = w;
    g.hight = h;
  }
  for (const auto& [key, rec] : anchors_) {
    if (rec.window != window || !host_.ControlExists(rec.control)) continue;
    const ControlRect now = host_.ControlGeometry(rec.control);
    ControlRect next = now;
    if (!rec.left) next.x = w - rec.right_gap;
    if (!rec.top) next.y = h - rec.bottom_gap;
    if (rec.right) next.width = w - next.x - rec.right_margin;
    if (rec.bottom) next.height = h - next.y - rec.bottom_margin;
    if (rec.stretch_column >= 0 && rec.right && host_.IsColumnList(rec.control) &&
        next.width != now.width) {
      const int col = host_.ColumnWidth(rec.control, rec.stretch_column);
      host_.SetColumnWidth(rec.control, rec.stretch_column, col + (next.width - now.width));
    }
    host_.SetControlGeometry(rec.control, next);
  }
}

void WindowLayout::OnWindowMoved(int window) {
  if (!host_.WindowExists(window) || host_.State(window) != WindowState::kNormal) return;
  WindowGeometry& g = geometry_[Key(window)];
  host_.OuterPosition(window, &g.x, &g.y);
}

void WindowLayout::RestoreWindowLayout(int window) {
  const XmlElement* e = FindWindowElement(window);
  if (e == nullptr) return;
  const int x = ReadNumber(*e, "X"), y = ReadNumber(*e, "Y");
  const int w = ReadNumber(*e, "Width"), h = ReadNumber(*e, "Hight");
  if (!host_.WindowExists(window)) return;
  host_.PlaceWindow(window, x, y, w, h);
  bool walking = false;
  for (const auto& gadget : e->children) {
    if (!walking && gadget->name != "Gadget") continue;
    walking = true;
    const int gid = ReadNumber(*gadget, "GID");
    if (!host_.ControlExists(gid)) continue;
    for (const auto& col : gadget->children) {
      if (!host_.IsColumnList(gid)) continue;
      host_.SetColumnWidth(gid, ReadNumber(*col, "pos"), ReadNumber(*col, "width"));
    }
  }
}

bool WindowLayout::SaveWindowLayout(int window) {
  if (!host_.WindowExists(window)) return false;
  const WindowState state = host_.State(window);
  WindowGeometry g;
  if (state == WindowState::kNormal) {
    host_.OuterPosition(window, &g.x, &g.y);
    host_.InnerSize(window, &g.width, &g.hight);
  } else {
    const WindowGeometry* last = Geometry(window);
    if (last == nullptr) return false;
    g = *last;
  }
  if (!doc_) return false;
  XmlElement* e = FindWindowElement(window);
  if (e == nullptr) {
    e = doc_->AddChild("Window");
    e->SetAttribute("ID", Key(window));
  }
  e->SetAttribute("X", Key(g.x));
  e->SetAttribute("Y", Key(g.y));
  e->SetAttribute("Width", Key(g.width));
  e->SetAttribute("Hight", Key(g.hight));
  e->SetAttribute("State", Key(WindowStateCode(state)));
  if (path_.empty()) return false;
  return fs::WriteFileAtomic(path_, WriteXml(*doc_));
}

void WindowLayout::ForgetWindowLayout(int window) {
  geometry_.erase(Key(window));
  std::erase_if(anchors_, [window](const auto& entry) { return entry.second.window == window; });
}

}  // namespace quasto
