#include "host/command_bars.h"

#include <gtest/gtest.h>

namespace quillo::host {
namespace {

CommandBar& menu_bar(CommandBars& bars) {
  return *bars.item(std::string(kWorksheetMenuBar)).value();
}

TEST(CommandBars, WorksheetMenuBarHasBuiltInHelpMenu) {
  CommandBars bars;
  CommandBar& bar = menu_bar(bars);
  ControlPtr help = bar.find_control(kHelpMenuId);
  ASSERT_TRUE(help);
  EXPECT_TRUE(help->built_in().value());
  EXPECT_EQ(help->index().value(), bar.controls().count());
  EXPECT_EQ(bars.find_control(kHelpMenuId), help);
  EXPECT_FALSE(bars.item("no such bar").ok());
}

TEST(CommandBars, MenuInsertedBeforeHelpKeepsOrderAndIndexes) {
  CommandBars bars;
  CommandBarControls& top = menu_bar(bars).controls();
  const std::int32_t help_index = menu_bar(bars).find_control(kHelpMenuId)->index().value();
  ControlPtr menu = top.add(ControlType::Popup, help_index).value();
  ASSERT_TRUE(menu->set_caption("&Tarnvale").ok());
  EXPECT_EQ(menu->index().value(), help_index);
  EXPECT_EQ(menu_bar(bars).find_control(kHelpMenuId)->index().value(), help_index + 1);
  // Looked up by caption with or without the accelerator mark, any case.
  EXPECT_EQ(top.item("tarnvale").value(), menu);
  EXPECT_EQ(top.item("&Tarnvale").value(), menu);

  CommandBarControls* items = menu->controls().value();
  ControlPtr search = items->add(ControlType::Button).value();
  ControlPtr update = items->add(ControlType::Button).value();
  ControlPtr first = items->add(ControlType::Button, 1).value();
  EXPECT_TRUE(update->set_caption("Update data").ok());
  EXPECT_TRUE(update->set_begin_group(true).ok());
  EXPECT_EQ(first->index().value(), 1);
  EXPECT_EQ(search->index().value(), 2);
  EXPECT_TRUE(update->begin_group().value());
  EXPECT_EQ(menu_bar(bars).find_control_by_caption("update data"), update);
  EXPECT_FALSE(search->controls().ok());  // buttons hold no controls
  EXPECT_FALSE(items->add(ControlType::Button, 9).ok());
}

TEST(CommandBars, ClickRunsHandlerOnlyWhenEnabled) {
  CommandBars bars;
  ControlPtr button = menu_bar(bars).controls().add(ControlType::Button).value();
  int clicks = 0;
  EXPECT_TRUE(button->on_click([&](CommandBarControl&) { ++clicks; }).ok());
  EXPECT_TRUE(button->click().ok());
  EXPECT_TRUE(button->set_enabled(false).ok());
  EXPECT_FALSE(button->click().ok());
  EXPECT_EQ(clicks, 1);
}

TEST(CommandBars, DeletedControlAndItsChildrenAnswerObjectRequired) {
  CommandBars bars;
  ControlPtr menu = menu_bar(bars).controls().add(ControlType::Popup).value();
  ControlPtr child = menu->controls().value()->add(ControlType::Button).value();
  const std::int32_t before = menu_bar(bars).controls().count();
  ASSERT_TRUE(menu->remove().ok());
  EXPECT_EQ(menu_bar(bars).controls().count(), before - 1);
  EXPECT_TRUE(menu->caption().status().is_object_required());
  EXPECT_TRUE(child->set_enabled(true).is_object_required());
  EXPECT_TRUE(child->click().is_object_required());
  EXPECT_TRUE(menu->remove().is_object_required());
}

TEST(CommandBars, HandlerMayDeleteItsOwnControl) {
  CommandBars bars;
  ControlPtr button = menu_bar(bars).controls().add(ControlType::Button).value();
  EXPECT_TRUE(button->on_click([](CommandBarControl& self) { (void)self.remove(); }).ok());
  ControlPtr held = button;
  button.reset();
  EXPECT_TRUE(held->click().ok());
  EXPECT_FALSE(held->alive());
}

TEST(CommandBars, HandlesOutliveTheirBars) {
  ControlPtr kept;
  {
    CommandBars bars;
    kept = menu_bar(bars).controls().add(ControlType::Popup).value();
  }
  EXPECT_TRUE(kept->index().status().is_object_required());
}

}  // namespace
}  // namespace quillo::host
