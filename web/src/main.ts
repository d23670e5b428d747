// The page of `quillo ui`: the workbook's sheets as a grid, a formula bar,
// save, and a live stream of cell changes from quillo.

import { api, ApiError, type BookInfo, type CellBatch } from "./api";
import { Charts } from "./charts";
import { Dialogs, drawMenu, type DialogState } from "./dialogs";
import { Edits, MAX_STEP_CELLS } from "./editing";
import { columnName, Grid, parseAddress, type Selection, type Window } from "./grid";
import { pxToChars } from "./layout";
import { Provenance } from "./provenance";
import { serverForgotPage, showServerGone } from "./restart";
import { LinkWizard } from "./weblink";

const $ = <T extends HTMLElement>(id: string) => document.getElementById(id) as T;

let book: BookInfo | null = null;
let sheet = 0;
let viewSeq = 0;
// The cell the formula bar's text is for, from the user's first keystroke
// there until it is committed or reverted.
let barEdit: { sheet: number; row: number; col: number } | null = null;

const grid = new Grid($("grid"), $("spacer"), $("cells"), $("col-heads"), $("row-heads"), $("corner"));
const charts = new Charts($("charts"), grid.layout);
const provenance = new Provenance($("provenance"), $("cells"), () => book?.sheets[sheet]?.name ?? "");
const formula = $<HTMLInputElement>("formula");
const address = $<HTMLInputElement>("address");
const message = $("message");
const connection = $("connection");
const arrived = $("arrived");

function show(text: string, kind: "error" | "info" = "error"): void {
  message.textContent = text;
  message.className = kind;
  message.hidden = text === "";
}

// The sheets as tabs show them: a change (a sheet added by the link wizard
// or taken in from the file) draws the tabs again.
const sheetList = (info: BookInfo) => info.sheets.map((s) => `${s.name}\u0000${s.hidden}`).join("\u0001");

