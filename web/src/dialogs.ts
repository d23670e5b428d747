// The add-in's menu, its dialogs and its message boxes. Every dialog is
// drawn from the description quillo sends (controls in creation order), so
// the page knows no dialog in particular; what the user does goes back to
// the dialog's model as the event it stands for, and the answer is the new
// state of every dialog.

export interface MenuEntry {
  path: string;
  caption: string;
  enabled: boolean;
  group: boolean;
  items?: MenuEntry[];
}

interface Control {
  kind: string;
  name: string;
  caption: string;
  text: string;
  enabled: boolean;
  visible: boolean;
  value: number;
  heads?: string[];
  rows?: string[][];
  index?: number;
  nodes?: { key: string; text: string; parent: number }[];
}

interface Dialog {
  name: string;
  caption: string;
  controls: Control[];
}

interface Message {
  text: string;
  title: string;
  icon: string;
}

export interface DialogState {
  dialogs: Dialog[];
  messages: Message[];
  weblink: boolean;
  // The add-in's dialogs are open in another tab (they are shown there).
  elsewhere?: boolean;
  // The order in which the server made the state: replies and the event
  // stream may overtake one another, and an older state is not shown.
  seq?: number;
}

// Accelerator marks ("&Settings...") are not shown.
export const plain = (caption: string) => caption.replace(/&(.)/g, "$1");

function el<K extends keyof HTMLElementTagNameMap>(tag: K, cls = "", text = ""): HTMLElementTagNameMap[K] {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text) e.textContent = text;
  return e;
}

export class Dialogs {
  // Actions go out one after another, in the order the user made them.
  private queue: Promise<unknown> = Promise.resolve();
  // The number of the newest dialog state shown.
  private shownSeq = 0;
  // What is drawn now.
  private drawn = "";

  constructor(
    private overlay: HTMLElement,
    private send: (dialog: string, control: string, action: string, value: string) => Promise<DialogState>,
    private dismiss: () => Promise<DialogState>,
    private onError: (text: string) => void,
    private onWeblink: (open: boolean) => void = () => {},
  ) {
    // Escape closes the dialog on top: a message as its OK does, a dialog
    // as its Cancel (or Close) button does, or its one button when it has
    // only one (About).
    document.addEventListener("keydown", (e) => {
      if (e.key !== "Escape" || this.overlay.hidden) return;
      const top = [...this.overlay.querySelectorAll<HTMLElement>(":scope > .dialog")].pop();
      if (!top) return;
      const buttons = [...top.querySelectorAll<HTMLButtonElement>(".buttons button")].filter((b) => !b.disabled);
      const cancel = top.classList.contains("message")
        ? buttons[0]
        : (buttons.find((b) => /^\s*(cancel|close)\s*$/i.test(b.textContent ?? "")) ?? (buttons.length === 1 ? buttons[0] : undefined));
      if (!cancel) return;
      e.preventDefault();
      e.stopPropagation();
      cancel.click();
    });
  }

  private act(dialog: string, control: string, action: string, value = ""): void {
    this.queue = this.queue
      .then(() => this.send(dialog, control, action, value))
      .then((state) => this.render(state))
      .catch((e: Error) => this.onError(e.message));
  }

  render(state: DialogState): void {
    if (state.seq !== undefined) {
      if (state.seq < this.shownSeq) return;
      this.shownSeq = state.seq;
    }
    this.onWeblink(state.weblink);
    // The same dialogs again (the reply and the event stream both bring
    // them) are left as they are: focus and scrolling stay.
    const drawn = JSON.stringify([state.dialogs, state.messages[0] ?? null]);
    if (drawn === this.drawn) return;
    this.drawn = drawn;
    // Typing in a text box survives a redraw.
    const focused = document.activeElement as HTMLInputElement | null;
    const keep = focused?.dataset?.control ? { id: focused.dataset.control, value: focused.value, at: focused.selectionStart } : null;
    this.overlay.replaceChildren();
    for (const d of state.dialogs) this.overlay.append(this.dialog(d));
    const m = state.messages[0];
    if (m) this.overlay.append(this.message(m));
    this.overlay.hidden = state.dialogs.length === 0 && !m;
    // The keyboard goes to the dialog on top (Tab, Enter, Escape).
    if (!this.overlay.hidden && !keep && !this.overlay.contains(document.activeElement)) {
      const top = [...this.overlay.querySelectorAll<HTMLElement>(":scope > .dialog")].pop();
      top?.querySelector<HTMLElement>("input:not([disabled]), select:not([disabled]), button:not([disabled])")?.focus();
    }
    if (keep) {
      const again = this.overlay.querySelector<HTMLInputElement>(`[data-control="${CSS.escape(keep.id)}"]`);
      if (again) {
        again.value = keep.value;
        again.focus();
        if (keep.at !== null) again.setSelectionRange(keep.at, keep.at);
      }
    }
  }

