// Keeping quillo's writes off the user's undo list. A table quillo writes
// into a Calc document is no step of the user's: Ctrl+Z must undo what the
// user did last, not one of quillo's writes, nor show its hidden record
// sheet again.
//
// Calc records every change made through its API as an undo step. Locking
// the document's undo manager (XUndoManager::lock) keeps a change off the
// list, but each change Calc makes turns recording on again when it ends,
// so a lock held around several changes keeps only the first one off. The
// lock is therefore taken around each single change: an UndoOff in scope
// of every call that changes a document. The user's own steps stay on the
// list, in their order, and a redo waiting there stays too. (A hidden undo
// context instead merges the writes into the user's last step, fails on an
// empty list, and Calc 7.4 crashed undoing one that had added a sheet.)
//
// Main thread only, as all of Calc's API.
#pragma once

#include <com/sun/star/document/XUndoManager.hpp>
#include <com/sun/star/uno/Reference.hxx>
#include <com/sun/star/uno/XInterface.hpp>

namespace quillo::lo {

class UndoOff {
 public:
  // Stops recording the document's changes as undo steps until the end of
  // the scope; does nothing for a document without an undo manager.
  explicit UndoOff(const com::sun::star::uno::Reference<com::sun::star::uno::XInterface>& document);
  ~UndoOff();
  UndoOff(const UndoOff&) = delete;
  UndoOff& operator=(const UndoOff&) = delete;

 private:
  com::sun::star::uno::Reference<com::sun::star::document::XUndoManager> m_undo;
};

}  // namespace quillo::lo
