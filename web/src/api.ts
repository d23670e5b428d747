import type { DialogState, MenuEntry } from "./dialogs";
import type { SheetLayoutInfo, WindowLook } from "./layout";

// Talks to quillo's local server. Every address is relative to the page,
// whose own address carries the access token, so the token is never
// written into the page.

// A chart of an indicator block, as the server describes it.
export interface ChartData {
  row: number;
  col: number;
  after: number;
  title: string;
  x: (number | null)[];
  series: { label: string; values: (number | null)[] }[];
}

export interface SheetInfo {
  name: string;
  rows: number;
  cols: number;
  // Hidden in the workbook (quillo's own stores among them): no tab.
  hidden: boolean;
}

export interface BookInfo {
  name: string;
  path: string;
  sheets: SheetInfo[];
  active: number;
  dirty: boolean;
  // The file was changed by another program since it was opened or saved.
  changed_on_disk: boolean;
  // Counts the times the file's cells were taken in from disk (reloads
  // too): edits made before are no longer the page's to undo.
  taken_in?: number;
  // When values last arrived from quillo (ISO 8601), empty before any.
  arrived?: string;
}

// [row, column, shown text, kind]
export type CellEntry = [number, number, string, string];

export interface CellBatch {
  sheet: number;
  // Changes are numbered as quillo sends them; a window's answer gives
  // the number of the last change its cells already hold.
  seq?: number;
  cells: CellEntry[];
  // The looks and merges of the window (answers to view only).
  look?: WindowLook;
}

// Where a filled cell's value came from (quillo explain prints the same).
export interface ProvenanceRecord {
  sheet: string;
  row: number;
  col: number;
  // The table or series written: top, left, bottom, right.
  block?: [number, number, number, number];
  kind: string;
  instrument: string;
  field: string;
  // Fetched values.
  source?: string;
  category?: string;
  address?: string;
  answered?: string;
  status?: number;
  attempts?: number;
  failure?: string;
  failed?: string;
  // Computed values (indicator series).
  computed?: string;
  inputs?: string;
  formula?: string;
  // Older than the limit asked with, or never answered.
  stale: boolean;
}

export class ApiError extends Error {
  // Save refused: the file changed on disk since it was opened or saved.
  conflict = false;
}

// This page's id, made up at load and sent with every call: quillo keeps
// the cell cursor, the dialogs and the link wizard of each page apart, so
// that what this tab does lands at this tab's cursor.
export const pageId = typeof crypto.randomUUID === "function" ? crypto.randomUUID() : String(Math.random()).slice(2);

// Looks at cells without moving the page's window (whose changes quillo
// streams): quillo keeps one window per id, and this one is never streamed.
const lookId = `${pageId}-look`;

async function call<T>(path: string, init?: RequestInit, client = pageId): Promise<T> {
  let res: Response;
  const sep = path.includes("?") ? "&" : "?";
  try {
    res = await fetch(`${path}${sep}client=${encodeURIComponent(client)}`, { cache: "no-store", ...init });
  } catch {
    throw new ApiError("quillo cannot be reached");
  }
  let body: unknown = null;
  try {
    body = await res.json();
  } catch {
    body = null;
  }
  if (!res.ok) {
    const why = body && typeof body === "object" && "error" in body ? String((body as { error: unknown }).error) : res.statusText;
    const err = new ApiError(why || `error ${res.status}`);
    err.conflict = res.status === 409 && !!body && typeof body === "object" && "conflict" in body;
    throw err;
  }
  return body as T;
}

function query(params: Record<string, string | number>): string {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params)) q.set(k, String(v));
  return q.toString();
}

export const api = {
  book: () => call<BookInfo>("api/book"),
  view: (sheet: number, r1: number, c1: number, r2: number, c2: number) =>
    call<CellBatch>(`api/view?${query({ sheet, r1, c1, r2, c2 })}`, { method: "POST" }),
  layout: (sheet: number) => call<SheetLayoutInfo>(`api/layout?${query({ sheet })}`),
  width: (sheet: number, col: number, width: number) =>
    call<{ width: number }>(`api/width?${query({ sheet, col, width })}`, { method: "POST" }),
  // The cells of a box that are not empty, without changing what is streamed.
  look: (sheet: number, r1: number, c1: number, r2: number, c2: number) =>
    call<CellBatch>(`api/view?${query({ sheet, r1, c1, r2, c2 })}`, { method: "POST" }, lookId),
  cell: (sheet: number, row: number, col: number) =>
    call<{ formula: string }>(`api/cell?${query({ sheet, row, col })}`),
  edit: (sheet: number, row: number, col: number, text: string) =>
    call<{ ok: boolean; formula: string }>(`api/edit?${query({ sheet, row, col })}`, {
      method: "POST",
      headers: { "Content-Type": "text/plain; charset=utf-8" },
      body: text,
    }),
  // A block's cells set in one step, all or nothing: `texts` row by row
  // (null leaves a cell alone), `expect` what each must hold first (null:
  // anything). Answers every cell's text before and after.
  edits: (sheet: number, box: { r1: number; c1: number; r2: number; c2: number }, texts: (string | null)[], expect?: (string | null)[]) =>
    call<{ ok: boolean; before: string[]; after: string[] }>(`api/edits?${query({ sheet, ...box })}`, {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify(expect ? { texts, expect } : { texts }),
    }),
  save: (overwrite = false) => call<{ saved: string }>(overwrite ? "api/save?overwrite=1" : "api/save", { method: "POST" }),
  reload: () => call<{ reloaded: boolean }>("api/reload", { method: "POST" }),
  select: (sheet: number, row: number, col: number) =>
    call<{ ok: boolean }>(`api/select?${query({ sheet, row, col })}`, { method: "POST" }),
  menu: () => call<MenuEntry[]>("api/menu"),
  clickMenu: (path: string) => call<DialogState>(`api/menu?${query({ path })}`, { method: "POST" }),
  dialogs: () => call<DialogState>("api/dialogs"),
  dialogAction: (dialog: string, control: string, action: string, value: string) =>
    call<DialogState>(`api/dialog?${query({ dialog, control, action })}`, {
      method: "POST",
      headers: { "Content-Type": "text/plain; charset=utf-8" },
      body: value,
    }),
  link: (action: "open" | "close") => call<DialogState>(`api/link?${query({ action })}`, { method: "POST" }),
  linkFetch: (url: string) => call<{ fetch: number }>(`api/link_fetch?${query({ url })}`, { method: "POST" }),
  linkPage: (fetch: number) =>
    call<{ state: string; html?: string; error?: string }>(`api/link_page?${query({ fetch })}`),
  linkCreate: (
    url: string,
    name: string,
    parent: string,
    body: string,
    parentLength: number,
    parentOffset: number | null,
  ) =>
    call<{ stored: boolean; name: string; value: string }>(
      `api/link_create?${query({
        url,
        name,
        parent_length: parentLength,
        ...(parentOffset === null ? {} : { parent_offset: parentOffset }),
      })}`,
      { method: "POST", headers: { "Content-Type": "text/plain; charset=utf-8" }, body: parent + body },
    ),
  provenance: (stale: number) => call<{ records: ProvenanceRecord[] }>(`api/provenance?${query({ stale })}`),
  charts: (sheet: number) => call<{ charts: ChartData[] }>(`api/charts?${query({ sheet })}`),
  dismissMessage: () => call<DialogState>("api/message", { method: "POST" }),
  events: () => `api/events?${query({ client: pageId })}`,
};
