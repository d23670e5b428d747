// A chart beside each price-history table: its close and the indicator
// series beside it over the table's dates, drawn with uPlot.

import uPlot from "uplot";
import type { ChartData } from "./api";
import { COL_W, HEAD_W, ROW_H } from "./grid";

const COLORS = ["#1f5f46", "#d1242f", "#0969da", "#bf8700", "#8250df", "#1b7c83", "#cf222e", "#57606a"];
const WIDTH = 560;
const HEIGHT = 300;

// Spreadsheet date serials to Unix seconds.
const unixSeconds = (serial: number) => Math.round((serial - 25569) * 86400);

function median(values: (number | null)[]): number {
  const v = values.filter((x): x is number => x !== null).sort((a, b) => a - b);
  return v.length ? v[Math.floor(v.length / 2)] : 0;
}

export class Charts {
  private plots: uPlot[] = [];

  constructor(private layer: HTMLElement) {}

  clear(): void {
    for (const p of this.plots) p.destroy();
    this.plots = [];
    this.layer.replaceChildren();
  }

  draw(charts: ChartData[]): void {
    this.clear();
    for (const c of charts) {
      // Rows in date order, oldest first, whichever way the table is sorted.
      const order = c.x.map((_, i) => i).filter((i) => c.x[i] !== null);
      order.sort((a, b) => (c.x[a] as number) - (c.x[b] as number));
      const xs = order.map((i) => unixSeconds(c.x[i] as number));
      const close = c.series.find((s) => s.label.toUpperCase() === "CLOSE");
      const level = close ? median(close.values) : 0;
      // Series near the close's level share its axis (moving averages,
      // bands); the others (MACD, RSI, momentum) get one of their own.
      const priced = (s: ChartData["series"][number]) => {
        const m = median(s.values);
        return level > 0 && m > level / 2 && m < level * 2;
      };
      const hasOwn = c.series.some((s) => !priced(s));
      const box = document.createElement("div");
      box.className = "chart";
      box.dataset.title = c.title;
      box.style.top = `${ROW_H + (c.row - 1) * ROW_H}px`;
      box.style.left = `${HEAD_W + (c.after - 1) * COL_W + 12}px`;
      this.layer.append(box);
      const opts: uPlot.Options = {
        title: c.title,
        width: WIDTH,
        height: HEIGHT,
        scales: { x: { time: true } },
        series: [
          {},
          ...c.series.map((s, i) => ({
            label: s.label,
            stroke: COLORS[i % COLORS.length],
            width: s === close ? 2 : 1.25,
            scale: priced(s) ? "price" : "other",
            spanGaps: false,
          })),
        ],
        axes: [{}, { scale: "price" }, ...(hasOwn ? [{ scale: "other", side: 1, grid: { show: false } }] : [])],
      };
      const data = [xs, ...c.series.map((s) => order.map((i) => s.values[i]))] as uPlot.AlignedData;
      this.plots.push(new uPlot(opts, data, box));
    }
  }
}
