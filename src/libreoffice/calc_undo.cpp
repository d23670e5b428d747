#include "libreoffice/calc_undo.h"

#include <com/sun/star/document/XUndoManagerSupplier.hpp>

namespace css = com::sun::star;
using css::uno::Reference;
using css::uno::UNO_QUERY;

namespace quillo::lo {

UndoOff::UndoOff(const Reference<css::uno::XInterface>& document) {
  try {
    Reference<css::document::XUndoManagerSupplier> supplier(document, UNO_QUERY);
    if (!supplier.is()) return;
    Reference<css::document::XUndoManager> undo = supplier->getUndoManager();
    if (!undo.is()) return;
    undo->lock();
    m_undo = undo;
  } catch (const css::uno::Exception&) {
    // The change is recorded as Calc records it.
  }
}

UndoOff::~UndoOff() {
  if (!m_undo.is()) return;
  try {
    m_undo->unlock();
  } catch (const css::uno::Exception&) {
    // Already unlocked (the document is going away).
  }
}

}  // namespace quillo::lo
