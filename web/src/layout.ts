// The file's layout in the grid: column widths and row heights, the looks
// of styled cells (fonts, fills, alignment, wrap), merged areas, frozen
// panes, text running into empty neighbours, and columns resized by
// dragging a header's edge. The grid asks here where each cell goes and
// hands each cell element over to be dressed; nothing here fetches.

// The server's description of a sheet (ui_layout.h): widths in characters
// of the default font, heights in points, as files give them.
export interface SheetLayoutInfo {
  width: number;
  height: number;
  cols: [number, number, number, number][];
  rows: [number, number, number][];
  frozen: [number, number];
}

export interface Look {
  b?: 1;
  i?: 1;
  u?: 1;
  wrap?: 1;
  size?: number;
  color?: string;
  fill?: string;
  align?: "left" | "center" | "right";
}

// What lies in a window of the sheet: styled cells as runs of a row,
// the looks they use, merged areas.
export interface WindowLook {
  runs: [number, number, number, number][];
  looks: Record<string, Look>;
  merges: [number, number, number, number][];
}

export const HEAD_W = 52; // the row heads' width
export const HEAD_H = 22; // the column heads' height
const CHAR_PX = 7; // one character of a file's widths: a digit of the default font
const PT_PX = 96 / 72;
const DEFAULT_COL_PX = 64;
const DEFAULT_ROW_PX = 20;
const FONT_PX = 13;
// No digit, sign or point of the default font is wider: a number this
// wide fits without measuring it.
const WIDEST_DIGIT_PX = 9;
const MIN_COL_PX = 8;
const MAX_OVERFLOW_COLS = 32;

export const charsToPx = (chars: number): number => Math.round(chars * CHAR_PX);
export const pxToChars = (px: number): number => Math.round((px / CHAR_PX) * 100) / 100;

// Sizes along one axis: a default size and runs of items of other sizes,
// with the offsets before each run summed once, so an item's offset and
// the item at an offset are binary searches however long the sheet.
export class Axis {
  private runs: { a: number; b: number; size: number; before: number }[] = [];

  constructor(
    readonly def: number,
    runs: [number, number, number][] = [],
  ) {
    let extra = 0;
    for (const [a, b, size] of runs) {
      if (b < a || (this.runs.length && a <= this.runs[this.runs.length - 1].b)) continue;
      this.runs.push({ a, b, size, before: extra });
      extra += (b - a + 1) * (size - def);
    }
  }

  // The last run starting at or before item i, or -1.
  private runAt(i: number): number {
    let lo = 0;
    let hi = this.runs.length - 1;
    let found = -1;
    while (lo <= hi) {
      const mid = (lo + hi) >> 1;
      if (this.runs[mid].a <= i) {
        found = mid;
        lo = mid + 1;
      } else hi = mid - 1;
    }
    return found;
  }

  size(i: number): number {
    const k = this.runAt(i);
    return k >= 0 && i <= this.runs[k].b ? this.runs[k].size : this.def;
  }

  // Where item i starts, from the start of item 1.
  start(i: number): number {
    const k = this.runAt(i - 1);
    let at = (i - 1) * this.def;
    if (k >= 0) {
      const r = this.runs[k];
      at += r.before + (Math.min(i - 1, r.b) - r.a + 1) * (r.size - this.def);
    }
    return at;
  }

  // The item at an offset (from the start of item 1), within 1..last.
  at(offset: number, last: number): number {
    let lo = 1;
    let hi = last;
    while (lo < hi) {
      const mid = (lo + hi + 1) >> 1;
      if (this.start(mid) <= offset) lo = mid;
      else hi = mid - 1;
    }
    return lo;
  }
}

interface Box {
  r1: number;
  c1: number;
  r2: number;
  c2: number;
}

let measurer: CanvasRenderingContext2D | null = null;
function textWidth(text: string, font: string): number {
  measurer ??= document.createElement("canvas").getContext("2d");
  if (!measurer) return text.length * CHAR_PX;
  measurer.font = font;
  return measurer.measureText(text).width;
}

