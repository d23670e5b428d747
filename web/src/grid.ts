// The grid: draws only the cells in view (plus a margin), so a sheet of a
// hundred thousand rows scrolls as lightly as one of ten. Cell texts are
// set as text, never as HTML.
//
// It shows and selects cells and takes the keys of a spreadsheet; it never
// computes nor stores a cell: edits, clearing, undo and the clipboard are
// handed to the page through the on* callbacks, which send them to quillo,
// and the values come back from quillo like any other change.

import type { CellEntry } from "./api";
import { Layout } from "./layout";

// The sheet's limits: 1,048,576 rows, columns A to XFD.
export const MAX_ROWS = 1048576;
export const MAX_COLS = 16384;
const MARGIN = 4; // rows and columns drawn beyond the visible ones
// Rows and columns the grid keeps beyond the used range and the cursor.
const ROOM_ROWS = 100;
const ROOM_COLS = 10;

export interface Window {
  r1: number;
  c1: number;
  r2: number;
  c2: number;
}

export type Selection = { anchor: Cell; corner: Cell };

export interface Cell {
  row: number;
  col: number;
}

export function columnName(col: number): string {
  let s = "";
  for (let c = col; c > 0; c = Math.floor((c - 1) / 26)) s = String.fromCharCode(65 + ((c - 1) % 26)) + s;
  return s;
}

// "B12" as a cell of the sheet, or null when it is no address or lies
// beyond the sheet's limits.
export function parseAddress(text: string): Cell | null {
  const m = /^\s*\$?([A-Za-z]{1,3})\$?(\d{1,7})\s*$/.exec(text);
  if (!m) return null;
  let col = 0;
  for (const ch of m[1].toUpperCase()) col = col * 26 + (ch.charCodeAt(0) - 64);
  const row = Number(m[2]);
  if (row < 1 || row > MAX_ROWS || col > MAX_COLS) return null;
  return { row, col };
}

export interface Shown {
  text: string;
  kind: string;
}

// How an edit in place began: by typing over the cell (arrow keys then end
// it and move, as in the peers) or with F2 / a double click (arrow keys
// move in the text).
type EditMode = "enter" | "edit";

// A key as the grid handles it: a keydown event, or one kept while an
// answer was awaited and handled once it came.
type Key = Pick<KeyboardEvent, "key" | "shiftKey" | "ctrlKey" | "metaKey" | "altKey"> & { preventDefault(): void };
// What is kept while an answer is awaited: keys, a paste (the clipboard's
// text as it was) and a copy, in the order they came.
type Kept = { key: Key } | { paste: string } | { copy: true } | { cut: true };

// The keys the grid acts on (besides characters and Ctrl+Z, Y and A).
const GRID_KEYS = new Set(["ArrowUp", "ArrowDown", "ArrowLeft", "ArrowRight", "Enter", "Tab", "Home", "End", "PageUp", "PageDown", "F2", "Delete", "Backspace", "Escape"]);
// At most this many keys are kept while an answer is awaited, and for at
// most this long: keys beyond either are dropped, and the page says so.
const MAX_KEPT = 500;
const WAIT_LIMIT_MS = 10000;

export class Grid {
  rows = 200;
  cols = 26;
  // The active cell (where typing goes), and the selection from its anchor
  // (where it began) to its corner (the end Shift+arrows move). Enter and
  // Tab move the active cell within a selection of several cells.
  selected: Cell = { row: 1, col: 1 };
  anchor: Cell = { row: 1, col: 1 };
  corner: Cell = { row: 1, col: 1 };
  // The sheet's used range as quillo last told it.
  used = { rows: 0, cols: 0 };
  onSelect: (row: number, col: number) => void = () => {};
  onWindow: (w: Window) => void = () => {};
  // Where cells go and how they look (layout.ts).
  readonly layout = new Layout();
  // The text of a cell as it would be typed (F2 and double click edit it).
  onEditText: (row: number, col: number) => Promise<string> = async () => "";
  // A finished edit in place; resolves false when quillo refused it (the
  // page says why).
  onCommit: (row: number, col: number, text: string) => Promise<boolean> = async () => true;
  onEditInput: (text: string) => void = () => {};
  onCancel: () => void = () => {};
  onClear: (box: Window) => void = () => {};
  // Undo and redo: resolve once quillo has answered (the cursor has moved
  // to the cells restored).
  onUndo: () => Promise<unknown> = async () => {};
  onRedo: () => Promise<unknown> = async () => {};
  onPaste: (at: Window, rows: string[][]) => void = () => {};
  // The cells that hold something among the box (Ctrl+arrows): quillo's
  // answer, as keys "row,col".
  onFilled: (box: Window) => Promise<Set<string>> = async () => new Set();
  // Copying cells not drawn: their shown texts, row by row.
  onCopyFar: (box: Window) => Promise<string[][] | null> = async () => null;
  // An answer the keys waited for failed, did not come in time, or was
  // overtaken by another cell chosen: why, and how many keys (pastes,
  // copies) kept meanwhile were dropped unhandled.
  onAnswerLost: (why: string, dropped: number) => void = () => {};
  private cells = new Map<string, Shown>();
  private drawn: Window = { r1: 0, c1: 0, r2: -1, c2: -1 };
  // The window whose cells this.cells holds as quillo last sent them.
  private known: Window = { r1: 0, c1: 0, r2: -1, c2: -1 };
  private elements = new Map<string, HTMLElement>();
  private painted = new Set<string>();
  private frame = 0;
  private dragging = false;
  private editor: HTMLInputElement;
  private editMode: EditMode | null = null;
  private editAt: Cell = { row: 1, col: 1 };
  // The text the edit began with.
  private editFrom = "";
  // F2 and Ctrl+arrows ask quillo (the cell's text, where the run of filled
  // cells ends) before they can act. Keys pressed on the grid meanwhile are
  // kept and handled in order once the answer has acted, as if pressed
  // then: typing after F2 goes into the cell's text, an arrow after a
  // Ctrl+arrow moves from where it landed.
  private wait: { id: number; from: Selection; timer: number } | null = null;
  private waits = 0;
  private kept: Kept[] = [];
  private beyond = 0;
  // Where the user took the focus while keys were kept (the Save button,
  // the formula bar): it goes there once they are handled, which commits
  // an edit they opened, as leaving the cell's text does.
  private leftTo: HTMLElement | null = null;
  private idlers: (() => void)[] = [];

