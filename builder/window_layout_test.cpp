#include "builder/window_layout.h"

#include <gtest/gtest.h>

#include <map>

#include "shared/folders.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::TempDir;

struct FakeWindow {
  int x = 0, y = 0, width = 0, height = 0;
  WindowState state = WindowState::kNormal;
};

struct FakeControl {
  ControlRect rect;
  std::vector<int> columns;  // empty: not a column list
};

class FakeHost : public LayoutHost {
 public:
  std::map<int, FakeWindow> windows;
  std::map<int, FakeControl> controls;

  bool WindowExists(int w) const override { return windows.count(w) != 0; }
  void InnerSize(int w, int* width, int* height) const override {
    *width = windows.at(w).width;
    *height = windows.at(w).height;
  }
  void OuterPosition(int w, int* x, int* y) const override {
    *x = windows.at(w).x;
    *y = windows.at(w).y;
  }
  WindowState State(int w) const override { return windows.at(w).state; }
  void PlaceWindow(int w, int x, int y, int width, int height) override {
    windows[w] = {x, y, width, height, windows[w].state};
  }
  bool ControlExists(int c) const override { return controls.count(c) != 0; }
  ControlRect ControlGeometry(int c) const override { return controls.at(c).rect; }
  void SetControlGeometry(int c, const ControlRect& r) override { controls.at(c).rect = r; }
  bool IsColumnList(int c) const override { return !controls.at(c).columns.empty(); }
  int ColumnWidth(int c, int col) const override {
    return controls.at(c).columns.at(static_cast<size_t>(col));
  }
  void SetColumnWidth(int c, int col, int width) override {
    auto& cols = controls.at(c).columns;
    if (col >= 0 && static_cast<size_t>(col) < cols.size()) cols[static_cast<size_t>(col)] = width;
  }

  // The builder's main window as it is created.
  void MainWindow() {
    windows[1] = {257, 150, 510, 449};
    controls[56] = {{5, 40, 500, 335}, {270, 150, 75}};
    controls[57] = {{5, 380, 90, 24}, {}};
    controls[58] = {{115, 380, 90, 24}, {}};
  }
  void Resize(int w, int width, int height) {
    windows[w].width = width;
    windows[w].height = height;
  }
};

class WindowLayoutTest : public ::testing::Test {
 protected:
  TempDir dir;
  FakeHost host;
  WindowLayout layout{host};

  void OpenMain() {
    host.MainWindow();
    layout.OpenLayoutFile("Quastorell", dir / "Quastorell.win", "");
    layout.RegisterAnchor(1, 56, 15);
    layout.RegisterStretchColumn(56, 0);
    layout.RegisterAnchor(1, 57, 9);
    layout.RegisterAnchor(1, 58, 9);
  }
};