export class Layout {
  cols = new Axis(DEFAULT_COL_PX);
  rows = new Axis(DEFAULT_ROW_PX);
  frozenRows = 0;
  frozenCols = 0;
  // Told when a column's width changes (px); done: the drag ended.
  onWidth: (col: number, px: number, done: boolean) => void = () => {};
  // The shown texts of a column's cells the page holds, for fitting it.
  columnTexts: (col: number) => string[] = () => [];
  private colRuns: [number, number, number][] = [];
  private looks = new Map<number, Look>();
  private styled = new Map<string, number>(); // "row,col" -> look, for the window asked last
  private merges: Box[] = [];
  private frozenLayers: HTMLElement[] = [];

  // Gives the layers that hold frozen rows and columns (made here).
  mount(scroller: HTMLElement, colHeads: HTMLElement, pick: (row: number, col: number) => void): void {
    this.frozenLayers = ["frozen-rows", "frozen-cols", "frozen-corner"].map((id) => {
      const el = document.createElement("div");
      el.id = id;
      el.className = "frozen";
      el.addEventListener("mousedown", (e) => {
        const target = (e.target as HTMLElement).closest<HTMLElement>(".cell");
        if (target) pick(Number(target.dataset.row), Number(target.dataset.col));
      });
      scroller.append(el);
      return el;
    });
    this.resizing(colHeads);
  }

  // A sheet as the server describes it; null: one with no layout known yet.
  set(info: SheetLayoutInfo | null): void {
    const width = info && info.width > 0 ? charsToPx(info.width) : DEFAULT_COL_PX;
    const height = info && info.height > 0 ? Math.round(info.height * PT_PX) : DEFAULT_ROW_PX;
    // Later column entries win (widths set in this session come last).
    const byCol = new Map<number, number>();
    for (const [c1, c2, w, hidden] of info?.cols ?? []) {
      for (let c = c1; c <= c2; c++) byCol.set(c, hidden ? 0 : charsToPx(w));
    }
    this.colRuns = [...byCol.entries()].sort((a, b) => a[0] - b[0]).map(([c, px]) => [c, c, px]);
    this.cols = new Axis(width, this.colRuns);
    this.rows = new Axis(
      height,
      (info?.rows ?? []).map(([r1, r2, pt]) => [r1, r2, Math.round(pt * PT_PX)]),
    );
    [this.frozenRows, this.frozenCols] = info?.frozen ?? [0, 0];
    this.clearWindow();
  }

  // A new sheet's cells: no looks or merges known yet.
  clearWindow(): void {
    this.looks.clear();
    this.styled.clear();
    this.merges = [];
  }

  setWidth(col: number, px: number): void {
    this.colRuns = this.colRuns.filter(([c]) => c !== col);
    this.colRuns.push([col, col, px]);
    this.colRuns.sort((a, b) => a[0] - b[0]);
    this.cols = new Axis(this.cols.def, this.colRuns);
  }

  // The looks and merges of the window just asked for.
  fill(w: Box, look: WindowLook | undefined): void {
    if (!look) return;
    for (const key of [...this.styled.keys()]) {
      const [r, c] = key.split(",").map(Number);
      if (r >= w.r1 && r <= w.r2 && c >= w.c1 && c <= w.c2) this.styled.delete(key);
    }
    for (const [id, l] of Object.entries(look.looks)) this.looks.set(Number(id), l);
    for (const [r, c1, c2, id] of look.runs) for (let c = c1; c <= c2; c++) this.styled.set(`${r},${c}`, id);
    for (const [r1, c1, r2, c2] of look.merges) {
      if (!this.merges.some((m) => m.r1 === r1 && m.c1 === c1)) this.merges.push({ r1, c1, r2, c2 });
    }
  }

  colLeft(c: number): number {
    return HEAD_W + this.cols.start(c);
  }
  rowTop(r: number): number {
    return HEAD_H + this.rows.start(r);
  }
  colAt(x: number, last: number): number {
    return this.cols.at(x - HEAD_W, last);
  }
  rowAt(y: number, last: number): number {
    return this.rows.at(y - HEAD_H, last);
  }

  // The box grown until no merged area lies partly inside it (a selection
  // takes in the whole of every merged area it touches, as in the peers).
  cover(box: Box): Box {
    const b = { ...box };
    for (let grew = true; grew; ) {
      grew = false;
      for (const m of this.merges) {
        if (m.r1 > b.r2 || m.r2 < b.r1 || m.c1 > b.c2 || m.c2 < b.c1) continue;
        if (m.r1 < b.r1 || m.r2 > b.r2 || m.c1 < b.c1 || m.c2 > b.c2) {
          b.r1 = Math.min(b.r1, m.r1);
          b.r2 = Math.max(b.r2, m.r2);
          b.c1 = Math.min(b.c1, m.c1);
          b.c2 = Math.max(b.c2, m.c2);
          grew = true;
        }
      }
    }
    return b;
  }

