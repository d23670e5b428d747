// The page's own edits, undoable: each user action (an edit, a clear, a
// paste) is one step over a block of cells, with their texts before and
// after. A step, and its undo and redo, is one call of quillo's block edit,
// which applies it all or nothing, so quillo stays the one place cells are
// kept and computed: when quillo refuses a cell nothing is changed and the
// message names the cell. Undo and redo touch only the cells the step
// changed, and only while they still hold what the step left there; a cell
// changed since (by another tab, or by the file taken in from disk) refuses
// the whole step.

import { api, ApiError } from "./api";
import { columnName, MAX_COLS, MAX_ROWS, type Window } from "./grid";

interface Step {
  sheet: number;
  box: Window;
  // Each cell's text, row by row.
  before: string[];
  after: string[];
}

// The most cells one clear or paste may change (quillo's block edit takes no more).
export const MAX_STEP_CELLS = 10000;

export class Edits {
  private done: Step[] = [];
  private undone: Step[] = [];
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

  // Sets the cells of a block of a sheet to `texts` (row by row); resolves
  // true when quillo took all of them, and false, with nothing changed,
  // otherwise. `what` names the action in a refusal of a step of several
  // cells ("pasted", "cleared"); `expect`, when given, is what each cell
  // must still hold (the text an edit started from), or quillo refuses the
  // step as changed since.
  apply(sheet: number, box: Window, texts: string[], what = "changed", expect?: string[]): Promise<boolean> {
    const n = (box.r2 - box.r1 + 1) * (box.c2 - box.c1 + 1);
    if (n > MAX_STEP_CELLS) return this.tooMany(n);
    // A block reaching past the sheet's edge is refused whole, as the peers do.
    if (box.r2 > MAX_ROWS || box.c2 > MAX_COLS) {
      this.report(`nothing ${what}: the cells from ${columnName(box.c1)}${box.r1} do not fit in the sheet (it ends at XFD1048576)`);
      return Promise.resolve(false);
    }
    return this.run(async () => {
      let done: { before: string[]; after: string[] };
      try {
        done = await api.edits(sheet, box, texts, expect);
      } catch (e) {
        const why = e instanceof ApiError ? e.message : String(e);
        // A one-cell edit's refusal names its cell, since the cursor has
        // moved on (quillo's own reason often names it already).
        const cell = `${columnName(box.c1)}${box.r1}`;
        const named = new RegExp(`\\b${cell}\\b`).test(why) ? why : `${cell} not changed: ${why}`;
        this.report(n > 1 ? `nothing ${what}: ${why}` : named);
        return false;
      }
      if (done.before.some((t, i) => t !== done.after[i])) {
        this.done.push({ sheet, box, before: done.before, after: done.after });
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
    const n = (box.r2 - box.r1 + 1) * (box.c2 - box.c1 + 1);
    if (n > MAX_STEP_CELLS) return this.tooMany(n);
    return this.apply(sheet, box, new Array<string>(n).fill(""), "cleared");
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

  private async replay(from: Step[], to: Step[], what: "undone" | "redone"): Promise<boolean> {
    const step = from.pop();
    if (!step) return false;
    const back = what === "undone";
    this.moved(step.sheet, step.box.r1, step.box.c1);
    // Only the cells the step changed are written, and each must still
    // hold what the step left there.
    const changed = (i: number) => step.before[i] !== step.after[i];
    const texts = step.before.map((_, i) => (changed(i) ? (back ? step.before[i] : step.after[i]) : null));
    const expect = step.before.map((_, i) => (changed(i) ? (back ? step.after[i] : step.before[i]) : null));
    try {
      const done = await api.edits(step.sheet, step.box, texts, expect);
      // Texts as quillo keeps them, so that the next undo or redo knows them.
      for (let i = 0; i < texts.length; i++) {
        if (!changed(i)) continue;
        if (back) step.before[i] = done.after[i];
        else step.after[i] = done.after[i];
      }
    } catch (e) {
      from.push(step);
      const why = e instanceof ApiError ? e.message : String(e);
      this.report(/ has changed since$/.test(why) ? `${why}; nothing ${what}` : `nothing ${what}: ${why}`);
      return false;
    }
    to.push(step);
    return true;
  }

  // Resolves once every step asked for so far has run (Save waits for them).
  settled(): Promise<void> {
    return this.queue.then(() => {});
  }

  private run<T>(fn: () => Promise<T>): Promise<T> {
    const next = this.queue.then(fn, fn);
    this.queue = next.catch(() => {});
    return next;
  }
}
