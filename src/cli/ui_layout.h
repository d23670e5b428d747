// The look of a sheet (spreadsheet/sheet_look.h) as the browser page draws
// it, in JSON: what holds for the whole sheet (sizes, frozen panes) once
// per sheet, and what lies in a window (styled cells with the looks they
// use, merged areas) with each window's cells, so a huge sheet never sends
// more than its window. Event-loop thread (reads the model).
#pragma once

#include <string>

#include "spreadsheet/model.h"

namespace quillo::cli {

// {"width":characters,"height":points (0: not given),
//  "cols":[[c1,c2,characters,hidden],...] (later entries win: widths the
//  user set come last), "rows":[[r1,r2,points],...],"frozen":[rows,cols]}
std::string sheet_layout_json(const spreadsheet::Model& model, spreadsheet::SheetId sheet);

// {"runs":[[row,c1,c2,look],...],"looks":{"look":{"b":1,"i":1,"u":1,
//  "size":points,"color":"#rrggbb","fill":"#rrggbb","align":"left"|
//  "center"|"right","wrap":1},...},"merges":[[r1,c1,r2,c2],...]}
std::string window_look_json(const spreadsheet::Model& model, spreadsheet::SheetId sheet,
                             const spreadsheet::Box& window);

}  // namespace quillo::cli
