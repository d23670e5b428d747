// The add-in's menu as a drop-down in the bar. It closes with Escape, with
// a click on an entry and with a click anywhere else; that click only
// closes it (the cell under it is not selected). With the keyboard: the
// arrows move between entries and into and out of submenus, Enter or Space
// clicks.

import type { MenuEntry } from "./dialogs";

// Accelerator marks ("&Settings...") are not shown.
const plain = (caption: string) => caption.replace(/&(.)/g, "$1");

function el<K extends keyof HTMLElementTagNameMap>(tag: K, cls = "", text = ""): HTMLElementTagNameMap[K] {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text) e.textContent = text;
  return e;
}

// The root's open menu, so that a redraw (the menu is drawn again at every
// reconnection) leaves one set of document listeners.
const closers = new WeakMap<HTMLElement, () => void>();
// Escape with the focus elsewhere (after a click on the title) closes it too.
document.addEventListener("keydown", (k) => {
  if (k.key !== "Escape") return;
  for (const root of document.querySelectorAll<HTMLElement>(".menu.open")) {
    if (!root.contains(document.activeElement)) closers.get(root)?.();
  }
});

export function drawMenu(root: HTMLElement, entries: MenuEntry[], click: (path: string) => void): void {
  closers.get(root)?.();
  root.replaceChildren();
  const top = el("button", "menu-title", "Tarnvale");
  top.type = "button";
  top.setAttribute("aria-haspopup", "menu");
  top.setAttribute("aria-expanded", "false");

  const close = (refocus = false) => {
    if (!root.classList.contains("open")) return;
    root.classList.remove("open");
    for (const open of root.querySelectorAll(".open")) open.classList.remove("open");
    top.setAttribute("aria-expanded", "false");
    document.removeEventListener("pointerdown", outside, true);
    document.removeEventListener("click", swallow, true);
    if (refocus) top.focus();
  };
  closers.set(root, () => close());
  // A press outside closes the menu and goes no further: the grid under it
  // does not see it, nor the click it ends in.
  let swallowing = false;
  const outside = (e: Event) => {
    if (root.contains(e.target as Node)) return;
    e.preventDefault();
    e.stopPropagation();
    swallowing = true;
    close();
    document.addEventListener("click", swallow, true);
    document.addEventListener("mousedown", swallowPress, { capture: true, once: true });
  };
  const swallowPress = (e: Event) => {
    if (!swallowing) return;
    e.preventDefault();
    e.stopPropagation();
  };
  const swallow = (e: Event) => {
    document.removeEventListener("click", swallow, true);
    if (!swallowing) return;
    swallowing = false;
    e.preventDefault();
    e.stopPropagation();
  };
  const open = () => {
    root.classList.add("open");
    top.setAttribute("aria-expanded", "true");
    document.addEventListener("pointerdown", outside, true);
  };

  // The buttons of one list, enabled or not (disabled ones are skipped).
  const buttonsOf = (ul: Element) =>
    [...ul.children].map((li) => li.querySelector<HTMLButtonElement>(":scope > button")).filter((b): b is HTMLButtonElement => !!b && !b.disabled);
  const step = (from: HTMLButtonElement, by: number) => {
    const list = buttonsOf(from.closest("ul")!);
    const i = list.indexOf(from);
    list[(i + by + list.length) % list.length]?.focus();
  };

  const list = (items: MenuEntry[]): HTMLElement => {
    const ul = el("ul", "menu-items");
    ul.setAttribute("role", "menu");
    for (const e of items) {
      const li = el("li", e.group ? "group" : "");
      const b = el("button", "", plain(e.caption));
      b.type = "button";
      b.disabled = !e.enabled;
      b.setAttribute("role", "menuitem");
      li.append(b);
      if (e.items) {
        li.classList.add("sub");
        const sub = list(e.items);
        const enter = () => {
          for (const other of li.parentElement!.querySelectorAll(":scope > li.open")) if (other !== li) other.classList.remove("open");
          li.classList.add("open");
          buttonsOf(sub)[0]?.focus();
        };
        b.addEventListener("click", () => (li.classList.contains("open") ? li.classList.remove("open") : enter()));
        b.addEventListener("keydown", (k) => {
          if (k.key === "ArrowRight") {
            k.preventDefault();
            k.stopPropagation();
            enter();
          }
        });
        li.append(sub);
      } else {
        b.addEventListener("click", () => {
          close();
          click(e.path);
        });
      }
      ul.append(li);
    }
    ul.addEventListener("keydown", (k) => {
      const b = k.target as HTMLButtonElement;
      if (b.closest("ul") !== ul) return;
      if (k.key === "ArrowDown" || k.key === "ArrowUp") {
        k.preventDefault();
        step(b, k.key === "ArrowDown" ? 1 : -1);
      } else if (k.key === "ArrowLeft" && ul.parentElement?.tagName === "LI") {
        k.preventDefault();
        k.stopPropagation();
        ul.parentElement.classList.remove("open");
        ul.parentElement.querySelector<HTMLButtonElement>(":scope > button")?.focus();
      }
    });
    return ul;
  };
  const menu = list(entries);

  top.addEventListener("click", () => (root.classList.contains("open") ? close() : open()));
  top.addEventListener("keydown", (k) => {
    if (k.key === "ArrowDown" || ((k.key === "Enter" || k.key === " ") && !root.classList.contains("open"))) {
      k.preventDefault();
      open();
      buttonsOf(menu)[0]?.focus();
    }
  });
  root.addEventListener("keydown", (k) => {
    if (k.key !== "Escape") return;
    k.preventDefault();
    k.stopPropagation();
    // Escape closes the innermost open submenu first, then the menu.
    const openSub = [...root.querySelectorAll<HTMLElement>("li.sub.open")].pop();
    if (openSub && openSub.contains(document.activeElement)) {
      openSub.classList.remove("open");
      openSub.querySelector<HTMLButtonElement>(":scope > button")?.focus();
    } else {
      close(true);
    }
  });
  root.append(top, menu);
}
