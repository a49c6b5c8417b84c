#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

#include "app/texts.h"
#include "app/window_layout.h"
#include "app/window_state.h"

namespace vmrk {
namespace {

TEST(InitialWindowState, ButtonsDisabledGeneratorHiddenFirstStepHighlighted) {
  WindowState s = InitialWindowState();
  EXPECT_EQ(s.cmdBegin.caption, texts::kNext);
  EXPECT_FALSE(s.cmdBegin.enabled);
  EXPECT_FALSE(s.cmdCancel.enabled);
  EXPECT_FALSE(s.Command2.visible);
  EXPECT_TRUE(s.Command2.enabled);
  EXPECT_FALSE(s.fileListVisible);
  EXPECT_EQ(s.statusText, texts::kStatusInitial);
  EXPECT_FALSE(s.statusColor.has_value());
  EXPECT_EQ(s.panelBackground, (Rgb{192, 255, 192}));
  EXPECT_TRUE(s.steps[0].border);
  EXPECT_EQ(s.steps[0].background, (Rgb{255, 192, 128}));
  EXPECT_TRUE(s.rows.empty());
  EXPECT_EQ(s.CurFile, 0);
}

struct PlacementCase {
  const char* name;
  friend void PrintTo(const PlacementCase& c, std::ostream* os) { *os << c.name; }
  TwipRect rect;
  bool inPanel;
};

class ControlPlacementTest : public testing::TestWithParam<PlacementCase> {};

TEST_P(ControlPlacementTest, StandsWhereTheWindowPutsIt) {
  ASSERT_NE(ControlNamed(GetParam().name), nullptr) << GetParam().name;
  const ControlSpec& control = *ControlNamed(GetParam().name);
  EXPECT_EQ(control.rect.left, GetParam().rect.left);
  EXPECT_EQ(control.rect.top, GetParam().rect.top);
  EXPECT_EQ(control.rect.width, GetParam().rect.width);
  EXPECT_EQ(control.rect.height, GetParam().rect.height);
  EXPECT_EQ(control.inPanel, GetParam().inPanel);
}

INSTANTIATE_TEST_SUITE_P(
    Controls, ControlPlacementTest,
    testing::Values(PlacementCase{"Command2", {5520, 5520, 1095, 375}, false},
                    PlacementCase{"cmdCancel", {3600, 5505, 1335, 390}, false},
                    PlacementCase{"cmdBegin", {2160, 5505, 1335, 390}, false},
                    PlacementCase{"Picture1", {240, 240, 1620, 5655}, false},
                    PlacementCase{"Label4(1)", {360, 3360, 855, 840}, true},
                    PlacementCase{"Label4(0)", {360, 1320, 855, 840}, true},
                    PlacementCase{"Label2(2)", {120, 4320, 1335, 1050}, true},
                    PlacementCase{"Label2(1)", {120, 2280, 1335, 1050}, true},
                    PlacementCase{"Label2(0)", {120, 240, 1335, 1050}, true},
                    PlacementCase{"ListView1", {2160, 480, 7215, 3975}, false},
                    PlacementCase{"DL", {2175, 4560, 7185, 255}, false},
                    PlacementCase{"Label1", {6960, 5550, 2160, 240}, false},
                    PlacementCase{"Label3(7)", {2160, 240, 1950, 180}, false},
                    PlacementCase{"Label3(4)", {2160, 5040, 2520, 180}, false},
                    PlacementCase{"Line2(0)", {2160, 5280, 7200, 0}, false},
                    PlacementCase{"Line2(1)", {2160, 5295, 7200, 0}, false}),
    [](const testing::TestParamInfo<PlacementCase>& info) {
      std::string name;
      for (char c : std::string(info.param.name))
        if (std::isalnum(static_cast<unsigned char>(c))) name += c;
      return name;
    });

TEST(WindowLayout, EveryControlOnceAndTheFileTableColumns) {
  std::set<std::string> names;
  for (const ControlSpec& control : WindowControls()) EXPECT_TRUE(names.insert(control.name).second) << control.name;
  EXPECT_EQ(names.size(), 19u);
  const auto& columns = FileTableColumns();
  const char* headers[] = {"序号", "文件位置", "大小", "修改日期", "状态"};
  const int widths[] = {570, 2390, 780, 2250, 870};
  const TextAlign aligns[] = {TextAlign::kLeft, TextAlign::kLeft, TextAlign::kRight, TextAlign::kLeft,
                              TextAlign::kCenter};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_STREQ(columns[i].header, headers[i]);
    EXPECT_EQ(columns[i].widthTwips, widths[i]);
    EXPECT_EQ(columns[i].align, aligns[i]);
  }
}

TEST(WindowLayout, FontsAndColoursOfTheLabels) {
  EXPECT_EQ(ControlNamed("Label4(0)")->font.face, FontFace::kHei);
  EXPECT_EQ(ControlNamed("Label4(0)")->font.points, 42);
  EXPECT_TRUE(ControlNamed("Label4(0)")->font.bold);
  EXPECT_EQ(ControlNamed("Label4(0)")->textColor, (Rgb{0, 192, 0}));
  EXPECT_EQ(ControlNamed("Label2(1)")->font.face, FontFace::kSong);
  EXPECT_EQ(ControlNamed("Label2(1)")->font.points, 10.5);
  EXPECT_EQ(ControlNamed("Label1")->font.face, FontFace::kHei);
  EXPECT_TRUE(ControlNamed("Label1")->font.underline);
  EXPECT_EQ(ControlNamed("Label1")->textColor, (Rgb{0, 0, 255}));
  EXPECT_STREQ(ControlNamed("Label1")->text, texts::kHomePage);
  EXPECT_EQ(texts::HomePageAddress(), "http://www.vmrsoft.com/");
  EXPECT_EQ(ControlNamed("Label3(7)")->font.points, 9);
  EXPECT_EQ(ControlNamed("Line2(0)")->textColor, (Rgb{128, 128, 128}));
  EXPECT_EQ(ControlNamed("Line2(1)")->textColor, (Rgb{255, 255, 255}));
  EXPECT_STREQ(ControlNamed("Label2(0)")->text, " \r\n\r\n获取列表");
}

}  // namespace
}  // namespace vmrk