  constructor(
    private scroller: HTMLElement,
    private spacer: HTMLElement,
    private layer: HTMLElement,
    private colHeads: HTMLElement,
    private rowHeads: HTMLElement,
    private headCorner: HTMLElement,
  ) {
    this.editor = document.createElement("input");
    this.editor.className = "editor";
    this.editor.setAttribute("aria-label", "Cell text");
    this.editor.autocomplete = "off";
    this.editor.spellcheck = false;
    this.editor.hidden = true;
    scroller.append(this.editor);
    scroller.addEventListener("scroll", () => this.schedule());
    window.addEventListener("resize", () => this.schedule());
    layer.addEventListener("mousedown", (e) => this.mouseDown(e));
    layer.addEventListener("mouseover", (e) => {
      if (!this.dragging) return;
      const at = this.cellAt(e);
      if (at) this.extend(at.row, at.col);
    });
    window.addEventListener("mouseup", () => (this.dragging = false));
    // A double click while an answer is awaited (its first click chose the
    // cell being waited on, so the wait goes on) leaves the wait to act.
    layer.addEventListener("dblclick", (e) => {
      if (this.cellAt(e) && !this.editing && !this.wait) this.editExisting();
    });
    scroller.addEventListener("keydown", (e) => {
      if (e.target !== this.scroller) return;
      if (!this.wait) this.key(e);
      else if (this.acts(e)) {
        e.preventDefault();
        const { key, shiftKey, ctrlKey, metaKey, altKey } = e;
        this.keep({ key: { key, shiftKey, ctrlKey, metaKey, altKey, preventDefault: () => {} } });
      }
    });
    // The focus leaving the grid while keys are kept: for a button (Save)
    // the keys are handled first, then it goes there; another place to type
    // (the name box, the formula bar) is the user turning to other work, so
    // the keys are dropped, as when another cell is clicked, and the answer
    // does not take the focus back from what is typed there.
    scroller.addEventListener("focusout", (e) => {
      const to = e.relatedTarget;
      if (!this.wait || !(to instanceof HTMLElement) || scroller.contains(to)) return;
      if (to instanceof HTMLTextAreaElement || (to instanceof HTMLInputElement && !["button", "submit", "checkbox", "radio"].includes(to.type)))
        this.giveUp(this.wait.id, "the focus went to another box", true);
      else this.leftTo = to;
    });
    scroller.addEventListener("focusin", (e) => {
      if (this.wait && e.target === scroller) this.leftTo = null;
    });
    this.editor.addEventListener("keydown", (e) => void this.editorKey(e));
    this.editor.addEventListener("input", () => this.onEditInput(this.editor.value));
    // Leaving the cell's text for another part of the page commits it, as
    // in the peers (the window losing the focus does not).
    this.editor.addEventListener("blur", (e) => {
      if (this.editMode && document.hasFocus()) this.finishEdit(0, 0, e.relatedTarget === null);
    });
    document.addEventListener("copy", (e) => this.copy(e));
    document.addEventListener("paste", (e) => this.paste(e));
    // Ctrl+X is kept only to be refused in the cell's text (see handleKept):
    // cells themselves are not cut.
    document.addEventListener("cut", (e) => {
      if (document.activeElement !== this.scroller || !this.wait) return;
      e.preventDefault();
      this.keep({ cut: true });
    });
    this.layout.mount(scroller, colHeads, (row, col) => {
      this.select(row, col);
      this.focus();
    });
    this.layout.columnTexts = (col) =>
      [...this.cells.entries()].filter(([key]) => key.endsWith(`,${col}`)).map(([, v]) => v.text);
    // Over the frozen layers, which come after the cells.
    scroller.append(this.editor);
  }

  // The layout changed (a sheet's sizes arrived, a column was resized).
  relayout(): void {
    this.sizeSpacer();
    this.draw(true);
  }

  // The scrolled area: the sheet's reach as the layout sizes it.
  private sizeSpacer(): void {
    this.spacer.style.width = `${this.layout.colLeft(this.cols + 1)}px`;
    this.spacer.style.height = `${this.layout.rowTop(this.rows + 1)}px`;
  }

  get editing(): boolean {
    return this.editMode !== null;
  }

  // The selection, top left to bottom right.
  box(): Window {
    const a = this.anchor;
    const b = this.corner;
    // Merged areas it touches are taken in whole.
    return this.layout.cover({
      r1: Math.min(a.row, b.row),
      c1: Math.min(a.col, b.col),
      r2: Math.max(a.row, b.row),
      c2: Math.max(a.col, b.col),
    });
  }

  // A new sheet: nothing known of its cells yet.
  reset(rows: number, cols: number): void {
    if (this.wait) this.giveUp(this.wait.id, "another sheet was opened", true);
    this.cells.clear();
    this.layout.clearWindow();
    this.known = { r1: 0, c1: 0, r2: -1, c2: -1 };
    this.used = { rows, cols };
    this.rows = 0;
    this.cols = 0;
    this.grow(Math.max(rows + ROOM_ROWS, 200), Math.max(cols + ROOM_COLS, 26));
    this.drawn = { r1: 0, c1: 0, r2: -1, c2: -1 };
    this.scroller.scrollTo(0, 0);
    this.selected = { row: 1, col: 1 };
    this.anchor = { row: 1, col: 1 };
    this.corner = { row: 1, col: 1 };
    this.schedule();
  }

  // The sheet's used range grew (quillo said so, or a change arrived beyond it).
  setUsed(rows: number, cols: number): void {
    this.used = { rows: Math.max(this.used.rows, rows), cols: Math.max(this.used.cols, cols) };
    this.grow(this.used.rows + ROOM_ROWS, this.used.cols + ROOM_COLS);
  }

