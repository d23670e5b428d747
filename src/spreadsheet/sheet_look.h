// How a sheet looks, as its file gives it: column widths and row heights,
// the fonts, fills and alignment of styled cells, merged areas and frozen
// panes. The model does not compute with any of it; the file format fills
// it at load (xlsx/), the browser view shows it, and the widths the user
// sets are written back at the next save. Plain data; the model's thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "spreadsheet/address.h"

namespace quillo::spreadsheet {

// What a cell style shows (fonts, fill, alignment); number formats are
// the cells' own (Model::number_format).
struct CellLook {
  enum class Align : std::uint8_t { General, Left, Center, Right };
  bool bold = false, italic = false, underline = false, wrap = false;
  Align align = Align::General;
  double font_size = 0;     // points; 0: the default size
  std::int32_t color = -1;  // 0xRRGGBB of the font; -1: the default
  std::int32_t fill = -1;   // 0xRRGGBB of a solid fill; -1: none
  bool plain() const {
    return !bold && !italic && !underline && !wrap && align == Align::General && font_size == 0 &&
           color < 0 && fill < 0;
  }
  bool operator==(const CellLook&) const = default;
};

struct SheetLook {
  struct Columns {  // columns c1..c2 share a width
    std::int32_t c1 = 0, c2 = 0;
    double width = 0;  // in characters of the default font, as files write it
    bool hidden = false;
  };
  struct Rows {  // rows r1..r2 share a height
    std::int32_t r1 = 0, r2 = 0;
    double height = 0;  // points
  };
  struct Styled {  // cells c1..c2 of a row with one look
    std::int32_t row = 0, c1 = 0, c2 = 0;
    std::uint32_t look = 0;  // index into looks
  };

  double default_width = 0;      // characters; 0: the file gives none
  double default_height = 0;     // points; 0: the file gives none
  std::vector<Columns> columns;  // by column, not overlapping
  std::vector<Rows> rows;        // by row, not overlapping: rows of other heights
  std::vector<Box> merges;
  std::int32_t frozen_rows = 0, frozen_cols = 0;
  // The book's cell styles, shared by its sheets (index: the file's style).
  std::shared_ptr<const std::vector<CellLook>> looks;
  // The cells whose look is not plain, by row.
  std::vector<Styled> styled;
  // Widths the user set since the book was loaded (column -> characters):
  // they win over columns, and a save writes them into the file.
  std::map<std::int32_t, double> set_widths;
};

}  // namespace quillo::spreadsheet
