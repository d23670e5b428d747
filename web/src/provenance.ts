// Where the values of quillo's cells came from: a panel under the formula
// bar shows the record of the selected cell (what was asked, the source and
// address, the time of the answer, status and attempts, the last failure;
// for an indicator series the ranges it read and its formula), and cells
// whose value is older than the page's limit (or was never answered) are
// marked "stale" with the time in their tooltip.
//
// Self-contained: it reads the server's `provenance` call and finds the
// grid's cells by their data-address, marking them again whenever the grid
// redraws them.

import { api, type ProvenanceRecord } from "./api";

// Minutes after which a value counts as stale: an hour, or the page
// address's `stale` parameter.
const asked = Number(new URLSearchParams(location.search).get("stale") ?? "");
export const STALE_MINUTES = Number.isFinite(asked) && asked >= 0 && location.search.includes("stale=") ? asked : 60;

function covers(r: ProvenanceRecord, row: number, col: number): boolean {
  if (r.row === row && r.col === col) return true;
  const b = r.block;
  return !!b && row >= b[0] && row <= b[2] && col >= b[1] && col <= b[3];
}

function describe(r: ProvenanceRecord): [string, string][] {
  const lines: [string, string][] = [["Filled by quillo", r.kind]];
  if (r.kind === "web link") lines.push(["Asked", `web link ${r.instrument}`]);
  else if (r.kind !== "indicator series") lines.push(["Asked", `${r.instrument}, ${r.field}`]);
  if (r.address !== undefined) {
    lines.push(["Source", r.category ? `${r.source}, category ${r.category}` : (r.source ?? "")]);
    lines.push(["Address", r.address]);
    lines.push(["Answered", r.answered || "never"]);
    lines.push(["HTTP status", `${r.status || "none"}, ${r.attempts} attempt${r.attempts === 1 ? "" : "s"}`]);
    lines.push(["Last failure", r.failure ? `${r.failure} at ${r.failed}` : "none"]);
  } else {
    lines.push(["Computed", r.computed || "never"]);
    lines.push(["From", r.inputs ?? ""]);
    lines.push(["Formula", r.formula ?? ""]);
  }
  return lines;
}

export class Provenance {
  private records: ProvenanceRecord[] = [];
  private timer = 0;
  private selected = { row: 1, col: 1 };

  constructor(
    private readonly panel: HTMLElement,
    private readonly cells: HTMLElement,
    private readonly sheetName: () => string,
  ) {
    // The grid draws cells anew as it scrolls and as values change.
    new MutationObserver(() => this.mark()).observe(cells, {
      childList: true,
      subtree: true,
      attributes: true,
      attributeFilter: ["class"],
    });
  }

  // Asks for the records again, at most once a second.
  refresh(): void {
    if (this.timer) return;
    this.timer = window.setTimeout(async () => {
      this.timer = 0;
      try {
        this.records = (await api.provenance(STALE_MINUTES)).records;
      } catch {
        return; // the next change asks again
      }
      this.mark();
      this.show(this.selected.row, this.selected.col);
    }, 1000);
  }

  private recordAt(row: number, col: number): ProvenanceRecord | undefined {
    const name = this.sheetName();
    return this.records.find((r) => r.sheet === name && covers(r, row, col));
  }

  // The selected cell's record in the panel (hidden for cells quillo did not fill).
  show(row: number, col: number): void {
    this.selected = { row, col };
    const r = this.recordAt(row, col);
    this.panel.hidden = !r;
    if (!r) return;
    const list = document.createElement("dl");
    for (const [k, v] of describe(r)) {
      const dt = document.createElement("dt");
      dt.textContent = k;
      const dd = document.createElement("dd");
      dd.textContent = v;
      list.append(dt, dd);
    }
    this.panel.classList.toggle("stale", r.stale);
    this.panel.replaceChildren(list);
  }

  // Marks the stale cells among those drawn; only changes what differs, so
  // its own marks do not call it again.
  private mark(): void {
    const name = this.sheetName();
    const stale = this.records.filter((r) => r.stale && r.sheet === name);
    // Nothing to mark and nothing marked: the common case, as the cursor moves.
    if (stale.length === 0 && !this.cells.querySelector(".cell.stale")) return;
    for (const el of this.cells.querySelectorAll<HTMLElement>(".cell[data-address]")) {
      const m = /^([A-Z]+)(\d+)$/.exec(el.dataset.address ?? "");
      if (!m) continue;
      const row = Number(m[2]);
      let col = 0;
      for (const ch of m[1]) col = col * 26 + ch.charCodeAt(0) - 64;
      const r = stale.find((s) => covers(s, row, col));
      const title = r ? `Stale: ${r.answered || r.computed || "never answered"}` : "";
      if (el.classList.contains("stale") !== !!r) el.classList.toggle("stale", !!r);
      if (r && el.title !== title) el.title = title;
      if (!r && el.title.startsWith("Stale: ")) el.removeAttribute("title");
    }
  }
}