  // Makes room for at least rows x cols, within the sheet's limits.
  private grow(rows: number, cols: number): void {
    rows = Math.min(MAX_ROWS, rows);
    cols = Math.min(MAX_COLS, cols);
    if (rows <= this.rows && cols <= this.cols) return;
    this.rows = Math.max(this.rows, rows);
    this.cols = Math.max(this.cols, cols);
    this.sizeSpacer();
  }

  // Cells of the window just asked for: every cell of it not listed is
  // empty. Only the window's cells are kept, so memory stays that of the
  // view however far the sheet is scrolled.
  fill(w: Window, entries: CellEntry[]): void {
    this.cells = new Map();
    this.known = w;
    this.update(entries);
    // The window's looks and merges came with it: its cells are drawn anew.
    this.draw(true);
    // A cursor put on a cell before its merged area was known (Ctrl+End,
    // the name box, far from the view) moves to the area's top-left cell.
    const at = this.topLeft(this.selected);
    const single = this.anchor === this.selected && this.corner === this.selected;
    if (single && (at.row !== this.selected.row || at.col !== this.selected.col)) this.select(at.row, at.col);
  }

  // Cells that changed: those drawn are painted again in place.
  update(entries: CellEntry[]): void {
    let rows = 0;
    let cols = 0;
    const changed = new Set<number>();
    for (const [r, c, text, kind] of entries) {
      const key = `${r},${c}`;
      if (text === "") this.cells.delete(key);
      else {
        this.cells.set(key, { text, kind });
        rows = Math.max(rows, r);
        cols = Math.max(cols, c);
      }
      changed.add(r);
    }
    // A text running on over its empty neighbours stops or goes on as they
    // change: the changed rows' drawn cells are painted again.
    if (changed.size) {
      for (const el of this.elements.values()) {
        const r = Number(el.dataset.row);
        if (changed.has(r)) this.paint(el, r, Number(el.dataset.col));
      }
    }
    if (rows > this.used.rows || cols > this.used.cols) this.setUsed(rows, cols);
  }

  shown(row: number, col: number): Shown | undefined {
    return this.cells.get(`${row},${col}`);
  }

  // The selection as it stands: movedSince tells whether it was changed
  // after (a cell chosen, a key, a select), so that work answered later
  // leaves a selection the user made meanwhile alone.
  selection(): Selection {
    return { anchor: this.anchor, corner: this.corner };
  }
  movedSince(s: Selection | null): boolean {
    return !s || this.anchor !== s.anchor || this.corner !== s.corner;
  }

  // Moves the cursor (and collapses the selection) to a cell.
  select(row: number, col: number): void {
    this.selectBox(row, col, row, col);
  }

  // Moves the cursor for the work the keys are waiting for (an undo going
  // to the cells it restores): the user chose no other cell, so the wait
  // goes on, and the keys kept act from there.
  selectForWait(row: number, col: number): void {
    const w = this.wait;
    this.wait = null;
    this.select(row, col);
    this.wait = w;
    if (w) w.from = this.selection();
  }

  // Selects from the active cell (row, col) to the corner (row2, col2).
  selectBox(row: number, col: number, row2: number, col2: number): void {
    const fit = (r: number, c: number): Cell => ({
      row: Math.max(1, Math.min(r, MAX_ROWS)),
      col: Math.max(1, Math.min(c, MAX_COLS)),
    });
    // A cell covered by a merged area stands for the area: its top-left cell.
    this.selected = this.topLeft(fit(row, col));
    this.anchor = this.selected;
    this.corner = row === row2 && col === col2 ? this.selected : fit(row2, col2);
    this.grow(Math.max(this.selected.row, this.corner.row) + ROOM_ROWS, Math.max(this.selected.col, this.corner.col) + ROOM_COLS);
    this.reveal(this.corner);
    this.draw(false);
    this.paintSelection();
    this.movedWhileWaiting();
    this.onSelect(this.selected.row, this.selected.col);
  }

  // The top-left cell of the merged area that covers a cell, or the cell.
  private topLeft(at: Cell): Cell {
    const m = this.layout.merge(at.row, at.col);
    return m ? { row: m.r1, col: m.c1 } : at;
  }

  // The cell one step from a cell by (dr, dc): from a merged area, the step
  // goes past the area's far edge, as in the peers.
  private beside(at: Cell, dr: number, dc: number): Cell {
    const m = this.layout.merge(at.row, at.col);
    const row = m && dr > 0 ? m.r2 : m && dr < 0 ? m.r1 : at.row;
    const col = m && dc > 0 ? m.c2 : m && dc < 0 ? m.c1 : at.col;
    return { row: row + dr, col: col + dc };
  }

  // Moves the selection's far corner; the active cell goes back to its anchor.
  extend(row: number, col: number): void {
    if (this.selected !== this.anchor) {
      this.selected = this.anchor;
      this.onSelect(this.selected.row, this.selected.col);
    }
    this.corner = { row: Math.max(1, Math.min(row, MAX_ROWS)), col: Math.max(1, Math.min(col, MAX_COLS)) };
    this.grow(this.corner.row + ROOM_ROWS, this.corner.col + ROOM_COLS);
    this.reveal(this.corner);
    this.draw(false);
    this.paintSelection();
    this.movedWhileWaiting();
  }

  // The window of cells in view, with a margin.
  visible(): Window {
    const top = this.scroller.scrollTop;
    const left = this.scroller.scrollLeft;
    const h = this.scroller.clientHeight;
    const w = this.scroller.clientWidth;
    const L = this.layout;
    const r1 = Math.max(1, L.rowAt(top, this.rows) - MARGIN);
    const c1 = Math.max(1, L.colAt(left, this.cols) - MARGIN);
    const r2 = Math.min(this.rows, L.rowAt(top + h, this.rows) + MARGIN);
    const c2 = Math.min(this.cols, L.colAt(left + w, this.cols) + MARGIN);
    return { r1, c1, r2, c2 };
  }