TEST_F(WindowLayoutTest, FirstSaveCreatesTheFileWithOneWindowElement) {
  OpenMain();
  EXPECT_EQ(layout.path(), dir / "Quastorell.win");
  host.windows[1].x = -12;
  ASSERT_TRUE(layout.SaveWindowLayout(1));
  EXPECT_EQ(dir.Read("Quastorell.win"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<Registry>\n"
            "  <Window ID=\"1\" X=\"-12\" Y=\"150\" Width=\"510\" Hight=\"449\" State=\"0\"/>\n"
            "</Registry>\n");
}

TEST_F(WindowLayoutTest, ExistingElementIsUpdatedInPlaceAndOthersKept) {
  dir.Write("Quastorell.win",
            "<Registry><Window ID=\"2\" X=\"1\"/>"
            "<Window Hight=\"3\" ID=\"1\" Extra=\"e\" X=\"0\"><Gadget GID=\"56\"/></Window>"
            "</Registry>");
  OpenMain();
  host.windows[1] = {40, 50, 510, 600, WindowState::kNormal};
  ASSERT_TRUE(layout.SaveWindowLayout(1));
  EXPECT_EQ(dir.Read("Quastorell.win"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<Registry>\n"
            "  <Window ID=\"2\" X=\"1\"/>\n"
            "  <Window Hight=\"600\" ID=\"1\" Extra=\"e\" X=\"40\" Y=\"50\" Width=\"510\" "
            "State=\"0\">\n"
            "    <Gadget GID=\"56\"/>\n"
            "  </Window>\n"
            "</Registry>\n");
}

TEST_F(WindowLayoutTest, MalformedFileIsSetAsideAndANewOneWritten) {
  dir.Write("Quastorell.win", "<Registry><Window ID=\"1\"");
  host.MainWindow();
  EXPECT_FALSE(layout.OpenLayoutFile("Quastorell", dir / "Quastorell.win", ""));
  EXPECT_EQ(dir.Read("Quastorell.win.bad"), "<Registry><Window ID=\"1\"");
  EXPECT_NE(layout.damaged_text().find("\"Quastorell.win.bad\" erhalten"), std::string::npos)
      << layout.damaged_text();
  layout.RestoreWindowLayout(1);
  EXPECT_EQ(host.windows[1].x, 257) << "nothing to restore";
  ASSERT_TRUE(layout.SaveWindowLayout(1));
  EXPECT_NE(dir.Read("Quastorell.win").find("<Window ID=\"1\" X=\"257\""), std::string::npos);

  // An empty file is no damage, and a good one none either.
  dir.Write("Quastorell.win", "");
  EXPECT_FALSE(layout.OpenLayoutFile("Quastorell", dir / "Quastorell.win", ""));
  EXPECT_EQ(layout.damaged_text(), "");
  EXPECT_EQ(FileExists(dir / "Quastorell.win.1.bad"), 0);
}

TEST_F(WindowLayoutTest, MaximisedWindowSavesLastNormalGeometryWithItsState) {
  OpenMain();
  host.windows[1].state = WindowState::kMaximized;
  EXPECT_FALSE(layout.SaveWindowLayout(1)) << "never moved or sized in normal state";
  EXPECT_EQ(dir.Read("Quastorell.win"), "");

  host.windows[1].state = WindowState::kNormal;
  host.windows[1].x = 30;
  host.windows[1].y = 20;
  layout.OnWindowMoved(1);
  host.Resize(1, 510, 500);
  layout.OnWindowSized(1);
  host.windows[1] = {0, 0, 1024, 768, WindowState::kMaximized};
  layout.OnWindowMoved(1);
  layout.OnWindowSized(1);
  ASSERT_TRUE(layout.SaveWindowLayout(1));
  EXPECT_NE(dir.Read("Quastorell.win")
                .find("X=\"30\" Y=\"20\" Width=\"510\" Hight=\"500\" State=\"16777216\""),
            std::string::npos)
      << dir.Read("Quastorell.win");
}

TEST_F(WindowLayoutTest, RestoreAppliesGeometryAndGadgetColumns) {
  dir.Write("Quastorell.win",
            "<Registry><window id=\"x\"/><Window id=\"1\"/>"
            "<Window ID=\"1\" X=\"-5\" Y=\"7\" Width=\"510\" Hight=\"600\" State=\"16777216\">"
            "<Other/>"
            "<Gadget GID=\"56\"><C pos=\"1\" width=\"99\"/><any pos=\"2\" width=\"33\"/></Gadget>"
            "<Gadget GID=\"999\"><C pos=\"0\" width=\"1\"/></Gadget>"
            "<Gadget GID=\"57\"><C pos=\"0\" width=\"1\"/></Gadget>"
            "</Window></Registry>");
  OpenMain();
  layout.RestoreWindowLayout(1);
  EXPECT_EQ(host.windows[1].x, -5);
  EXPECT_EQ(host.windows[1].y, 7);
  EXPECT_EQ(host.windows[1].height, 600);
  EXPECT_EQ(host.windows[1].state, WindowState::kNormal) << "the state is not applied";
  EXPECT_EQ(host.controls[56].columns, (std::vector<int>{270, 99, 33}));
  EXPECT_TRUE(host.controls[57].columns.empty());
}

TEST_F(WindowLayoutTest, RestoreReadsMissingAttributesAsZero) {
  dir.Write("Quastorell.win", "<Registry><Window ID=\"1\" Width=\"400\"/></Registry>");
  OpenMain();
  layout.RestoreWindowLayout(1);
  EXPECT_EQ(host.windows[1].x, 0);
  EXPECT_EQ(host.windows[1].width, 400);
  EXPECT_EQ(host.windows[1].height, 0);
}

TEST_F(WindowLayoutTest, SizingMovesButtonsAndStretchesListAndColumnZero) {
  OpenMain();
  host.Resize(1, 510, 549);
  layout.OnWindowSized(1);
  EXPECT_EQ(host.controls[56].rect.height, 435);
  EXPECT_EQ(host.controls[56].rect.width, 500);
  EXPECT_EQ(host.controls[56].columns[0], 270) << "width unchanged, column unchanged";
  EXPECT_EQ(host.controls[57].rect.y, 480);
  EXPECT_EQ(host.controls[57].rect.x, 5);
  EXPECT_EQ(host.controls[58].rect.y, 480);
  EXPECT_EQ(host.controls[58].rect.x, 115);

  host.Resize(1, 600, 549);
  layout.OnWindowSized(1);
  EXPECT_EQ(host.controls[56].rect.width, 590);
  EXPECT_EQ(host.controls[56].columns, (std::vector<int>{360, 150, 75}));
  EXPECT_EQ(host.controls[58].rect.x, 115) << "left-anchored buttons keep x";
  EXPECT_EQ(layout.Geometry(1)->width, 600);
  EXPECT_EQ(layout.Geometry(1)->hight, 549);
}

TEST_F(WindowLayoutTest, UnanchoredSidesKeepTheirGapToTheFarEdge) {
  host.windows[3] = {0, 0, 200, 100};
  host.controls[70] = {{150, 60, 40, 30}, {}};
  layout.RegisterAnchor(3, 70, 0);
  host.Resize(3, 300, 150);
  layout.OnWindowSized(3);
  EXPECT_EQ(host.controls[70].rect.x, 250);
  EXPECT_EQ(host.controls[70].rect.y, 110);
  EXPECT_EQ(host.controls[70].rect.width, 40);
  EXPECT_EQ(host.controls[70].rect.height, 30);
}

TEST_F(WindowLayoutTest, MissingWindowsAndControlsAreSkipped) {
  OpenMain();
  layout.RegisterAnchor(9, 56, 15);  // no window 9
  EXPECT_EQ(layout.Anchor(56)->window, 1);
  layout.RegisterAnchor(1, 77, 15);  // no control 77
  EXPECT_EQ(layout.Anchor(77), nullptr);
  host.controls.erase(57);
  host.Resize(1, 510, 500);
  layout.OnWindowSized(1);  // must not touch the missing control
  EXPECT_EQ(host.controls[58].rect.y, 431);
  EXPECT_FALSE(layout.SaveWindowLayout(9));
}

TEST_F(WindowLayoutTest, SizingWhileMinimisedRecordsNoGeometry) {
  OpenMain();
  host.windows[1].state = WindowState::kMinimized;
  host.Resize(1, 0, 0);
  layout.OnWindowSized(1);
  EXPECT_EQ(layout.Geometry(1), nullptr);
}

TEST_F(WindowLayoutTest, ForgetDropsTheWindowsRecordsOnly) {
  OpenMain();
  host.windows[3] = {0, 0, 200, 100};
  host.controls[70] = {{150, 60, 40, 30}, {}};
  layout.RegisterAnchor(3, 70, 9);
  layout.OnWindowMoved(1);
  layout.OnWindowMoved(3);
  layout.ForgetWindowLayout(1);
  EXPECT_EQ(layout.Geometry(1), nullptr);
  EXPECT_NE(layout.Geometry(3), nullptr);
  EXPECT_EQ(layout.AnchorCount(), 1u);
  EXPECT_NE(layout.Anchor(70), nullptr);
}

TEST_F(WindowLayoutTest, ReRegisteringAControlOverwritesItsRecord) {
  OpenMain();
  layout.RegisterAnchor(1, 57, 15);
  EXPECT_EQ(layout.AnchorCount(), 3u);
  EXPECT_TRUE(layout.Anchor(57)->right);
  EXPECT_EQ(layout.Anchor(57)->right_margin, 510 - 95);
}

}  // namespace
}  // namespace quasto
