// The page of `quillo ui`: the workbook's sheets as a grid, a formula bar,
// save, and a live stream of cell changes from quillo.

import { api, ApiError, type BookInfo, type CellBatch } from "./api";
import { Charts } from "./charts";
import { Dialogs, drawMenu, type DialogState } from "./dialogs";
import { columnName, Grid, type Window } from "./grid";
import { pxToChars } from "./layout";
import { Provenance } from "./provenance";
import { LinkWizard } from "./weblink";

const $ = <T extends HTMLElement>(id: string) => document.getElementById(id) as T;

let book: BookInfo | null = null;
let sheet = 0;
let viewSeq = 0;
let editing = false;

const grid = new Grid($("grid"), $("spacer"), $("cells"), $("col-heads"), $("row-heads"), $("corner"));
const charts = new Charts($("charts"));
const provenance = new Provenance($("provenance"), $("cells"), () => book?.sheets[sheet]?.name ?? "");
const formula = $<HTMLInputElement>("formula");
const address = $<HTMLInputElement>("address");
const message = $("message");
const connection = $("connection");

function show(text: string, kind: "error" | "info" = "error"): void {
  message.textContent = text;
  message.className = kind;
  message.hidden = text === "";
}

function setBook(info: BookInfo): void {
  const first = book === null;
  book = info;
  document.title = `${info.name} - quillo`;
  $("book-name").textContent = info.name;
  $("dirty").hidden = !info.dirty;
  $("conflict").hidden = !info.changed_on_disk;
  if (first) {
    sheet = Math.min(info.active, info.sheets.length - 1);
    // A workbook saved with a hidden sheet active opens on its first shown one.
    if (info.sheets[sheet]?.hidden) sheet = Math.max(0, info.sheets.findIndex((s) => !s.hidden));
    drawTabs();
    openSheet(sheet);
  }
}

function drawTabs(): void {
  const tabs = $("tabs");
  tabs.replaceChildren();
  book?.sheets.forEach((s, i) => {
    if (s.hidden && i !== sheet) return;
    const b = document.createElement("button");
    b.type = "button";
    b.textContent = s.name;
    b.className = i === sheet ? "active" : "";
    b.addEventListener("click", () => openSheet(i));
    tabs.append(b);
  });
}

// The charts of the sheet in view, drawn again at most once a second
// while its cells change.
let chartTimer = 0;
function refreshCharts(): void {
  if (chartTimer) return;
  chartTimer = window.setTimeout(async () => {
    chartTimer = 0;
    const shown = sheet;
    try {
      const r = await api.charts(shown);
      if (shown === sheet) charts.draw(r.charts);
    } catch {
      // The next change tries again.
    }
  }, 1000);
}

function openSheet(i: number): void {
  if (!book) return;
  sheet = i;
  charts.clear();
  refreshCharts();
  provenance.refresh();
  drawTabs();
  const s = book.sheets[i];
  // The sheet's sizes and frozen panes first: they decide which cells are in view.
  api
    .layout(i)
    .catch(() => null)
    .then((info) => {
      if (sheet !== i) return;
      grid.layout.set(info);
      grid.reset(s.rows, s.cols);
      requestView(grid.visible());
      grid.select(1, 1);
    });
}

// Asks for the cells of the window in view; quillo then sends their
// changes until the page asks for another window.
async function requestView(w: Window): Promise<void> {
  const seq = ++viewSeq;
  try {
    const batch = await api.view(sheet, w.r1, w.c1, w.r2, w.c2);
    if (seq !== viewSeq || batch.sheet !== sheet) return;
    grid.layout.fill(w, batch.look);
    grid.fill(w, batch.cells);
  } catch (e) {
    if (e instanceof ApiError) show(e.message);
  }
}

const wizard = new LinkWizard(
  $("weblink"),
  $<HTMLIFrameElement>("link-frame"),
  $<HTMLInputElement>("link-url"),
  $<HTMLInputElement>("link-name"),
  $("link-status"),
  (t) => show(t),
);
const dialogs = new Dialogs($("overlay"), api.dialogAction, api.dismissMessage, (t) => show(t), (open) =>
  wizard.show(open),
);

async function loadMenu(): Promise<void> {
  try {
    drawMenu($("menu"), await api.menu(), async (path) => {
      try {
        dialogs.render(await api.clickMenu(path));
      } catch (e) {
        if (e instanceof ApiError) show(e.message);
      }
    });
    dialogs.render(await api.dialogs());
  } catch (e) {
    if (e instanceof ApiError) show(e.message);
  }
}