  // Rows that fit in view below the frozen ones (PgUp and PgDn move by as many).
  private page(): number {
    const L = this.layout;
    const height = this.scroller.clientHeight - L.rowTop(L.frozenRows + 1);
    let r = Math.max(L.frozenRows + 1, L.rowAt(this.scroller.scrollTop + L.rowTop(L.frozenRows + 1), this.rows));
    let n = 0;
    for (let used = L.rows.size(r); used <= height && n < MAX_ROWS; used += L.rows.size(++r)) n++;
    return Math.max(1, n - 1);
  }

  // Scrolls so that a cell (a merged area's whole box) is in view, clear of
  // the frozen rows and columns.
  private reveal(at: Cell): void {
    const { row, col } = at;
    const L = this.layout;
    const m = L.merge(row, col);
    const top = L.rowTop(row);
    const left = L.colLeft(col);
    const height = L.rowTop((m ? m.r2 : row) + 1) - top;
    const width = L.colLeft((m ? m.c2 : col) + 1) - left;
    // Frozen rows and columns cover the top and left of the view.
    const topEdge = L.rowTop(L.frozenRows + 1);
    const leftEdge = L.colLeft(L.frozenCols + 1);
    const s = this.scroller;
    if (row > L.frozenRows) {
      if (top - topEdge < s.scrollTop) s.scrollTop = top - topEdge;
      else if (top + height > s.scrollTop + s.clientHeight) s.scrollTop = top + height - s.clientHeight;
    }
    if (col > L.frozenCols) {
      if (left - leftEdge < s.scrollLeft) s.scrollLeft = left - leftEdge;
      else if (left + width > s.scrollLeft + s.clientWidth) s.scrollLeft = left + width - s.clientWidth;
    }
  }

  private cellAt(e: MouseEvent): Cell | null {
    const target = (e.target as HTMLElement).closest<HTMLElement>(".cell");
    return target ? { row: Number(target.dataset.row), col: Number(target.dataset.col) } : null;
  }

  private mouseDown(e: MouseEvent): void {
    if (e.button !== 0) return;
    const at = this.cellAt(e);
    if (!at) return;
    // No text selection while dragging over cells; the grid takes the focus
    // (an edit in progress elsewhere is committed as it loses it).
    e.preventDefault();
    if (this.editing && at.row === this.editAt.row && at.col === this.editAt.col) return;
    if (e.shiftKey) this.extend(at.row, at.col);
    else this.select(at.row, at.col);
    this.dragging = true;
    this.focus();
  }

  focus(): void {
    this.scroller.focus({ preventScroll: true });
  }

  private key(e: Key): void {
    const ctrl = e.ctrlKey || e.metaKey;
    const arrows: Record<string, [number, number]> = {
      ArrowUp: [-1, 0],
      ArrowDown: [1, 0],
      ArrowLeft: [0, -1],
      ArrowRight: [0, 1],
    };
    const { row, col } = this.selected;
    const arrow = arrows[e.key];
    if (arrow && ctrl && !e.altKey) {
      e.preventDefault();
      this.jump(arrow[0], arrow[1], e.shiftKey);
      return;
    }
    if (arrow && !e.altKey) {
      e.preventDefault();
      if (e.shiftKey) {
        // The corner steps from the selection's edge on its side, so a
        // merged area the selection took in whole is passed in one step.
        // A step that leaves the selection as it was (a shrinking
        // selection still holding a merged area) goes on until it changes.
        const was = this.box();
        const { row: ar, col: ac } = this.anchor;
        let { row, col } = this.corner;
        let b = was;
        const same = (x: Window) => x.r1 === was.r1 && x.c1 === was.c1 && x.r2 === was.r2 && x.c2 === was.c2;
        for (let n = 0; n < 64 && same(b); n++) {
          if (arrow[0]) row = n ? row + arrow[0] : (row >= ar ? b.r2 : b.r1) + arrow[0];
          if (arrow[1]) col = n ? col + arrow[1] : (col >= ac ? b.c2 : b.c1) + arrow[1];
          if (row < 1 || row > MAX_ROWS || col < 1 || col > MAX_COLS) break;
          const corner = this.corner;
          this.corner = { row, col };
          b = this.box();
          this.corner = corner;
        }
        this.extend(row, col);
      }
      else {
        const to = this.beside(this.selected, arrow[0], arrow[1]);
        this.select(to.row, to.col);
      }
      return;
    }
    const page = this.page();
    switch (e.key) {
      case "Enter":
        e.preventDefault();
        this.advance(e.shiftKey ? -1 : 1, 0);
        return;
      case "Tab":
        e.preventDefault();
        this.advance(0, e.shiftKey ? -1 : 1);
        return;
      case "Home":
        e.preventDefault();
        if (ctrl) this.select(1, 1);
        else if (e.shiftKey) this.extend(this.corner.row, 1);
        else this.select(row, 1);
        return;
      case "End": {
        // The used range's last column (Ctrl: its last cell).
        e.preventDefault();
        const lastCol = Math.max(1, this.used.cols);
        if (ctrl) this.select(Math.max(1, this.used.rows), lastCol);
        else if (e.shiftKey) this.extend(this.corner.row, lastCol);
        else this.select(row, lastCol);
        return;
      }
      case "PageDown":
      case "PageUp": {
        e.preventDefault();
        const step = e.key === "PageDown" ? page : -page;
        const to = Math.max(1, Math.min(MAX_ROWS, (e.shiftKey ? this.corner.row : row) + step));
        const from = e.shiftKey ? this.corner.row : row;
        this.scroller.scrollTop += this.layout.rowTop(to) - this.layout.rowTop(from);
        if (e.shiftKey) this.extend(this.corner.row + step, this.corner.col);
        else this.select(row + step, col);
        return;
      }
      case "F2":
        e.preventDefault();
        this.editExisting();
        return;
      case "Delete":
      case "Backspace":
        e.preventDefault();
        this.onClear(this.box());
        return;
      case "Escape":
        // Collapses a selection to its active cell.
        this.select(row, col);
        return;
    }
    if (ctrl && !e.altKey) {
      const k = e.key.toLowerCase();
      // Keys pressed after an undo act where it puts the cursor: they are
      // kept until quillo has answered it.
      if (k === "z" && !e.shiftKey) this.hold("Ctrl+Z has not finished", () => this.onUndo(), () => {});
      else if (k === "y" || (k === "z" && e.shiftKey)) this.hold("Ctrl+Y has not finished", () => this.onRedo(), () => {});
      else if (k === "a") this.selectBox(1, 1, Math.max(1, this.used.rows), Math.max(1, this.used.cols));
      else return; // Ctrl+C and Ctrl+V arrive as copy and paste events
      e.preventDefault();
      return;
    }
    // A character typed on a cell replaces its content.
    if (e.key.length === 1 && !e.altKey) {
      e.preventDefault();
      this.beginEdit(e.key, "enter");
    }
  }

