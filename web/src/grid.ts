// The grid: draws only the cells in view (plus a margin), so a sheet of a
// hundred thousand rows scrolls as lightly as one of ten. Cell texts are
// set as text, never as HTML.

import type { CellEntry } from "./api";
import { Layout } from "./layout";

export const ROW_H = 22;
export const COL_W = 96;
export const HEAD_W = 52;
const MARGIN = 4; // rows and columns drawn beyond the visible ones

export interface Window {
  r1: number;
  c1: number;
  r2: number;
  c2: number;
}

export function columnName(col: number): string {
  let s = "";
  for (let c = col; c > 0; c = Math.floor((c - 1) / 26)) s = String.fromCharCode(65 + ((c - 1) % 26)) + s;
  return s;
}

export interface Shown {
  text: string;
  kind: string;
}

export class Grid {
  rows = 200;
  cols = 26;
  selected = { row: 1, col: 1 };
  onSelect: (row: number, col: number) => void = () => {};
  onWindow: (w: Window) => void = () => {};
  // Where cells go and how they look (layout.ts).
  readonly layout = new Layout();
  private cells = new Map<string, Shown>();
  private drawn: Window = { r1: 0, c1: 0, r2: -1, c2: -1 };
  private frame = 0;

  constructor(
    private scroller: HTMLElement,
    private spacer: HTMLElement,
    private layer: HTMLElement,
    private colHeads: HTMLElement,
    private rowHeads: HTMLElement,
    private corner: HTMLElement,
  ) {
    scroller.addEventListener("scroll", () => this.schedule());
    window.addEventListener("resize", () => this.schedule());
    layer.addEventListener("mousedown", (e) => {
      const target = (e.target as HTMLElement).closest<HTMLElement>(".cell");
      if (!target) return;
      this.select(Number(target.dataset.row), Number(target.dataset.col));
    });
    scroller.addEventListener("keydown", (e) => this.key(e));
    this.layout.mount(scroller, colHeads, (row, col) => this.select(row, col));
    this.layout.columnTexts = (col) =>
      [...this.cells.entries()].filter(([key]) => key.endsWith(`,${col}`)).map(([, v]) => v.text);
  }

  // The layout changed (a sheet's sizes arrived, a column was resized).
  relayout(): void {
    this.spacer.style.width = `${this.layout.colLeft(this.cols + 1)}px`;
    this.spacer.style.height = `${this.layout.rowTop(this.rows + 1)}px`;
    this.draw(true);
  }

  // A new sheet: nothing known of its cells yet.
  reset(rows: number, cols: number): void {
    this.cells.clear();
    this.layout.clearWindow();
    this.rows = Math.max(rows + 100, 200);
    this.cols = Math.max(cols + 10, 26);
    this.spacer.style.width = `${this.layout.colLeft(this.cols + 1)}px`;
    this.spacer.style.height = `${this.layout.rowTop(this.rows + 1)}px`;
    this.drawn = { r1: 0, c1: 0, r2: -1, c2: -1 };
    this.scroller.scrollTo(0, 0);
    this.selected = { row: 1, col: 1 };
    this.schedule();
  }

  // Cells of the window just asked for: every cell of it not listed is empty.
  fill(w: Window, entries: CellEntry[]): void {
    for (const key of [...this.cells.keys()]) {
      const [r, c] = key.split(",").map(Number);
      if (r >= w.r1 && r <= w.r2 && c >= w.c1 && c <= w.c2) this.cells.delete(key);
    }
    this.update(entries);
  }

  // Cells that changed.
  update(entries: CellEntry[]): void {
    for (const [r, c, text, kind] of entries) {
      if (text === "") this.cells.delete(`${r},${c}`);
      else this.cells.set(`${r},${c}`, { text, kind });
    }
    this.draw(true);
  }

  shown(row: number, col: number): Shown | undefined {
    return this.cells.get(`${row},${col}`);
  }

  select(row: number, col: number): void {
    this.selected = { row: Math.max(1, Math.min(row, this.rows)), col: Math.max(1, Math.min(col, this.cols)) };
    this.reveal();
    this.draw(true);
    this.onSelect(this.selected.row, this.selected.col);
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

  private reveal(): void {
    const { row, col } = this.selected;
    const L = this.layout;
    const top = L.rowTop(row);
    const left = L.colLeft(col);
    const height = L.rows.size(row);
    const width = L.cols.size(col);
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

  private key(e: KeyboardEvent): void {
    const moves: Record<string, [number, number]> = {
      ArrowUp: [-1, 0],
      ArrowDown: [1, 0],
      ArrowLeft: [0, -1],
      ArrowRight: [0, 1],
      Tab: [0, 1],
      Enter: [1, 0],
    };
    const m = moves[e.key];
    if (!m) return;
    e.preventDefault();
    this.select(this.selected.row + m[0], this.selected.col + m[1]);
  }

  private schedule(): void {
    if (this.frame) return;
    this.frame = requestAnimationFrame(() => {
      this.frame = 0;
      this.draw(false);
    });
  }

  private draw(force: boolean): void {
    const w = this.visible();
    const same = w.r1 === this.drawn.r1 && w.c1 === this.drawn.c1 && w.r2 === this.drawn.r2 && w.c2 === this.drawn.c2;
    const top = this.scroller.scrollTop;
    const left = this.scroller.scrollLeft;
    this.colHeads.style.transform = `translateY(${top}px)`;
    this.rowHeads.style.transform = `translateX(${left}px)`;
    this.corner.style.transform = `translate(${left}px, ${top}px)`;
    this.layout.scrolled(top, left);
    if (same && !force) return;
    this.drawn = w;
    const cells = document.createDocumentFragment();
    for (let r = w.r1; r <= w.r2; r++) {
      for (let c = w.c1; c <= w.c2; c++) {
        const at = this.layout.anchor(r, c, w);
        if (at) cells.append(this.cellElement(at[0], at[1]));
      }
    }
    this.layer.replaceChildren(cells);
    this.layout.drawFrozen(w, (r, c) => this.cellElement(r, c));
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

  private cellElement(r: number, c: number): HTMLElement {
    const el = document.createElement("div");
    const shown = this.cells.get(`${r},${c}`);
    el.className = "cell";
    if (shown) {
      el.classList.add(shown.kind);
      el.textContent = shown.text;
      el.title = shown.text;
    }
    if (r === this.selected.row && c === this.selected.col) el.classList.add("selected");
    el.dataset.row = String(r);
    el.dataset.col = String(c);
    el.dataset.address = `${columnName(c)}${r}`;
    this.layout.dress(el, r, c, shown?.text ?? "", shown?.kind ?? "", (row, col) => !this.cells.has(`${row},${col}`));
    return el;
  }
}