function setBook(info: BookInfo): void {
  const first = book === null;
  const before = book;
  book = info;
  document.title = `${info.name} - quillo`;
  $("book-name").textContent = info.name;
  $("dirty").hidden = !info.dirty;
  $("conflict").hidden = !info.changed_on_disk;
  // The file was taken in from disk: the edits before it are not the page's to undo.
  if (before && (before.taken_in ?? 0) !== (info.taken_in ?? 0)) edits.forget();
  $("book-name").dataset.takenIn = String(info.taken_in ?? 0);
  const shown = info.sheets[sheet];
  if (!first && shown) grid.setUsed(shown.rows, shown.cols);
  if (info.arrived) arrived.textContent = `values at ${new Date(info.arrived).toLocaleTimeString()}`;
  if (first) {
    sheet = Math.min(info.active, info.sheets.length - 1);
    // A workbook saved with a hidden sheet active opens on its first shown one.
    if (info.sheets[sheet]?.hidden) sheet = Math.max(0, info.sheets.findIndex((s) => !s.hidden));
    drawTabs();
    openSheet(sheet);
  } else if (before && sheetList(before) !== sheetList(info)) {
    // The sheet in view keeps its place by name.
    const name = before.sheets[sheet]?.name;
    const at = info.sheets.findIndex((s) => s.name === name);
    if (at >= 0) {
      sheet = at;
      drawTabs();
    } else {
      openSheet(Math.max(0, info.sheets.findIndex((s) => !s.hidden)));
    }
  }
  $("tabs").dataset.sheets = String(info.sheets.length);
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

let sheetOpened = false;
// While a sheet's sizes are on their way no cells are asked for: drawn at
// the default sizes they would show in the wrong places until the sizes
// arrive (and a click there would pick the wrong cell).
let sizesAwaited = false;
let startSelection = grid.selection();
function openSheet(i: number): void {
  if (!book) return;
  sheet = i;
  charts.clear();
  provenance.refresh();
  drawTabs();
  const s = book.sheets[i];
  // A cell chosen (in the name box, by a key) while the sizes are on their
  // way is kept when they arrive; otherwise the sheet opens at A1. The first
  // sheet counts from the page's start, since the book is asked for first.
  if (sheetOpened) startSelection = grid.selection();
  sheetOpened = true;
  const start = startSelection;
  // The sheet's sizes and frozen panes first: they decide which cells are in view.
  sizesAwaited = true;
  api
    .layout(i)
    .catch(() => null)
    .then((info) => {
      if (sheet !== i) return;
      sizesAwaited = false;
      const moved = grid.movedSince(start);
      const [a, c] = [grid.anchor, grid.corner];
      grid.layout.set(info);
      grid.reset(s.rows, s.cols);
      requestView(grid.visible());
      if (moved) grid.selectBox(a.row, a.col, c.row, c.col);
      else grid.select(1, 1);
      // Charts are placed beside their tables by the sheet's sizes.
      refreshCharts();
    });
}

// Asks for the cells of the window in view; quillo then sends their
// changes until the page asks for another window.
// Changes streamed while a window is asked for may overtake its answer
// (they come on another connection): they are kept until it arrives, and
// those sent after its cells were read are applied over them.
let viewsAsked = 0;
let overtaking: CellBatch[] = [];
async function requestView(w: Window): Promise<void> {
  if (sizesAwaited) return;
  const seq = ++viewSeq;
  viewsAsked++;
  try {
    const batch = await api.view(sheet, w.r1, w.c1, w.r2, w.c2);
    if (seq !== viewSeq || batch.sheet !== sheet) return;
    grid.layout.fill(w, batch.look);
    grid.fill(w, batch.cells);
    for (const later of overtaking) {
      if (later.sheet === sheet && (later.seq ?? 0) > (batch.seq ?? 0)) grid.update(later.cells);
    }
  } catch (e) {
    if (e instanceof ApiError) show(e.message);
  } finally {
    if (--viewsAsked === 0) overtaking = [];
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
        // The add-in acts at the cursor: quillo knows where it is first.
        await flushCursor();
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

// The page's own edits, undoable; an undone or redone cell is shown. An
// undo waits for the edits before it, so it may run after the user chose
// another cell: that choice is kept. `ownSelection` is the selection the
// undos and redos on their way may move from (the one at the first key).
let replaysPending = 0;
let ownSelection: Selection | null = null;
const edits = new Edits(
  (t) => show(t),
  (s, row, col) => {
    if (s !== sheet || grid.movedSince(ownSelection)) return;
    grid.selectForWait(row, col);
    ownSelection = grid.selection();
  },
);
function replay(step: () => Promise<boolean>): Promise<boolean> {
  if (replaysPending++ === 0) ownSelection = grid.selection();
  const done = () => void replaysPending--;
  const run = step();
  run.then(done, done);
  return run;
}

// The cells of a box as quillo shows them, asked in windows it accepts.
async function look(box: Window): Promise<Map<string, string>> {
  const out = new Map<string, string>();
  const width = box.c2 - box.c1 + 1;
  const rowsAtOnce = Math.max(1, Math.floor(20000 / width));
  for (let r = box.r1; r <= box.r2; r += rowsAtOnce) {
    const batch = await api.look(sheet, r, box.c1, Math.min(box.r2, r + rowsAtOnce - 1), box.c2);
    for (const [row, col, text] of batch.cells) if (text !== "") out.set(`${row},${col}`, text);
  }
  return out;
}

grid.onWindow = (w) => requestView(w);
// A column resized by dragging its head's edge: drawn at once, sent when the drag ends.
grid.layout.onWidth = (col, px, done) => {
  grid.relayout();
  if (done) api.width(sheet, col, pxToChars(px)).catch((e) => e instanceof ApiError && show(e.message));
};
// The cursor's cell is told to quillo (the add-in's active cell follows
// it) and its text asked for the formula bar once the key's frame is
// drawn: a held arrow key sends only where it stopped.
let cursorSent: Promise<void> = Promise.resolve();
let cursorTimer = 0;
let sendCursor: (() => void) | null = null;
function flushCursor(): Promise<void> {
  if (cursorTimer) {
    clearTimeout(cursorTimer);
    cursorTimer = 0;
    sendCursor?.();
  }
  return cursorSent;
}
// An address being typed in the name box is the user's until Enter, Escape
// or leaving it: a selection made meanwhile (the sheet opening at A1 as
// its sizes arrive) does not write over it.
let addressTyped = false;
address.addEventListener("input", () => (addressTyped = true));
// Coming into the name box (a click, F6) selects its address, so that one
// typed replaces it, as in the peers.
address.addEventListener("focus", () => address.select());
address.addEventListener("blur", () => {
  if (!addressTyped) return;
  addressTyped = false;
  address.value = `${columnName(grid.selected.col)}${grid.selected.row}`;
});
grid.onSelect = (row, col) => {
  if (!addressTyped) address.value = `${columnName(col)}${row}`;
  provenance.show(row, col);
  const at = sheet;
  // Until the cell's own text arrives the bar still shows the last cell's:
  // it takes no typing, which would start from that text.
  if (!barEdit) formula.readOnly = true;
  sendCursor = () => {
    cursorTimer = 0;
    sendCursor = null;
    cursorSent = api.select(at, row, col).then(
      () => {},
      () => {},
    );
    if (grid.editing) return;
    const current = () => at === sheet && grid.selected.row === row && grid.selected.col === col;
    api.cell(at, row, col).then(
      (cell) => {
        if (!barEdit && !grid.editing && current()) {
          formula.value = cell.formula;
          barOriginal = { sheet: at, row, col, text: cell.formula };
          formula.readOnly = false;
        }
      },
      (e) => {
        if (e instanceof ApiError) show(e.message);
        // Not known: the bar starts empty rather than from another cell.
        if (!barEdit && current()) {
          formula.value = "";
          barOriginal = null;
          formula.readOnly = false;
        }
      },
    );
  };
  if (cursorTimer) clearTimeout(cursorTimer);
  cursorTimer = window.setTimeout(() => sendCursor?.(), 0);
};
// Cells changed (by this tab, another, or the file taken in from disk): the
// formula bar, when not being edited, shows the selected cell's text as it
// is now.
function refreshBar(): void {
  if (barEdit || grid.editing) return;
  const at = sheet;
  const { row, col } = grid.selected;
  api.cell(at, row, col).then(
    (cell) => {
      if (!barEdit && !grid.editing && at === sheet && grid.selected.row === row && grid.selected.col === col) {
        formula.value = cell.formula;
        barOriginal = { sheet: at, row, col, text: cell.formula };
        formula.readOnly = false;
      }
    },
    () => {},
  );
}
// The text a cell held when it was last shown for editing, in place or in
// the formula bar: an edit that leaves it as it was writes nothing.
type Original = { sheet: number; row: number; col: number; text: string };
let editOriginal: Original | null = null;
let barOriginal: Original | null = null;
// Whether an edit is written: "skip" when it left the text as it was,
// "refuse" (said so) when writing it would lose the cell's line breaks.
function editVerdict(o: Original | null, at: { sheet: number; row: number; col: number }, text: string): "write" | "skip" | "refuse" {
  if (!o || o.sheet !== at.sheet || o.row !== at.row || o.col !== at.col) return "write";
  const verdict = Edits.lineBreaksLost(o.text, text);
  if (verdict === "lost") {
    show(`${columnName(at.col)}${at.row} holds line breaks, which the editor cannot keep; nothing written (clear the cell to retype it)`);
    return "refuse";
  }
  return verdict === "unchanged" ? "skip" : "write";
}
grid.onEditText = async (row, col) => {
  const text = (await api.cell(sheet, row, col)).formula;
  editOriginal = { sheet, row, col, text };
  return text;
};
grid.onEditInput = (text) => (formula.value = text);
grid.onCommit = async (row, col, text) => {
  const o = editOriginal;
  editOriginal = null;
  const verdict = editVerdict(o, { sheet, row, col }, text);
  if (verdict !== "write") return verdict === "skip";
  // The edit started from the cell's text: a cell changed since (by another
  // tab, or the file taken in from disk) refuses rather than be overwritten.
  const from = o && o.sheet === sheet && o.row === row && o.col === col ? [o.text] : undefined;
  const ok = await edits.apply(sheet, { r1: row, c1: col, r2: row, c2: col }, [text], "changed", from);
  if (ok) show("");
  return ok;
};
// An edit given up: the bar shows the cell's text again.
grid.onCancel = () => {
  editOriginal = null;
  grid.onSelect(grid.selected.row, grid.selected.col);
};
grid.onClear = (box) => {
  edits.clear(sheet, box).then((ok) => ok && grid.onSelect(grid.selected.row, grid.selected.col));
};
grid.onUndo = () => replay(() => edits.undo());
grid.onRedo = () => replay(() => edits.redo());
const cellsIn = (b: Window) => (b.r2 - b.r1 + 1) * (b.c2 - b.c1 + 1);
grid.onPaste = (at, rows) => {
  const h = rows.length;
  const w = Math.max(...rows.map((r) => r.length));
  if (cellsIn(at) > MAX_STEP_CELLS) {
    show(`That pastes into ${cellsIn(at)} cells; at most ${MAX_STEP_CELLS} can be changed at once here`);
    return;
  }
  const texts: string[] = [];
  for (let r = at.r1; r <= at.r2; r++) {
    for (let c = at.c1; c <= at.c2; c++) texts.push(rows[(r - at.r1) % h][(c - at.c1) % w] ?? "");
  }
  edits.apply(sheet, at, texts, "pasted").then((ok) => ok && grid.onSelect(grid.selected.row, grid.selected.col));
};
// An answer the grid's keys waited for (F2's text, a Ctrl+arrow's end) was lost.
grid.onAnswerLost = (why, dropped) =>
  show(dropped ? `${why}; ${dropped} key${dropped === 1 ? "" : "s"} pressed meanwhile ${dropped === 1 ? "was" : "were"} not applied` : why);
grid.onFilled = async (box) => new Set((await look(box)).keys());
// Copying more than this many cells is refused, not sent as a huge text.
const MAX_COPY_CELLS = 1000000;
grid.onCopyFar = async (box) => {
  if (cellsIn(box) > MAX_COPY_CELLS) {
    show(`That copies ${cellsIn(box)} cells; at most ${MAX_COPY_CELLS} can be copied at once`);
    return null;
  }
  const cells = await look(box);
  const rows: string[][] = [];
  for (let r = box.r1; r <= box.r2; r++) {
    const row: string[] = [];
    for (let c = box.c1; c <= box.c2; c++) row.push(cells.get(`${r},${c}`) ?? "");
    rows.push(row);
  }
  return rows;
};

// The name box: typing an address there goes to that cell (or selects a
// range such as B2:D9), and says so when it is no address of the sheet.
address.addEventListener("keydown", (e) => {
  if (e.key === "Escape") {
    addressTyped = false;
    address.value = `${columnName(grid.selected.col)}${grid.selected.row}`;
    grid.focus();
    return;
  }
  if (e.key !== "Enter") return;
  e.preventDefault();
  // One cell or one range: "B2:D9:F1" and the like are none.
  const parts = address.value.split(":");
  const [from, to = from] = parts;
  const a = parts.length <= 2 ? parseAddress(from) : null;
  const b = parts.length <= 2 ? parseAddress(to) : null;
  if (!a || !b) {
    show(`"${address.value}" is not a cell of the sheet (such as B12, up to XFD1048576)`);
    return;
  }
  show("");
  addressTyped = false;
  grid.selectBox(a.row, a.col, b.row, b.col);
  grid.focus();
});

// The formula bar: what is typed there goes to the cell it was typed for
// on Enter (then down), Tab (then right), Shift+Enter / Shift+Tab (up,
// left) and when the bar is left; Escape puts the cell's text back.
formula.addEventListener("input", () => {
  if (!barEdit) barEdit = { sheet, row: grid.selected.row, col: grid.selected.col };
});
async function commitBar(dr: number, dc: number): Promise<void> {
  const at = barEdit;
  if (!at) {
    if (dr || dc) grid.select(grid.selected.row + dr, grid.selected.col + dc);
    grid.focus();
    return;
  }
  barEdit = null;
  // The selection as it was when the text was committed (see below).
  const was = grid.selection();
  const verdict = editVerdict(barOriginal, at, formula.value);
  // The bar's text started from the cell's: a cell changed since refuses
  // rather than be overwritten.
  const o = barOriginal;
  const from = o && o.sheet === at.sheet && o.row === at.row && o.col === at.col ? [o.text] : undefined;
  const ok =
    verdict === "skip" ||
    (verdict === "write" && (await edits.apply(at.sheet, { r1: at.row, c1: at.col, r2: at.row, c2: at.col }, [formula.value], "changed", from)));
  if (!ok) {
    // Refused: the text stays in the bar to be mended.
    barEdit = at;
    formula.focus();
    return;
  }
  show("");
  if (!(dr || dc)) {
    // Left by a click elsewhere: the bar shows the cell now selected.
    grid.onSelect(grid.selected.row, grid.selected.col);
    return;
  }
  // The cursor moves on once quillo has taken the text, unless the user
  // went on meanwhile: a cell chosen, or another box typed in, is kept.
  const moved = grid.movedSince(was);
  if (moved || (document.activeElement !== formula && document.activeElement !== document.body)) return;
  grid.focus();
  if (at.sheet === sheet) grid.select(at.row + dr, at.col + dc);
}
formula.addEventListener("keydown", (e) => {
  if (e.key === "Escape") {
    e.preventDefault();
    barEdit = null;
    grid.focus();
    grid.onSelect(grid.selected.row, grid.selected.col);
    return;
  }
  if (e.key === "Enter") {
    e.preventDefault();
    commitBar(e.shiftKey ? -1 : 1, 0);
  } else if (e.key === "Tab" && barEdit) {
    e.preventDefault();
    commitBar(0, e.shiftKey ? -1 : 1);
  }
});
formula.addEventListener("blur", () => {
  // Another window taking the focus is not leaving the bar.
  if (barEdit && document.hasFocus()) commitBar(0, 0);
});

// Ctrl+F6 and F6 (Shift: backwards) move the focus between the page's
// parts, as in the peers: the bar (menu and Save), the name box, the
// formula bar, the grid and the sheet tabs. Tab itself moves in the grid.
document.addEventListener("keydown", (e) => {
  if (e.key !== "F6" || e.altKey || grid.editing) return;
  const parts = [
    $("bar").querySelector<HTMLElement>("button"),
    address,
    formula,
    $("grid"),
    $("tabs").querySelector<HTMLElement>("button.active"),
  ].filter((p): p is HTMLElement => !!p);
  const now = parts.findIndex((p) => p === document.activeElement || p.contains(document.activeElement));
  const next = parts[(now + (e.shiftKey ? parts.length - 1 : 1) + (now < 0 ? 1 : 0)) % parts.length];
  e.preventDefault();
  next.focus();
});

// Save saves what the user sees: the keys the grid still holds (an edit
// typed after F2 before the cell's text came) are handled first, then the
// edits sent before the click reach quillo (leaving the cell's text or the
// formula bar for the button sends theirs), then the book is saved.
async function save(overwrite: boolean): Promise<void> {
  await grid.idle();
  await edits.settled();
  try {
    const r = await api.save(overwrite);
    // A message still shown (keys that were not applied, an edit refused)
    // stays: the user must learn that what they typed is not in the file.
    // (A save's own refusal before it is over now.)
    const shown = message.textContent ?? "";
    const kept = !message.hidden && message.className !== "info" && !shown.startsWith("Not saved: ") ? shown : "";
    if (kept) show(`${kept}. Saved ${r.saved}`);
    else show(`Saved ${r.saved}`, "info");
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
// A page whose server is gone has nothing left to lose.
let serverGone = false;
window.addEventListener("beforeunload", (e) => {
  if (book?.dirty && !serverGone) {
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
  events.addEventListener("error", async () => {
    connection.textContent = "reconnecting...";
    connection.className = "connection lost";
    // A server that answers without knowing this page was started again.
    if (await serverForgotPage()) {
      events.close();
      serverGone = true;
      connection.textContent = "quillo restarted";
      charts.clear();
      showServerGone($("server-gone"));
      return;
    }
    if (events.readyState === EventSource.CLOSED) setTimeout(connect, 1000);
  });
  events.addEventListener("cells", (e) => {
    const batch = JSON.parse((e as MessageEvent).data) as CellBatch;
    if (viewsAsked > 0) overtaking.push(batch);
    if (batch.sheet === sheet) {
      // Before the sheet's sizes, the view asked for once they arrive holds these.
      if (!sizesAwaited) grid.update(batch.cells);
      refreshBar();
      refreshCharts();
      provenance.refresh();
    }
  });
  events.addEventListener("dialogs", (e) => dialogs.render(JSON.parse((e as MessageEvent).data) as DialogState));
  events.addEventListener("book", (e) => setBook(JSON.parse((e as MessageEvent).data) as BookInfo));
}

connect();