  // Ctrl+arrow: the cursor (Shift: the selection's corner) goes to the
  // edge quillo's cells give; a Ctrl+arrow pressed before it lands is kept
  // with the other keys, so it goes on from there.
  private jump(dr: number, dc: number, extend: boolean): void {
    const from = extend ? this.corner : this.selected;
    this.hold(
      `the cursor could not move from ${columnName(from.col)}${from.row}`,
      () => this.edge(from, dr, dc),
      (to) => (extend ? this.extend(to.row, to.col) : this.select(to.row, to.col)),
    );
  }

  // Ctrl+arrow: the end of the run of filled cells the cursor is in, or the
  // next filled cell, or the sheet's edge, as in the peers. The cells
  // looked at come from quillo, since most of them are not drawn.
  private async edge(from: Cell, dr: number, dc: number): Promise<Cell> {
    const step = dr + dc;
    const limit = step > 0 ? (dr ? MAX_ROWS : MAX_COLS) : 1;
    const pos = dr ? from.row : from.col;
    if (pos === limit) return from;
    // Beyond the used range nothing is filled: only the used part is asked for.
    const usedEnd = dr ? this.used.rows : this.used.cols;
    const lo = step > 0 ? pos : 1;
    const hi = Math.min(step > 0 ? limit : pos, usedEnd);
    const filled =
      hi >= lo
        ? await this.onFilled(dr ? { r1: lo, c1: from.col, r2: hi, c2: from.col } : { r1: from.row, c1: lo, r2: from.row, c2: hi })
        : new Set<string>();
    const at = (p: number) => p >= 1 && p <= usedEnd && filled.has(dr ? `${p},${from.col}` : `${from.row},${p}`);
    let p = pos;
    if (at(p) && at(p + step)) {
      while (at(p + step)) p += step;
    } else if (step > 0) {
      p += 1;
      while (p <= usedEnd && !at(p)) p += 1;
      if (p > usedEnd) p = limit;
    } else {
      p = Math.min(p - 1, usedEnd);
      while (p >= 1 && !at(p)) p -= 1;
      if (p < 1) p = 1;
    }
    return dr ? { row: p, col: from.col } : { row: from.row, col: p };
  }

  // Edits the active cell's text in place (F2, double click).
  private editExisting(): void {
    const { row, col } = this.selected;
    this.hold(
      `${columnName(col)}${row} could not be edited`,
      () => this.onEditText(row, col),
      (text) => {
        if (!this.editing) this.beginEdit(text, "edit");
      },
    );
  }

  // Asks quillo, and keeps the keys pressed on the grid until the answer
  // has acted (`then`); they are then handled in order. The wait ends
  // without acting, the kept keys dropped and the page told (what: the
  // action that did not happen), when the asking fails, when no answer
  // came in WAIT_LIMIT_MS (quillo hung: the keys must not wait forever;
  // a late answer is dropped), and when the user chooses a cell meanwhile
  // (a click, the name box): the keys pressed before were meant for the
  // cell the answer would have given, so they are not applied at the cell
  // chosen, where they would write what was never typed there; keys
  // pressed after the click act at once at the cell clicked.
  private hold<T>(what: string, ask: () => Promise<T>, then: (answer: T) => void): void {
    const id = ++this.waits;
    const timer = window.setTimeout(
      () => this.giveUp(id, `${what}: quillo has not answered in ${WAIT_LIMIT_MS / 1000} seconds`),
      WAIT_LIMIT_MS,
    );
    this.wait = { id, from: this.selection(), timer };
    ask().then(
      (answer) => {
        if (this.wait?.id !== id) return;
        this.endWait();
        then(answer);
        this.handleKept();
      },
      (e) => this.giveUp(id, `${what}: ${e instanceof Error ? e.message : String(e)}`),
    );
  }

  private endWait(): void {
    if (this.wait) clearTimeout(this.wait.timer);
    this.wait = null;
  }

  // Whether the grid acts on a key (one that would do nothing is not kept).
  private acts(e: Key): boolean {
    if (e.altKey) return false;
    if (GRID_KEYS.has(e.key)) return true;
    if (e.ctrlKey || e.metaKey) return ["z", "y", "a"].includes(e.key.toLowerCase());
    return e.key.length === 1;
  }

  private keep(k: Kept): void {
    if (this.kept.length < MAX_KEPT) this.kept.push(k);
    else this.beyond++;
  }

  // Ends a wait unanswered: the kept keys are dropped and the page says
  // so (quiet: only when some were).
  private giveUp(id: number, why: string, quiet = false): void {
    if (this.wait?.id !== id) return;
    this.endWait();
    const dropped = this.kept.length + this.beyond;
    this.kept = [];
    this.beyond = 0;
    this.leftTo = null;
    if (dropped || !quiet) this.onAnswerLost(why, dropped);
    for (const done of this.idlers.splice(0)) done();
  }

  // Another cell chosen while an answer is awaited ends the wait; the same
  // cell chosen again (the first click of a double click on the cell F2
  // waits for) is no other choice.
  private movedWhileWaiting(): void {
    if (!this.wait) return;
    const was = this.wait.from;
    const same = (a: Cell, b: Cell) => a.row === b.row && a.col === b.col;
    if (!same(was.anchor, this.anchor) || !same(was.corner, this.corner)) this.giveUp(this.wait.id, "another cell was chosen", true);
  }

