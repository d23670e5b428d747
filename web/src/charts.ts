// A chart beside each price-history table: its close and the indicator
// series beside it over the table's dates, drawn with uPlot. Each chart is
// a small window on the sheet, titled with the instrument and sampling: it
// opens in view (beside its table when that is in view), moves by its
// title bar and closes with its × until the sheet is opened again.

import uPlot from "uplot";
import type { ChartData } from "./api";
import { HEAD_W, type Layout } from "./layout";

const COLORS = ["#1f5f46", "#d1242f", "#0969da", "#bf8700", "#8250df", "#1b7c83", "#cf222e", "#57606a"];
const WIDTH = 560;
const HEIGHT = 300;
const GAP = 12;

// Spreadsheet date serials to Unix seconds.
const unixSeconds = (serial: number) => Math.round((serial - 25569) * 86400);

function median(values: (number | null)[]): number {
  const v = values.filter((x): x is number => x !== null).sort((a, b) => a - b);
  return v.length ? v[Math.floor(v.length / 2)] : 0;
}

interface Shown {
  box: HTMLElement;
  plot: uPlot;
  shape: string; // the series' labels: another shape needs another plot
}

export class Charts {
  private shown = new Map<string, Shown>();
  // Where each chart is, once placed or moved, and the charts closed: kept
  // while the sheet is open, across the redraws its changes cause.
  private placed = new Map<string, { left: number; top: number }>();
  private closed = new Set<string>();

  // The layout tells where the table's cells are (the file's widths and
  // heights, the frozen panes).
  constructor(
    private layer: HTMLElement,
    private layout: Layout,
  ) {}

  // Another sheet (or none): every chart goes, closed ones come back.
  clear(): void {
    for (const s of this.shown.values()) s.plot.destroy();
    this.shown.clear();
    this.placed.clear();
    this.closed.clear();
    this.layer.replaceChildren();
  }

  draw(charts: ChartData[]): void {
    const keep = new Set<string>();
    for (const c of charts) {
      const key = `${c.row},${c.col}`;
      if (this.closed.has(key)) continue;
      keep.add(key);
      this.drawOne(key, c);
    }
    for (const [key, s] of this.shown) {
      if (keep.has(key)) continue;
      s.plot.destroy();
      s.box.remove();
      this.shown.delete(key);
    }
  }

  private drawOne(key: string, c: ChartData): void {
    // Rows in date order, oldest first, whichever way the table is sorted.
    const order = c.x.map((_, i) => i).filter((i) => c.x[i] !== null);
    order.sort((a, b) => (c.x[a] as number) - (c.x[b] as number));
    const xs = order.map((i) => unixSeconds(c.x[i] as number));
    const data = [xs, ...c.series.map((s) => order.map((i) => s.values[i]))] as uPlot.AlignedData;
    const shape = c.series.map((s) => s.label).join("\u0001");
    let s = this.shown.get(key);
    if (s && s.shape === shape) {
      s.plot.setData(data);
      (s.box.querySelector(".chart-title") as HTMLElement).textContent = c.title;
      return;
    }
    if (s) s.plot.destroy();
    const box = s?.box ?? this.frame(key, c);
    box.querySelector(".chart-plot")?.remove();
    const holder = document.createElement("div");
    holder.className = "chart-plot";
    box.append(holder);
    const close = c.series.find((x) => x.label.toUpperCase() === "CLOSE");
    const level = close ? median(close.values) : 0;
    // Series near the close's level share its axis (moving averages,
    // bands); the others (MACD, RSI, momentum) get one of their own.
    const priced = (x: ChartData["series"][number]) => {
      const m = median(x.values);
      return level > 0 && m > level / 2 && m < level * 2;
    };
    const hasOwn = c.series.some((x) => !priced(x));
    const opts: uPlot.Options = {
      width: this.width(),
      height: HEIGHT,
      scales: { x: { time: true } },
      series: [
        {},
        ...c.series.map((x, i) => ({
          label: x.label,
          stroke: COLORS[i % COLORS.length],
          width: x === close ? 2 : 1.25,
          scale: priced(x) ? "price" : "other",
          spanGaps: false,
        })),
      ],
      axes: [{}, { scale: "price" }, ...(hasOwn ? [{ scale: "other", side: 1, grid: { show: false } }] : [])],
    };
    s = { box, plot: new uPlot(opts, data, holder), shape };
    this.shown.set(key, s);
  }

