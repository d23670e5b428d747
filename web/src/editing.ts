// The page's own edits, undoable: each user action (an edit, a clear, a
// paste) is one step of cells with their text before and after. Undo and
// redo send the texts back through the same edit call as any edit, so
// quillo stays the one place cells are kept and computed; a step it
// refuses part of stops there and says why.

import { api, ApiError } from "./api";
import { columnName, type Window } from "./grid";

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

  constructor(
    private readonly report: (text: string) => void,
    private readonly moved: (sheet: number, row: number, col: number) => void,
  ) {}

  // Sets cells of a sheet; resolves true when quillo took all of them.
  apply(sheet: number, cells: CellText[]): Promise<boolean> {
    if (cells.length > MAX_STEP_CELLS) return this.tooMany(cells.length);
    return this.run(async () => {
      let before: string[];
      try {
        before = await texts(sheet, cells);
      } catch (e) {
        this.report(e instanceof ApiError ? e.message : String(e));
        return false;
      }
      const step: Change[] = [];
      const ok = await send(
        cells.map((c, i) => ({ sheet, row: c.row, col: c.col, before: before[i], after: c.text })).filter((c) => c.before !== c.after),
        (c) => c.after,
        step,
        this.report,
      );
      if (step.length) {
        this.done.push(step);
        this.undone = [];
      }
      return ok;
    });
  }

  clear(sheet: number, box: Window): Promise<boolean> {
    const cells: CellText[] = [];
    const n = (box.r2 - box.r1 + 1) * (box.c2 - box.c1 + 1);
    if (n > MAX_STEP_CELLS) return this.tooMany(n);
    for (let r = box.r1; r <= box.r2; r++) for (let c = box.c1; c <= box.c2; c++) cells.push({ row: r, col: c, text: "" });
    return this.apply(sheet, cells);
  }

  private tooMany(n: number): Promise<boolean> {
    this.report(`That changes ${n} cells; at most ${MAX_STEP_CELLS} can be changed at once here`);
    return Promise.resolve(false);
  }

  undo(): Promise<boolean> {
    return this.run(() => this.replay(this.done, this.undone, (c) => c.before));
  }

  redo(): Promise<boolean> {
    return this.run(() => this.replay(this.undone, this.done, (c) => c.after));
  }

  private async replay(from: Change[][], to: Change[][], text: (c: Change) => string): Promise<boolean> {
    const step = from.pop();
    if (!step) return false;
    // Undo goes back over the step's cells last to first.
    const order = from === this.done ? [...step].reverse() : step;
    const sent: Change[] = [];
    const ok = await send(order, text, sent, this.report);
    if (ok) to.push(step);
    else if (sent.length < step.length) {
      // Partly sent: what was not sent stays to be done again.
      from.push(step.filter((c) => !sent.includes(c)));
    }
    const first = step[0];
    this.moved(first.sheet, first.row, first.col);
    return ok;
  }

  private run<T>(fn: () => Promise<T>): Promise<T> {
    const next = this.queue.then(fn, fn);
    this.queue = next.catch(() => {});
    return next;
  }
}

// The cells' texts as they would be typed, asked a few at a time.
async function texts(sheet: number, cells: CellText[]): Promise<string[]> {
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

// Sends the changes in order; stops at the first quillo refuses, saying
// which cell and why. The changes sent are added to `sent`.
async function send(changes: Change[], text: (c: Change) => string, sent: Change[], report: (t: string) => void): Promise<boolean> {
  for (const c of changes) {
    try {
      await api.edit(c.sheet, c.row, c.col, text(c));
    } catch (e) {
      const why = e instanceof ApiError ? e.message : String(e);
      report(`${columnName(c.col)}${c.row}: ${why}`);
      return false;
    }
    sent.push(c);
  }
  return true;
}