  private message(m: Message): HTMLElement {
    const box = el("section", `dialog message ${m.icon}`);
    box.setAttribute("role", "alertdialog");
    box.append(el("h2", "", m.title || "quillo"), el("p", "text", m.text));
    const ok = el("button", "", "OK");
    ok.type = "button";
    ok.addEventListener("click", () => {
      this.queue = this.queue
        .then(() => this.dismiss())
        .then((s) => this.render(s))
        .catch((e: Error) => this.onError(e.message));
    });
    const row = el("div", "buttons");
    row.append(ok);
    box.append(row);
    return box;
  }

  private dialog(d: Dialog): HTMLElement {
    const box = el("section", "dialog");
    box.setAttribute("role", "dialog");
    box.dataset.dialog = d.name;
    box.append(el("h2", "", plain(d.caption)));
    const body = el("div", "controls");
    const buttons = el("div", "buttons");
    for (const c of d.controls) {
      if (!c.visible) continue;
      const node = this.control(d.name, c);
      if (!node) continue;
      node.dataset.name = c.name;
      (c.kind === "button" ? buttons : body).append(node);
    }
    box.append(body, buttons);
    return box;
  }

  private control(dialog: string, c: Control): HTMLElement | null {
    const id = `${dialog}.${c.name}`;
    switch (c.kind) {
      case "label":
        return c.caption ? el("div", "label", plain(c.caption)) : null;
      case "frame":
        return el("div", "frame", plain(c.caption));
      case "textbox": {
        const input = el("input", "textbox");
        // A text box whose name says it holds a password does not show it.
        if (/password/i.test(c.name)) input.type = "password";
        input.value = c.text;
        input.disabled = !c.enabled;
        input.dataset.control = id;
        input.setAttribute("aria-label", c.name);
        input.addEventListener("change", () => this.act(dialog, c.name, "type", input.value));
        input.addEventListener("keydown", (e) => {
          if (e.key === "Enter") {
            this.act(dialog, c.name, "type", input.value);
            this.act(dialog, c.name, "key", "13");
          }
        });
        return input;
      }
      case "checkbox": {
        const label = el("label", "checkbox");
        const box = el("input");
        box.type = "checkbox";
        box.checked = c.value === 1;
        box.disabled = !c.enabled;
        box.addEventListener("click", (e) => {
          e.preventDefault();
          this.act(dialog, c.name, "click");
        });
        label.append(box, plain(c.caption));
        return label;
      }
      case "dropdown": {
        const select = el("select", "dropdown");
        select.disabled = !c.enabled;
        select.setAttribute("aria-label", c.name);
        (c.rows ?? []).forEach((r, i) => {
          const o = el("option", "", r[0] ?? "");
          o.value = String(i);
          select.append(o);
        });
        select.value = String(c.index ?? -1);
        if ((c.index ?? -1) < 0) select.selectedIndex = -1;
        select.addEventListener("change", () => this.act(dialog, c.name, "choose", select.value));
        return select;
      }
      case "listbox": {
        const table = el("table", "listbox");
        table.setAttribute("aria-label", c.name);
        if (c.heads && c.heads.some((h) => h)) {
          const tr = el("tr");
          for (const h of c.heads) tr.append(el("th", "", h));
          table.append(tr);
        }
        (c.rows ?? []).forEach((r, i) => {
          const tr = el("tr", i === c.index ? "chosen" : "");
          for (const t of r) tr.append(el("td", "", t));
          if (c.enabled) {
            tr.addEventListener("click", () => this.act(dialog, c.name, "choose", String(i)));
            tr.addEventListener("dblclick", () => this.act(dialog, c.name, "dblclick"));
          }
          table.append(tr);
        });
        const wrap = el("div", "list");
        wrap.append(table);
        return wrap;
      }
      case "tree": {
        const list = el("div", "tree");
        list.setAttribute("aria-label", c.name);
        const depth = (i: number): number => {
          let d = 0;
          for (let p = c.nodes![i].parent; p >= 0 && d < 20; p = c.nodes![p].parent) d++;
          return d;
        };
        (c.nodes ?? []).forEach((n, i) => {
          const row = el("div", i === c.index ? "node chosen" : "node", n.text);
          row.style.paddingLeft = `${6 + 14 * depth(i)}px`;
          row.dataset.key = n.key;
          if (c.enabled) row.addEventListener("click", () => this.act(dialog, c.name, "node", String(i)));
          list.append(row);
        });
        return list;
      }
      case "button": {
        const b = el("button", "", plain(c.caption));
        b.type = "button";
        b.disabled = !c.enabled;
        b.addEventListener("click", () => this.act(dialog, c.name, "click"));
        return b;
      }
      default:
        return null;
    }
  }
}

// The menu is drawn by menu.ts.
export { drawMenu } from "./menu";
