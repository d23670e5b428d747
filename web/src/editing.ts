// The page's own edits, undoable: each user action (an edit, a clear, a
// paste) is one step of cells with their text before and after. Undo and
// redo send the texts back through the same edit call as any edit, so
// quillo stays the one place cells are kept and computed. A step is all or
// nothing: when quillo refuses a cell, what the step already wrote is put
// back and the message names the cell. Undo and redo touch only cells that
// still hold what the step left there; a cell changed since (by another tab,
// or by the file taken in from disk) refuses the whole step.

import { api, ApiError } from "./api";
import { columnName, MAX_COLS, MAX_ROWS, type Window } from "./grid";

export interface CellText {
  row: number;
  col: number;
  text: string;
}

interface Change {
  sheet: number;
  row: number;
  col: number;
  before: string;
  after: string;
}

// The most cells one clear or paste may change: each is its own call.
export const MAX_STEP_CELLS = 10000;
// Reads of cells' texts in flight at once.
const READS_AT_ONCE = 32;

export class Edits {
  private done: Change[][] = [];
  private undone: Change[][] = [];
  // Steps run one after another, in the order the user made them.
  private queue: Promise<unknown> = Promise.resolve();

  // The cell editor and the formula bar hold one line (a browser drops the
  // line breaks of a text put there). An edit that leaves a cell's text as it
  // was, its line breaks dropped or not, is no change; a changed edit of a
  // cell holding line breaks is "lost": refused rather than written as one
  // line (the user clears the cell and types it anew).
  static lineBreaksLost(original: string, typed: string): "unchanged" | "lost" | "fine" {
    const shown = original.replace(/[\r\n]/g, "");
    if (typed === shown || typed === original) return "unchanged";
    return shown === original ? "fine" : "lost";
  }

  constructor(
    private readonly report: (text: string) => void,
    private readonly moved: (sheet: number, row: number, col: number) => void,
  ) {}

  // Sets cells of a sheet; resolves true when quillo took all of them,
  // and false, with nothing changed, otherwise. `what` names the action in
  // a refusal of a step of several cells ("pasted", "cleared").
  apply(sheet: number, cells: CellText[], what = "changed"): Promise<boolean> {
    if (cells.length > MAX_STEP_CELLS) return this.tooMany(cells.length);
    // A block reaching past the sheet's edge is refused whole, as the peers do.
    const out = cells.find((c) => c.row > MAX_ROWS || c.col > MAX_COLS);
    if (out) {
      const first = cells[0];
      this.report(`nothing ${what}: the cells from ${columnName(first.col)}${first.row} do not fit in the sheet (it ends at XFD1048576)`);
      return Promise.resolve(false);
    }
    return this.run(async () => {
      let before: string[];
      try {
        before = await texts(sheet, cells);
      } catch (e) {
        this.report(e instanceof ApiError ? e.message : String(e));
        return false;
      }
      const changes = cells.map((c, i) => ({ sheet, row: c.row, col: c.col, before: before[i], after: c.text })).filter((c) => c.before !== c.after);
      const step: Change[] = [];
      const refused = await send(changes, true, step);
      if (refused) {
        // All or nothing: what was written goes back, last first.
        await send([...step].reverse(), false, []);
        this.report(changes.length > 1 ? `nothing ${what}: ${refused}` : refused);
        return false;
      }
      if (step.length) {
        this.done.push(step);
        this.undone = [];
      }
      return true;
    });
  }

  // Forgets the steps: the cells were replaced from elsewhere (the file
  // taken in from disk), so undoing them would undo someone else's work.
  forget(): void {
    this.done = [];
    this.undone = [];
  }

  clear(sheet: number, box: Window): Promise<boolean> {
    const cells: CellText[] = [];
    const n = (box.r2 - box.r1 + 1) * (box.c2 - box.c1 + 1);
    if (n > MAX_STEP_CELLS) return this.tooMany(n);
    for (let r = box.r1; r <= box.r2; r++) for (let c = box.c1; c <= box.c2; c++) cells.push({ row: r, col: c, text: "" });
    return this.apply(sheet, cells, "cleared");
  }

  private tooMany(n: number): Promise<boolean> {
    this.report(`That changes ${n} cells; at most ${MAX_STEP_CELLS} can be changed at once here`);
    return Promise.resolve(false);
  }

  undo(): Promise<boolean> {
    return this.run(() => this.replay(this.done, this.undone, "undone"));
  }

  redo(): Promise<boolean> {
    return this.run(() => this.replay(this.undone, this.done, "redone"));
  }

  private async replay(from: Change[][], to: Change[][], what: "undone" | "redone"): Promise<boolean> {
    const step = from.pop();
    if (!step) return false;
    const back = what === "undone";
    const first = step[0];
    this.moved(first.sheet, first.row, first.col);
    const expect = (c: Change) => (back ? c.after : c.before);
    let now: string[];
    try {
      now = await texts(first.sheet, step);
    } catch (e) {
      from.push(step);
      this.report(`nothing ${what}: ${e instanceof ApiError ? e.message : String(e)}`);
      return false;
    }
    const changed = step.findIndex((c, i) => now[i] !== expect(c));
    if (changed >= 0) {
      const c = step[changed];
      from.push(step);
      this.report(`${columnName(c.col)}${c.row} has changed since; nothing ${what}`);
      return false;
    }
    // Undo goes back over the step's cells last to first.
    const order = back ? [...step].reverse() : step;
    const sent: Change[] = [];
    const refused = await send(order, !back, sent);
    if (refused) {
      await send([...sent].reverse(), back, []);
      from.push(step);
      this.report(`nothing ${what}: ${refused}`);
      return false;
    }
    to.push(step);
    return true;
  }

  private run<T>(fn: () => Promise<T>): Promise<T> {
    const next = this.queue.then(fn, fn);
    this.queue = next.catch(() => {});
    return next;
  }
}

// The cells' texts as they would be typed, asked a few at a time.
async function texts(sheet: number, cells: { row: number; col: number }[]): Promise<string[]> {
  const out = new Array<string>(cells.length);
  for (let i = 0; i < cells.length; i += READS_AT_ONCE) {
    await Promise.all(
      cells.slice(i, i + READS_AT_ONCE).map(async (c, j) => {
        out[i + j] = (await api.cell(sheet, c.row, c.col)).formula;
      }),
    );
  }
  return out;
}

// Sends the changes in order and stops at the first quillo refuses,
// answering which cell and why (null when all were taken). The changes
// sent are added to `sent`; each one's text is kept as quillo reads it back
// (a number typed "1.50" is kept as "1.5"), so that undo knows it again.
// `forward` sends each change's text after, otherwise its text before.
async function send(changes: Change[], forward: boolean, sent: Change[]): Promise<string | null> {
  for (const c of changes) {
    try {
      const kept = (await api.edit(c.sheet, c.row, c.col, forward ? c.after : c.before)).formula;
      if (forward) c.after = kept ?? c.after;
      else c.before = kept ?? c.before;
    } catch (e) {
      const why = e instanceof ApiError ? e.message : String(e);
      return `${columnName(c.col)}${c.row}: ${why}`;
    }
    sent.push(c);
  }
  return null;
}