grid.onWindow = (w) => requestView(w);
// A column resized by dragging its head's edge: drawn at once, sent when the drag ends.
grid.layout.onWidth = (col, px, done) => {
  grid.relayout();
  if (done) api.width(sheet, col, pxToChars(px)).catch((e) => e instanceof ApiError && show(e.message));
};
grid.onSelect = async (row, col) => {
  address.value = `${columnName(col)}${row}`;
  editing = false;
  provenance.show(row, col);
  api.select(sheet, row, col).catch(() => {});
  try {
    const cell = await api.cell(sheet, row, col);
    if (!editing && grid.selected.row === row && grid.selected.col === col) formula.value = cell.formula;
  } catch (e) {
    if (e instanceof ApiError) show(e.message);
  }
};

// The name box: typing an address there goes to that cell.
address.addEventListener("keydown", (e) => {
  if (e.key !== "Enter") return;
  e.preventDefault();
  const m = /^\s*([A-Za-z]{1,3})(\d{1,7})\s*$/.exec(address.value);
  if (!m) {
    show(`"${address.value}" is not a cell address such as B12`);
    return;
  }
  let col = 0;
  for (const ch of m[1].toUpperCase()) col = col * 26 + (ch.charCodeAt(0) - 64);
  show("");
  grid.select(Number(m[2]), col);
  formula.focus();
});

formula.addEventListener("input", () => (editing = true));
formula.addEventListener("keydown", async (e) => {
  if (e.key === "Escape") {
    editing = false;
    grid.select(grid.selected.row, grid.selected.col);
    $("grid").focus();
    return;
  }
  if (e.key !== "Enter") return;
  e.preventDefault();
  const { row, col } = grid.selected;
  try {
    await api.edit(sheet, row, col, formula.value);
    show("");
    editing = false;
    $("grid").focus();
    grid.select(row + 1, col);
  } catch (err) {
    if (err instanceof ApiError) show(`${columnName(col)}${row}: ${err.message}`);
  }
});

async function save(overwrite: boolean): Promise<void> {
  try {
    const r = await api.save(overwrite);
    show(`Saved ${r.saved}`, "info");
    setBook(await api.book());
  } catch (e) {
    if (!(e instanceof ApiError)) return;
    show(`Not saved: ${e.message}`);
    // The bar asks whether to reload the file or overwrite it.
    if (e.conflict) $("conflict").hidden = false;
  }
}
$("save").addEventListener("click", () => save(false));

// The file changed on disk (another program, or another quillo ui, saved
// it): the user chooses between its changes and theirs.
$("conflict-overwrite").addEventListener("click", () => save(true));
$("conflict-reload").addEventListener("click", async () => {
  try {
    await api.reload();
    show("Reloaded the file; the edits made here since the last save are gone", "info");
    setBook(await api.book());
  } catch (e) {
    if (e instanceof ApiError) show(`Not reloaded: ${e.message}`);
  }
});

// Leaving with changes quillo has not saved asks first.
window.addEventListener("beforeunload", (e) => {
  if (book?.dirty) {
    e.preventDefault();
    e.returnValue = "";
  }
});

// The stream of changes. EventSource reconnects by itself after a dropped
// connection; when quillo refuses the stream it is opened again after a
// pause. Whenever it opens, the page asks for everything again, since
// changes made while it was away were not sent.
function connect(): void {
  const events = new EventSource(api.events());
  events.addEventListener("open", async () => {
    connection.textContent = "live";
    connection.className = "connection";
    // Back in touch: a complaint about the lost connection is over.
    if (message.textContent === "quillo cannot be reached") show("");
    try {
      setBook(await api.book());
      if (book) requestView(grid.visible());
      await loadMenu();
    } catch (e) {
      if (e instanceof ApiError) show(e.message);
    }
  });
  events.addEventListener("error", () => {
    connection.textContent = "reconnecting...";
    connection.className = "connection lost";
    if (events.readyState === EventSource.CLOSED) setTimeout(connect, 1000);
  });
  events.addEventListener("cells", (e) => {
    const batch = JSON.parse((e as MessageEvent).data) as CellBatch;
    if (batch.sheet === sheet) {
      grid.update(batch.cells);
      refreshCharts();
      provenance.refresh();
    }
  });
  events.addEventListener("dialogs", (e) => dialogs.render(JSON.parse((e as MessageEvent).data) as DialogState));
  events.addEventListener("book", (e) => setBook(JSON.parse((e as MessageEvent).data) as BookInfo));
}

connect();