  // What the open editor cannot do faithfully with a kept key: undo and
  // redo (the browser's own history of the text began after them), cut and
  // copy (the clipboard can no longer be written as the key asked, and a
  // paste kept after would paste the old one). Its name, or null.
  private notForEditor(k: Kept): string | null {
    if ("copy" in k) return "Ctrl+C";
    if ("cut" in k) return "Ctrl+X";
    if (!("key" in k) || !(k.key.ctrlKey || k.key.metaKey)) return null;
    const key = k.key.key.toLowerCase();
    return key === "z" || key === "y" ? `Ctrl+${key.toUpperCase()}` : null;
  }

  // The kept keys, in order, until one of them (F2, a Ctrl+arrow, Ctrl+Z)
  // waits again. One the open editor cannot apply stops them: the editor
  // stays open with its text as it stands, and that key and the rest are
  // dropped, the page told how many.
  private handleKept(): void {
    while (this.kept.length && !this.wait) {
      const k = this.kept.shift()!;
      const refused = this.editing ? this.notForEditor(k) : null;
      if (refused) {
        const dropped = this.kept.length + 1 + this.beyond;
        this.kept = [];
        this.beyond = 0;
        this.leftTo = null;
        const at = `${columnName(this.editAt.col)}${this.editAt.row}`;
        this.onAnswerLost(`${refused} could not be applied to the text of ${at}, which came after it; its edit is open as it stands`, dropped);
        break;
      }
      if ("cut" in k) continue;
      if ("paste" in k) {
        if (this.editing) this.typeInEditor(k.paste.replace(/[\r\n]/g, ""));
        else this.pasteText(k.paste);
      } else if ("copy" in k) {
        this.copyLater();
      } else if (!this.editing) {
        this.key(k.key);
      } else if (!this.editorKey(k.key)) {
        this.editorAct(k.key);
      }
    }
    if (this.wait) return;
    if (this.beyond) this.onAnswerLost(`more than ${MAX_KEPT} keys were pressed while quillo was asked`, this.beyond);
    this.beyond = 0;
    const to = this.leftTo;
    this.leftTo = null;
    const at = document.activeElement;
    if (to?.isConnected && (at === this.scroller || at === this.editor)) to.focus();
    for (const done of this.idlers.splice(0)) done();
  }

  // Resolves once no answer is awaited and the keys kept meanwhile are
  // handled: what the user typed before (an edit after F2) comes first.
  idle(): Promise<void> {
    return this.wait ? new Promise((done) => this.idlers.push(done)) : Promise.resolve();
  }

  // A kept key in the open editor, as the editor would have taken it:
  // characters at the caret, Backspace and Delete, and the caret's moves.
  private editorAct(k: Key): void {
    const e = this.editor;
    const n = e.value.length;
    const s = e.selectionStart ?? n;
    const t = e.selectionEnd ?? n;
    const ctrl = k.ctrlKey || k.metaKey;
    if (ctrl && k.key.toLowerCase() === "a") {
      e.setSelectionRange(0, n);
      return;
    }
    if (ctrl || k.altKey) return;
    if (k.key.length === 1) return this.typeInEditor(k.key);
    if (k.key === "Backspace" || k.key === "Delete") {
      if (s !== t) e.setRangeText("", s, t, "end");
      else if (k.key === "Backspace" && s > 0) e.setRangeText("", s - 1, s, "end");
      else if (k.key === "Delete" && t < n) e.setRangeText("", t, t + 1, "end");
      this.onEditInput(e.value);
      return;
    }
    // The caret's moves; with Shift the selection's moving end.
    const back = e.selectionDirection === "backward";
    const head = back ? s : t;
    const tail = back ? t : s;
    const moves: Record<string, number> = {
      ArrowLeft: !k.shiftKey && s !== t ? s : head - 1,
      ArrowRight: !k.shiftKey && s !== t ? t : head + 1,
      ArrowUp: 0,
      Home: 0,
      ArrowDown: n,
      End: n,
    };
    if (!(k.key in moves)) return;
    const p = Math.max(0, Math.min(n, moves[k.key]));
    if (k.shiftKey) e.setSelectionRange(Math.min(tail, p), Math.max(tail, p), p < tail ? "backward" : "forward");
    else e.setSelectionRange(p, p);
  }

  private typeInEditor(text: string): void {
    const e = this.editor;
    e.setRangeText(text, e.selectionStart ?? e.value.length, e.selectionEnd ?? e.value.length, "end");
    this.onEditInput(e.value);
  }

  beginEdit(text: string, mode: EditMode): void {
    const { row, col } = this.selected;
    this.editAt = { row, col };
    this.editMode = mode;
    const e = this.editor;
    // Over the cell (a merged area's whole box); a frozen cell stays where
    // its layer shows it, the scroll added.
    const L = this.layout;
    const m = L.merge(row, col);
    const s = this.scroller;
    const top = L.rowTop(row) + (row <= L.frozenRows ? s.scrollTop : 0);
    const left = L.colLeft(col) + (col <= L.frozenCols ? s.scrollLeft : 0);
    const width = `${L.colLeft((m ? m.c2 : col) + 1) - L.colLeft(col)}px`;
    e.style.top = `${top}px`;
    e.style.left = `${left}px`;
    e.style.width = width;
    e.style.minWidth = width;
    e.style.height = `${L.rowTop((m ? m.r2 : row) + 1) - L.rowTop(row)}px`;
    e.value = text;
    this.editFrom = text;
    e.hidden = false;
    e.focus({ preventScroll: true });
    e.setSelectionRange(text.length, text.length);
    this.onEditInput(text);
  }

  // Enter, Tab, Escape and (typing over a cell) the arrows end the edit;
  // false for a key the editor itself handles.
  private editorKey(e: Key): boolean {
    const moves: Record<string, [number, number]> = {
      Enter: [1, 0],
      Tab: [0, 1],
      ArrowUp: [-1, 0],
      ArrowDown: [1, 0],
      ArrowLeft: [0, -1],
      ArrowRight: [0, 1],
    };
    // The browser keeps one undo history for the whole page: Ctrl+Z (or
    // Ctrl+Y) in a cell's text that holds no typing of its own would undo
    // the typing of another box (the name box) and take the focus there.
    // Only what was typed since the edit began is undone here.
    const k = e.key.toLowerCase();
    if ((e.ctrlKey || e.metaKey) && (k === "z" || k === "y") && this.editor.value === this.editFrom) {
      e.preventDefault();
      return true;
    }
    if (e.key === "Escape") {
      e.preventDefault();
      this.editMode = null;
      this.editor.hidden = true;
      this.focus();
      this.onCancel();
      return true;
    }
    const m = moves[e.key];
    if (!m || (e.key.startsWith("Arrow") && this.editMode !== "enter")) return false;
    e.preventDefault();
    const back = e.shiftKey && (e.key === "Enter" || e.key === "Tab") ? -1 : 1;
    this.finishEdit(m[0] * back, m[1] * back, true);
    return true;
  }