  // Narrower than the window, whatever its size.
  private width(): number {
    const scroller = this.layer.parentElement;
    const room = scroller ? scroller.clientWidth - HEAD_W - 2 * GAP : WIDTH;
    return Math.max(240, Math.min(WIDTH, room));
  }

  // The chart's window: a title bar that moves it and a button that closes it.
  private frame(key: string, c: ChartData): HTMLElement {
    const box = document.createElement("section");
    box.className = "chart";
    box.dataset.title = c.title;
    box.setAttribute("aria-label", c.title);
    const head = document.createElement("div");
    head.className = "chart-head";
    const title = document.createElement("span");
    title.className = "chart-title";
    title.textContent = c.title;
    const close = document.createElement("button");
    close.type = "button";
    close.className = "chart-close";
    close.textContent = "×";
    close.title = "Close the chart";
    close.setAttribute("aria-label", "Close the chart");
    close.addEventListener("click", () => {
      this.closed.add(key);
      const s = this.shown.get(key);
      s?.plot.destroy();
      this.shown.delete(key);
      box.remove();
    });
    head.append(title, close);
    box.append(head);
    const at = this.placed.get(key) ?? this.place(c);
    this.placed.set(key, at);
    box.style.left = `${at.left}px`;
    box.style.top = `${at.top}px`;
    this.layer.append(box);
    this.movable(key, box, head);
    return box;
  }

  // Beside the table, moved into the part of the sheet in view when that
  // place is out of it.
  private place(c: ChartData): { left: number; top: number } {
    const L = this.layout;
    let left = L.colLeft(c.after) + GAP;
    let top = L.rowTop(c.row);
    const s = this.layer.parentElement;
    if (!s) return { left, top };
    const w = this.width() + 10;
    const h = HEIGHT + 80;
    // Clear of the heads and the frozen rows and columns.
    const minLeft = s.scrollLeft + L.colLeft(L.frozenCols + 1) + GAP;
    const maxLeft = s.scrollLeft + s.clientWidth - w - GAP;
    const minTop = s.scrollTop + L.rowTop(L.frozenRows + 1) + GAP;
    const maxTop = s.scrollTop + s.clientHeight - h - GAP;
    left = Math.max(minLeft, Math.min(left, maxLeft));
    top = Math.max(minTop, Math.min(top, maxTop));
    return { left, top };
  }

  private movable(key: string, box: HTMLElement, head: HTMLElement): void {
    head.addEventListener("pointerdown", (e) => {
      if (e.button !== 0 || (e.target as HTMLElement).closest("button")) return;
      e.preventDefault();
      head.setPointerCapture(e.pointerId);
      const start = { x: e.clientX, y: e.clientY, left: box.offsetLeft, top: box.offsetTop };
      const move = (m: PointerEvent) => {
        const left = Math.max(0, start.left + m.clientX - start.x);
        const top = Math.max(0, start.top + m.clientY - start.y);
        box.style.left = `${left}px`;
        box.style.top = `${top}px`;
        this.placed.set(key, { left, top });
      };
      const up = () => {
        head.removeEventListener("pointermove", move);
        head.removeEventListener("pointerup", up);
        head.removeEventListener("pointercancel", up);
      };
      head.addEventListener("pointermove", move);
      head.addEventListener("pointerup", up);
      head.addEventListener("pointercancel", up);
    });
  }
}
