// An "Excel.Application" stand-in for tests under Wine: quillo's own
// spreadsheet (src/spreadsheet) behind hand-written IDispatch objects that
// answer the object-model members the Excel adapter calls, by name and with
// positional arguments, and raise the application's WorkbookOpen event and
// the buttons' Click event through connection points.
//
// Installing a function library (AddIns.Add, then Installed = True) makes
// its functions callable in formulas; each call is forwarded to the COM
// object "quillo.core" the way the library's companion workbook calls it:
// the method by name, the arguments in the library's order and the calling
// cell's Range last. Workbooks.Open reads a text file of tab-separated cells
// (one line per row; "=..." entries are formulas).
//
// Single-threaded apartment; the caller has initialised COM.
#pragma once

#include <oaidl.h>

#include "spreadsheet/application.h"

namespace quillo::standin {

// A new stand-in Application, holding one reference for the caller.
IDispatch* create_application();
// The spreadsheet behind a stand-in Application, or null for other objects.
spreadsheet::Application* spreadsheet_of(IDispatch* application);

// The event interfaces the stand-in raises.
inline constexpr IID kAppEvents = {
    0x00024413, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID kCommandBarButtonEvents = {
    0x000C0351, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr DISPID kWorkbookOpenDispid = 0x61F;
inline constexpr DISPID kClickDispid = 1;

}  // namespace quillo::standin
