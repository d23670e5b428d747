// Model: the sheet's look (sheet_look.h), which no calculation reads.
#include "spreadsheet/sheet_look.h"

#include <cmath>

#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

Status Model::set_look(SheetId id, SheetLook look) {
  Sheet* s = sheet_mut(id);
  if (!s) return Status::object_required("the worksheet no longer exists");
  s->look = std::move(look);
  return {};
}

Status Model::set_column_width(SheetId id, std::int32_t col, double width) {
  Sheet* s = sheet_mut(id);
  if (!s) return Status::object_required("the worksheet no longer exists");
  if (col < 1 || col > kMaxCols || !std::isfinite(width) || width <= 0 || width > 255) {
    return Status(StatusCode::InvalidArgument, "a column width is above 0 and at most 255");
  }
  s->look.set_widths[col] = width;
  return {};
}

}  // namespace quillo::spreadsheet