  // Ends the edit in place: the text goes to quillo and the cursor moves
  // by (dr, dc).
  private async finishEdit(dr: number, dc: number, refocus: boolean): Promise<void> {
    if (!this.editMode) return;
    const at = this.editAt;
    const text = this.editor.value;
    this.editMode = null;
    if (refocus) this.focus();
    this.editor.hidden = true;
    // The cursor moves at once, as in the peers, so that typing on goes to
    // the next cell; a refusal names the cell it was for.
    if (dr !== 0 || dc !== 0) this.advance(dr, dc);
    await this.onCommit(at.row, at.col, text);
  }

  // Enter and Tab (Shift: backwards): the next cell of a selection of
  // several cells, down the columns or along the rows and round again, as
  // in the peers; otherwise the cell beside.
  advance(dr: number, dc: number): void {
    const b = this.box();
    let { row, col } = this.selected;
    if ((b.r1 === b.r2 && b.c1 === b.c2) || !(dr === 0 || dc === 0) || Math.abs(dr + dc) !== 1) {
      const to = Math.abs(dr) + Math.abs(dc) === 1 ? this.beside(this.selected, dr, dc) : { row: row + dr, col: col + dc };
      this.select(to.row, to.col);
      return;
    }
    const wrap = (v: number, lo: number, hi: number) => (v > hi ? lo : v < lo ? hi : v);
    if (dr) {
      row += dr;
      if (row > b.r2 || row < b.r1) col = wrap(col + dr, b.c1, b.c2);
      row = wrap(row, b.r1, b.r2);
    } else {
      col += dc;
      if (col > b.c2 || col < b.c1) row = wrap(row + dc, b.r1, b.r2);
      col = wrap(col, b.c1, b.c2);
    }
    this.selected = { row, col };
    this.reveal(this.selected);
    this.draw(false);
    this.paintSelection();
    this.movedWhileWaiting();
    this.onSelect(row, col);
  }

  // Ctrl+C: the selection as tab-separated text of the values shown.
  private copy(e: ClipboardEvent): void {
    if (document.activeElement !== this.scroller || !e.clipboardData) return;
    e.preventDefault();
    if (this.wait) return this.keep({ copy: true });
    const rows = this.shownRows();
    if (rows) e.clipboardData.setData("text/plain", toTsv(rows));
    else this.copyLater();
  }

  // The selection's texts as the cells hold them, row by row, when all of
  // them are at hand.
  private shownRows(): string[][] | null {
    const b = this.box();
    const k = this.known;
    if (b.r1 < k.r1 || b.r2 > k.r2 || b.c1 < k.c1 || b.c2 > k.c2) return null;
    const rows: string[][] = [];
    for (let r = b.r1; r <= b.r2; r++) {
      const row: string[] = [];
      for (let c = b.c1; c <= b.c2; c++) row.push(unshown(this.shown(r, c)?.text ?? ""));
      rows.push(row);
    }
    return rows;
  }

  // A copy made after its event (cells not at hand are asked for first,
  // a copy kept while an answer was awaited): written to the clipboard.
  private copyLater(): void {
    const write = (text: string) => navigator.clipboard.writeText(text).catch(() => {});
    const rows = this.shownRows();
    if (rows) write(toTsv(rows));
    else this.onCopyFar(this.box()).then((far) => far && write(toTsv(far.map((r) => r.map(unshown)))));
  }

  // Ctrl+V: tab-separated text from this page or another spreadsheet.
  private paste(e: ClipboardEvent): void {
    if (document.activeElement !== this.scroller || !e.clipboardData) return;
    e.preventDefault();
    const text = e.clipboardData.getData("text/plain");
    if (this.wait) this.keep({ paste: text });
    else this.pasteText(text);
  }

  private pasteText(text: string): void {
    const rows = fromTsv(text);
    if (rows.length === 0) return;
    const h = rows.length;
    const w = Math.max(...rows.map((r) => r.length));
    const b = this.box();
    const bh = b.r2 - b.r1 + 1;
    const bw = b.c2 - b.c1 + 1;
    // A selection that holds the copied block a whole number of times is
    // filled with it repeated; any other gets it once at its top left.
    const tile = bh % h === 0 && bw % w === 0;
    // The box may reach past the sheet's edge: the page refuses such a paste whole.
    const at = tile ? b : { r1: b.r1, c1: b.c1, r2: b.r1 + h - 1, c2: b.c1 + w - 1 };
    this.onPaste(at, rows);
    this.selectBox(at.r1, at.c1, at.r2, at.c2);
  }

  private schedule(): void {
    if (this.frame) return;
    this.frame = requestAnimationFrame(() => {
      this.frame = 0;
      const s = this.scroller;
      // Near the end of the rows or columns, more come into reach.
      if (s.scrollTop + 2 * s.clientHeight > this.layout.rowTop(this.rows + 1)) this.grow(this.rows + ROOM_ROWS, this.cols);
      if (s.scrollLeft + 2 * s.clientWidth > this.layout.colLeft(this.cols + 1)) this.grow(this.rows, this.cols + ROOM_COLS);
      this.draw(false);
    });
  }

