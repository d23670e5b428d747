// The grid: draws only the cells in view (plus a margin), so a sheet of a
// hundred thousand rows scrolls as lightly as one of ten. Cell texts are
// set as text, never as HTML.

import type { CellEntry } from "./api";

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
  }

  // A new sheet: nothing known of its cells yet.
  reset(rows: number, cols: number): void {
    this.cells.clear();
    this.rows = Math.max(rows + 100, 200);
    this.cols = Math.max(cols + 10, 26);
    this.spacer.style.width = `${HEAD_W + this.cols * COL_W}px`;
    this.spacer.style.height = `${ROW_H + this.rows * ROW_H}px`;
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
    const r1 = Math.max(1, Math.floor(top / ROW_H) + 1 - MARGIN);
    const c1 = Math.max(1, Math.floor(left / COL_W) + 1 - MARGIN);
    const r2 = Math.min(this.rows, Math.ceil((top + h) / ROW_H) + MARGIN);
    const c2 = Math.min(this.cols, Math.ceil((left + w) / COL_W) + MARGIN);
    return { r1, c1, r2, c2 };
  }

  private reveal(): void {
    const { row, col } = this.selected;
    const top = ROW_H + (row - 1) * ROW_H;
    const left = HEAD_W + (col - 1) * COL_W;
    const s = this.scroller;
    if (top - ROW_H < s.scrollTop) s.scrollTop = top - ROW_H;
    else if (top + ROW_H > s.scrollTop + s.clientHeight) s.scrollTop = top + ROW_H - s.clientHeight;
    if (left - HEAD_W < s.scrollLeft) s.scrollLeft = left - HEAD_W;
    else if (left + COL_W > s.scrollLeft + s.clientWidth) s.scrollLeft = left + COL_W - s.clientWidth;
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
    if (same && !force) return;
    this.drawn = w;
    const cells = document.createDocumentFragment();
    for (let r = w.r1; r <= w.r2; r++) {
      for (let c = w.c1; c <= w.c2; c++) {
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
        el.style.top = `${ROW_H + (r - 1) * ROW_H}px`;
        el.style.left = `${HEAD_W + (c - 1) * COL_W}px`;
        cells.append(el);
      }
    }
    this.layer.replaceChildren(cells);
    const cols = document.createDocumentFragment();
    for (let c = w.c1; c <= w.c2; c++) {
      const el = document.createElement("div");
      el.className = "head col";
      el.textContent = columnName(c);
      el.style.left = `${HEAD_W + (c - 1) * COL_W}px`;
      cols.append(el);
    }
    this.colHeads.replaceChildren(cols);
    const rows = document.createDocumentFragment();
    for (let r = w.r1; r <= w.r2; r++) {
      const el = document.createElement("div");
      el.className = "head row";
      el.textContent = String(r);
      el.style.top = `${ROW_H + (r - 1) * ROW_H}px`;
      rows.append(el);
    }
    this.rowHeads.replaceChildren(rows);
    if (!same) this.onWindow(w);
  }
}
