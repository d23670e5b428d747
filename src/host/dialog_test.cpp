#include "host/dialog.h"

#include <gtest/gtest.h>

namespace quillo::host {
namespace {

class Sample : public Dialog {
 public:
  Sample() : Dialog("sample", "Sample") {
    on("go", DialogEvent::Click, [this](std::int32_t) { ++clicks; });
    on("box", DialogEvent::Change, [this](std::int32_t) { changed = box.text; });
    on("box", DialogEvent::KeyDown, [this](std::int32_t k) { key = k; });
    on("tick", DialogEvent::Click, [this](std::int32_t) { ticked = tick.value; });
    on("list", DialogEvent::Change, [this](std::int32_t) { picked = list.text; });
  }
  Control& go = add(ControlKind::Button, "go", "Go");
  Control& box = add(ControlKind::TextBox, "box");
  Control& tick = add(ControlKind::CheckBox, "tick", "Tick");
  Control& list = add_list(ControlKind::ListBox, "list", {"a", "b", "c"}, 2, {"X", "Y"});
  int clicks = 0;
  std::int32_t key = 0, ticked = -1;
  std::string changed, picked;
};

TEST(DialogTest, UserActionsChangeTheControlAndRunTheHandler) {
  Sample d;
  d.click("go");
  d.type("box", "hello");
  d.key_down("box", kKeyEnter);
  d.click("tick");
  d.choose("list", 1);
  EXPECT_EQ(d.clicks, 1);
  EXPECT_EQ(d.changed, "hello");
  EXPECT_EQ(d.key, kKeyEnter);
  EXPECT_EQ(d.ticked, 1);
  EXPECT_EQ(d.picked, "b");
  // Disabled controls and unknown names ignore the user.
  d.go.enabled = false;
  d.click("go");
  d.click("nothing");
  d.double_click("go");
  EXPECT_EQ(d.clicks, 1);
  d.choose("list", 7);
  EXPECT_EQ(d.list.list_index, -1);
  EXPECT_EQ(d.picked, "");
}

TEST(DialogTest, ListRowsKeepTheirColumnsAndTheChoiceFollowsRemoval) {
  Sample d;
  EXPECT_EQ(d.list.item(0, 1), "");
  d.list.set_item(2, 1, "c1");
  d.list.add_row({"d", "d1", "ignored"});
  EXPECT_EQ(d.list.row(3), (std::vector<std::string>{"d", "d1"}));
  EXPECT_EQ(d.list.item(3, 1), "d1");
  d.list.list_index = 3;
  d.list.remove_item(3);
  EXPECT_EQ(d.list.list_index, 2);
  EXPECT_EQ(d.list.chosen(), "c");
  d.list.remove_item(-1);
  d.list.remove_item(9);
  EXPECT_EQ(d.list.column(1), (std::vector<std::string>{"", "", "c1"}));
  EXPECT_EQ(d.list.item(5, 0), "");
  d.list.clear();
  EXPECT_EQ(d.list.list_index, -1);
}

}  // namespace
}  // namespace quillo::host