  merge(row: number, col: number): Box | undefined {
    return this.merges.find((m) => row >= m.r1 && row <= m.r2 && col >= m.c1 && col <= m.c2);
  }

  // Which cell to draw at (row, col) of window w: the cell itself, the
  // top-left cell of a merged area at the first of its cells in the
  // window, or none for the area's other cells.
  anchor(row: number, col: number, w: Box): [number, number] | null {
    const m = this.merge(row, col);
    if (!m) return [row, col];
    return row === Math.max(m.r1, w.r1) && col === Math.max(m.c1, w.c1) ? [m.r1, m.c1] : null;
  }

  look(row: number, col: number): Look | undefined {
    const id = this.styled.get(`${row},${col}`);
    return id === undefined ? undefined : this.looks.get(id);
  }

  // Places and dresses a cell's element: its box (a merged area's whole
  // box), its look, and text running on over the empty cells to its right
  // (isEmpty tells), as the peers draw it; numbers never run over.
  dress(el: HTMLElement, row: number, col: number, text: string, kind: string, isEmpty: (r: number, c: number) => boolean): void {
    const m = this.merge(row, col);
    const r2 = m ? m.r2 : row;
    const c2 = m ? m.c2 : col;
    const top = this.rowTop(row);
    const left = this.colLeft(col);
    const height = this.rowTop(r2 + 1) - top;
    let width = this.colLeft(c2 + 1) - left;
    el.style.top = `${top}px`;
    el.style.left = `${left}px`;
    el.style.height = `${height}px`;
    el.style.lineHeight = `${Math.min(height, DEFAULT_ROW_PX)}px`;
    if (m) el.classList.add("merged");
    const look = this.look(row, col);
    if (look) {
      if (look.b) el.style.fontWeight = "bold";
      if (look.i) el.style.fontStyle = "italic";
      if (look.u) el.style.textDecoration = "underline";
      if (look.size) el.style.fontSize = `${Math.round(look.size * PT_PX)}px`;
      if (look.color) el.style.color = look.color;
      if (look.fill) el.style.background = look.fill;
      if (look.align) el.style.textAlign = look.align;
      if (look.wrap) el.classList.add("wrap");
    }
    // Text sits at the bottom of a tall cell, as in the peers.
    if (!look?.wrap && height > DEFAULT_ROW_PX) el.style.paddingTop = `${height - DEFAULT_ROW_PX}px`;
    const align = look?.align ?? (kind === "number" ? "right" : "left");
    // A number too wide for its cell is not cut (a cut number reads as
    // another): the cell shows #### across its width, as the peers do.
    if (text && kind === "number" && !look?.wrap && text.length * WIDEST_DIGIT_PX + 8 > width) {
      const size = look?.size ? Math.round(look.size * PT_PX) : FONT_PX;
      const font = `${look?.i ? "italic " : ""}${look?.b ? "bold " : ""}${size}px system-ui, sans-serif`;
      if (textWidth(text, font) + 8 > width) {
        el.textContent = "#".repeat(Math.max(1, Math.floor((width - 8) / textWidth("#", font))));
        el.classList.add("too-wide");
      }
    }
    if (text && kind !== "number" && !m && !look?.wrap && align === "left") {
      const size = look?.size ? Math.round(look.size * PT_PX) : FONT_PX;
      const font = `${look?.i ? "italic " : ""}${look?.b ? "bold " : ""}${size}px system-ui, sans-serif`;
      const needed = textWidth(text, font) + 8;
      let spill = width;
      let c = col + 1;
      while (spill < needed && c - col <= MAX_OVERFLOW_COLS && isEmpty(row, c) && !this.merge(row, c)) {
        spill += this.cols.size(c);
        c++;
      }
      if (c > col + 1) {
        // The text goes into a box over the neighbours that lets clicks
        // through to them; the cell itself keeps its own width.
        const box = document.createElement("span");
        box.className = "spill";
        box.textContent = text;
        box.style.width = `${spill}px`;
        box.style.background = look?.fill ?? "#fff";
        el.textContent = "";
        el.append(box);
        el.classList.add("overflow");
      }
    }
    el.style.width = `${width}px`;
  }

