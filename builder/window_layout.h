// Window layout: the layout file that keeps each window's position and size
// between runs, the last normal-state geometry of each window, and the
// anchors that move and stretch controls when a window changes size.
//
// The logic reaches windows only through LayoutHost, which the Win32 GUI
// implements over real windows and the tests over a fake.
#ifndef QUASTO_BUILDER_WINDOW_LAYOUT_H_
#define QUASTO_BUILDER_WINDOW_LAYOUT_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "builder/xml_doc.h"

namespace quasto {

enum class WindowState { kNormal, kMaximized, kMinimized };

// The stored codes of the states.
int WindowStateCode(WindowState state);

struct ControlRect {
  int x = 0, y = 0, width = 0, height = 0;
};

// Windows and controls by their numbers. "Inner" sizes are the client width
// and the height below the caption (menu bar plus client area).
class LayoutHost {
 public:
  virtual ~LayoutHost() = default;
  virtual bool WindowExists(int window) const = 0;
  virtual void InnerSize(int window, int* width, int* height) const = 0;
  virtual void OuterPosition(int window, int* x, int* y) const = 0;
  virtual WindowState State(int window) const = 0;
  // Moves the outer frame to x, y and sizes it around the inner size.
  virtual void PlaceWindow(int window, int x, int y, int width, int height) = 0;

  virtual bool ControlExists(int control) const = 0;
  // Position relative to the parent's client area.
  virtual ControlRect ControlGeometry(int control) const = 0;
  virtual void SetControlGeometry(int control, const ControlRect& rect) = 0;
  // True for a list with columns.
  virtual bool IsColumnList(int control) const = 0;
  virtual int ColumnWidth(int control, int column) const = 0;
  virtual void SetColumnWidth(int control, int column, int width) = 0;
};

enum AnchorFlags : int { kAnchorLeft = 1, kAnchorTop = 2, kAnchorRight = 4, kAnchorBottom = 8 };

struct WindowGeometry {
  int x = 0, y = 0, width = 0, hight = 0;
};

struct AnchorRecord {
  int control = 0;
  int window = 0;
  int right_gap = 0, bottom_gap = 0;
  int right_margin = 0, bottom_margin = 0;
  ControlRect rect;
  bool left = false, top = false, right = false, bottom = false;
  int kind = 0;  // 1: a column list
  int stretch_column = -1;
};

class WindowLayout {
 public:
  explicit WindowLayout(LayoutHost& host) : host_(host) {}

  // Loads the layout file, or starts a new document that the first save
  // writes. A file that cannot be read is set aside as "name.bad" first (and
  // never written over when that fails). A path without a folder lies in
  // AppDataFolder(application, folder).
  bool OpenLayoutFile(const std::string& application, const std::string& path,
                      const std::string& folder);
  // After OpenLayoutFile: the message for a damaged file, "" when it was fine.
  const std::string& damaged_text() const { return damaged_text_; }

  void RegisterAnchor(int window, int control, int flags);
  void RegisterStretchColumn(int control, int column);
  void OnWindowSized(int window);
  void OnWindowMoved(int window);
  void RestoreWindowLayout(int window);
  // Writes the window's geometry into the document and the file (atomically).
  // False when nothing was written.
  bool SaveWindowLayout(int window);
  void ForgetWindowLayout(int window);

  const std::string& path() const { return path_; }
  const WindowGeometry* Geometry(int window) const;
  const AnchorRecord* Anchor(int control) const;
  size_t AnchorCount() const { return anchors_.size(); }

 private:
  XmlElement* FindWindowElement(int window) const;
  AnchorRecord& AnchorFor(int control);

  LayoutHost& host_;
  std::unique_ptr<XmlElement> doc_;
  std::string path_;
  std::string damaged_text_;
  std::map<std::string, WindowGeometry> geometry_;
  // Visited in registration order when a window is sized.
  std::vector<std::pair<std::string, AnchorRecord>> anchors_;
};

}  // namespace quasto

#endif  // QUASTO_BUILDER_WINDOW_LAYOUT_H_
