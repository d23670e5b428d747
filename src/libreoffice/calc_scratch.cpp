#include "libreoffice/calc_scratch.h"

#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XLoadable.hpp>
#include <com/sun/star/lang/XMultiComponentFactory.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/uno/Sequence.hxx>
#include <com/sun/star/util/XModifiable.hpp>

namespace css = com::sun::star;
using css::uno::Reference;
using css::uno::UNO_QUERY;
using css::uno::XComponentContext;

namespace quillo::lo {

namespace {

using Doc = Reference<css::sheet::XSpreadsheetDocument>;

struct Scratch {
  Doc doc;
  Reference<css::table::XCell> cell;
};
Scratch& scratch() {
  static Scratch s;
  return s;
}

// A document of Calc's made without a frame: the desktop does not list
// it. nullptr when Calc cannot make one so.
Doc frameless_document(const Reference<XComponentContext>& ctx) {
  try {
    Reference<css::frame::XLoadable> load(ctx->getServiceManager()->createInstanceWithContext(
                                              "com.sun.star.sheet.SpreadsheetDocument", ctx),
                                          UNO_QUERY);
    if (!load.is()) return Doc();
    load->initNew();
    return Doc(load, UNO_QUERY);
  } catch (const css::uno::Exception&) {
    return Doc();
  }
}

// A hidden document of the desktop's, when no frameless one can be made.
Doc hidden_document(const Reference<XComponentContext>& ctx) {
  const auto desktop = css::frame::Desktop::create(ctx);
  css::uno::Sequence<css::beans::PropertyValue> props(1);
  props[0].Name = "Hidden";
  props[0].Value <<= true;
  return Doc(desktop->loadComponentFromURL("private:factory/scalc", "_blank", 0, props), UNO_QUERY);
}

// Whether the document still answers (a closed one is disposed and throws).
bool alive(const Scratch& s) {
  if (!s.doc.is() || !s.cell.is()) return false;
  try {
    Reference<css::container::XIndexAccess> sheets(s.doc->getSheets(), UNO_QUERY);
    return sheets.is() && sheets->getCount() > 0;
  } catch (const css::uno::Exception&) {
    return false;
  }
}

}  // namespace

Reference<css::table::XCell> scratch_cell(const Reference<XComponentContext>& ctx) {
  Scratch& s = scratch();
  if (alive(s)) return s.cell;
  s = Scratch{};
  try {
    Doc doc = frameless_document(ctx);
    if (!doc.is()) doc = hidden_document(ctx);
    if (!doc.is()) return {};
    Reference<css::container::XIndexAccess> sheets(doc->getSheets(), UNO_QUERY);
    Reference<css::sheet::XSpreadsheet> sheet(sheets->getByIndex(0), UNO_QUERY);
    if (!sheet.is()) return {};
    s.doc = doc;
    s.cell = sheet->getCellByPosition(0, 0);
  } catch (const css::uno::Exception&) {
    s = Scratch{};
  }
  return s.cell;
}

void scratch_written() {
  try {
    Reference<css::util::XModifiable> modifiable(scratch().doc, UNO_QUERY);
    if (modifiable.is() && modifiable->isModified()) modifiable->setModified(false);
  } catch (const css::uno::Exception&) {
    // Gone: made again on its next use.
  }
}

bool is_scratch(const Doc& doc) {
  return scratch().doc.is() && doc == scratch().doc;
}

}  // namespace quillo::lo