  // A column head: where it goes, and the handle that resizes it.
  dressHead(el: HTMLElement, col: number): void {
    el.style.left = `${this.colLeft(col)}px`;
    el.style.width = `${this.cols.size(col)}px`;
    el.dataset.col = String(col);
    const handle = document.createElement("span");
    handle.className = "resize";
    handle.title = "Drag to resize; double-click to fit";
    el.append(handle);
  }

  dressRowHead(el: HTMLElement, row: number): void {
    el.style.top = `${this.rowTop(row)}px`;
    el.style.height = `${this.rows.size(row)}px`;
    el.style.lineHeight = `${this.rows.size(row)}px`;
  }

  // Draws the frozen rows and columns of window w, made by cell(row, col),
  // into their layers; called when the window is drawn.
  drawFrozen(w: Box, cell: (row: number, col: number) => HTMLElement | null): void {
    if (!this.frozenLayers.length) return;
    const [rowsLayer, colsLayer, corner] = this.frozenLayers;
    const fill = (layer: HTMLElement, r1: number, r2: number, c1: number, c2: number) => {
      const out = document.createDocumentFragment();
      const box = { r1, c1, r2, c2 };
      for (let r = r1; r <= r2; r++) {
        for (let c = c1; c <= c2; c++) {
          const at = this.anchor(r, c, box);
          const el = at && cell(at[0], at[1]);
          if (el) out.append(el);
        }
      }
      layer.replaceChildren(out);
    };
    const fr = this.frozenRows;
    const fc = this.frozenCols;
    fill(rowsLayer, 1, fr, Math.max(w.c1, fc + 1), w.c2);
    fill(colsLayer, Math.max(w.r1, fr + 1), w.r2, 1, fc);
    fill(corner, 1, fr, 1, fc);
  }

  // Keeps the frozen layers in place as the grid scrolls.
  scrolled(top: number, left: number): void {
    if (!this.frozenLayers.length) return;
    const [rowsLayer, colsLayer, corner] = this.frozenLayers;
    rowsLayer.style.transform = `translateY(${top}px)`;
    colsLayer.style.transform = `translateX(${left}px)`;
    corner.style.transform = `translate(${left}px, ${top}px)`;
  }

  // Dragging a head's handle resizes its column; a double-click fits it
  // to the widest text the page holds of it.
  private resizing(colHeads: HTMLElement): void {
    colHeads.addEventListener("pointerdown", (e) => {
      const handle = e.target as HTMLElement;
      if (!handle.classList.contains("resize") || e.button !== 0) return;
      const col = Number(handle.parentElement?.dataset.col);
      if (!col) return;
      e.preventDefault();
      e.stopPropagation();
      const startX = e.clientX;
      const startPx = this.cols.size(col);
      let px = startPx;
      // The heads are drawn again as the width changes, handle and all:
      // the drag is followed on the window.
      const move = (m: PointerEvent) => {
        px = Math.max(MIN_COL_PX, Math.round(startPx + m.clientX - startX));
        this.setWidth(col, px);
        this.onWidth(col, px, false);
      };
      const up = () => {
        window.removeEventListener("pointermove", move);
        window.removeEventListener("pointerup", up);
        window.removeEventListener("pointercancel", up);
        if (px !== startPx) this.onWidth(col, px, true);
      };
      window.addEventListener("pointermove", move);
      window.addEventListener("pointerup", up);
      window.addEventListener("pointercancel", up);
    });
    colHeads.addEventListener("dblclick", (e) => {
      const handle = e.target as HTMLElement;
      if (!handle.classList.contains("resize")) return;
      const col = Number(handle.parentElement?.dataset.col);
      if (!col) return;
      const font = `${FONT_PX}px system-ui, sans-serif`;
      const widest = Math.max(0, ...this.columnTexts(col).map((t) => textWidth(t, font)));
      const px = Math.max(MIN_COL_PX, Math.ceil(widest) + 10);
      this.setWidth(col, px);
      this.onWidth(col, px, true);
    });
  }
}