  // A drawn cell's text and kind, and whether it is selected.
  private paint(el: HTMLElement, r: number, c: number): void {
    const shown = this.cells.get(`${r},${c}`);
    el.className = shown ? `cell ${shown.kind}` : "cell";
    el.textContent = shown ? shown.text : "";
    if (shown) el.title = shown.text;
    else el.removeAttribute("title");
    el.removeAttribute("style");
    this.layout.dress(el, r, c, shown?.text ?? "", shown?.kind ?? "", (row, col) => !this.cells.has(`${row},${col}`));
    const b = this.box();
    if (r >= b.r1 && r <= b.r2 && c >= b.c1 && c <= b.c2 && (b.r1 !== b.r2 || b.c1 !== b.c2)) el.classList.add("in-range");
    if (r === this.selected.row && c === this.selected.col) el.classList.add("selected");
  }

  // Marks the selection on the drawn cells, touching only those that change.
  private paintSelection(): void {
    const b = this.box();
    const now = new Set<string>();
    const single = b.r1 === b.r2 && b.c1 === b.c2;
    if (!single) {
      for (const key of this.elements.keys()) {
        const [r, c] = key.split(",").map(Number);
        if (r >= b.r1 && r <= b.r2 && c >= b.c1 && c <= b.c2) now.add(key);
      }
    }
    for (const key of this.painted) {
      if (!now.has(key)) this.elements.get(key)?.classList.remove("in-range");
    }
    for (const key of now) {
      if (!this.painted.has(key)) this.elements.get(key)?.classList.add("in-range");
    }
    this.painted = now;
    for (const el of this.scroller.querySelectorAll(".cell.selected")) el.classList.remove("selected");
    this.elements.get(`${this.selected.row},${this.selected.col}`)?.classList.add("selected");
  }

  private draw(force: boolean): void {
    const w = this.visible();
    const same = w.r1 === this.drawn.r1 && w.c1 === this.drawn.c1 && w.r2 === this.drawn.r2 && w.c2 === this.drawn.c2;
    const top = this.scroller.scrollTop;
    const left = this.scroller.scrollLeft;
    this.colHeads.style.transform = `translateY(${top}px)`;
    this.rowHeads.style.transform = `translateX(${left}px)`;
    this.headCorner.style.transform = `translate(${left}px, ${top}px)`;
    this.layout.scrolled(top, left);
    if (same && !force) return;
    this.drawn = w;
    this.elements.clear();
    const cells = document.createDocumentFragment();
    for (let r = w.r1; r <= w.r2; r++) {
      for (let c = w.c1; c <= w.c2; c++) {
        const at = this.layout.anchor(r, c, w);
        if (at) cells.append(this.cellElement(at[0], at[1]));
      }
    }
    this.layer.replaceChildren(cells);
    // Frozen cells come last: the ones shown over those scrolled beneath.
    this.layout.drawFrozen(w, (r, c) => this.cellElement(r, c));
    this.painted.clear();
    this.paintSelection();
    const cols = document.createDocumentFragment();
    for (let c = w.c1; c <= w.c2; c++) {
      const el = document.createElement("div");
      el.className = "head col";
      el.textContent = columnName(c);
      this.layout.dressHead(el, c);
      cols.append(el);
    }
    this.colHeads.replaceChildren(cols);
    const rows = document.createDocumentFragment();
    for (let r = w.r1; r <= w.r2; r++) {
      const el = document.createElement("div");
      el.className = "head row";
      el.textContent = String(r);
      this.layout.dressRowHead(el, r);
      rows.append(el);
    }
    this.rowHeads.replaceChildren(rows);
    if (!same) this.onWindow(w);
  }

  // A cell's element, made once: painted (text, kind, selection) and
  // dressed by the layout (place, size, look, running text).
  private cellElement(r: number, c: number): HTMLElement {
    const el = document.createElement("div");
    el.dataset.row = String(r);
    el.dataset.col = String(c);
    el.dataset.address = `${columnName(c)}${r}`;
    this.paint(el, r, c);
    this.elements.set(`${r},${c}`, el);
    return el;
  }
}

// A cell's text as quillo sends it to be shown on one line, its tabs, line
// breaks and backslashes written \t, \r, \n and \\, back as the cell holds it.
export function unshown(text: string): string {
  return text.replace(/\\([tnr\\])/g, (_, c: string) => (c === "t" ? "\t" : c === "n" ? "\n" : c === "r" ? "\r" : "\\"));
}

// Rows of cells as the peers put them on the clipboard: cells split by
// tabs, rows by line ends; a cell holding a tab, a line end or a quote is
// quoted, its quotes doubled.
export function toTsv(rows: string[][]): string {
  const cell = (t: string) => (/[\t\r\n"]/.test(t) ? `"${t.replaceAll('"', '""')}"` : t);
  return rows.map((r) => r.map(cell).join("\t")).join("\r\n") + "\r\n";
}

// Where the cell starting at `from` ends: its tab or line end, or the text's end.
function nextStop(text: string, from: number): number {
  const stops = /[\t\r\n]/g;
  stops.lastIndex = from;
  return stops.exec(text)?.index ?? text.length;
}

export function fromTsv(text: string): string[][] {
  const rows: string[][] = [];
  let row: string[] = [];
  let i = 0;
  while (i < text.length) {
    let cell = "";
    if (text[i] === '"') {
      // A quoted cell runs to the quote not doubled.
      let j = i + 1;
      for (;;) {
        const q = text.indexOf('"', j);
        if (q < 0) {
          cell = text.slice(i);
          j = text.length;
          break;
        }
        if (text[q + 1] === '"') {
          cell += text.slice(j, q + 1);
          j = q + 2;
          continue;
        }
        cell += text.slice(j, q);
        j = q + 1;
        break;
      }
      // Text after the closing quote belongs to the cell as it stands.
      const stop = nextStop(text, j);
      if (stop > j) cell = text.slice(i, stop);
      i = stop;
    } else {
      const stop = nextStop(text, i);
      cell = text.slice(i, stop);
      i = stop;
    }
    row.push(cell);
    if (i >= text.length) break;
    if (text[i] === "\t") {
      i++;
      if (i >= text.length) row.push("");
      continue;
    }
    // A line end: \r\n, \n or \r.
    i += text[i] === "\r" && text[i + 1] === "\n" ? 2 : 1;
    rows.push(row);
    row = [];
  }
  if (row.length) rows.push(row);
  return rows;
}
