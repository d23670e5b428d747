// The link wizard's page view: quillo fetches the page (through its own
// transport) and the page is shown in a sandboxed frame that runs no
// scripts. The frame shares this page's origin only so that its selection
// can be read here; with scripts off, the fetched page cannot read
// anything, and the page's policy (inherited by the frame) lets it load
// nothing from elsewhere and send no referrer.

import { api, ApiError } from "./api";

// Bytes of a text in UTF-8, as quillo counts them.
const utf8Length = (s: string) => new TextEncoder().encode(s).length;

// Where the element's outer HTML starts in the body's (in UTF-8 bytes), so
// that quillo links the element selected rather than the first identical
// one. A mark put on the element for a moment shows its place: the body's
// HTML with the mark is the same as without it up to the element's start
// tag, whose text before the mark is known from the element's own HTML.
function elementOffset(bodyElement: HTMLElement, element: Element, body: string): number | null {
  if (element === bodyElement) return 0;
  const attribute = "data-quillo-selected";
  const mark = `${attribute}="${Math.random().toString(36).slice(2)}"`;
  const value = mark.slice(attribute.length + 2, -1);
  element.setAttribute(attribute, value);
  try {
    const inBody = bodyElement.outerHTML.indexOf(mark);
    const inElement = element.outerHTML.indexOf(mark);
    if (inBody < 0 || inElement < 0 || inBody < inElement) return null;
    const start = inBody - inElement;
    if (!body.startsWith(element.outerHTML.slice(0, inElement).trimEnd(), start)) return null;
    return utf8Length(body.slice(0, start));
  } finally {
    element.removeAttribute(attribute);
  }
}

export class LinkWizard {
  private url = "";

  constructor(
    private panel: HTMLElement,
    private frame: HTMLIFrameElement,
    private address: HTMLInputElement,
    private name: HTMLInputElement,
    private status: HTMLElement,
    private onError: (text: string) => void,
  ) {
    (panel.querySelector("#link-go") as HTMLElement).addEventListener("click", () => this.load());
    address.addEventListener("keydown", (e) => {
      if (e.key === "Enter") this.load();
    });
    (panel.querySelector("#link-create") as HTMLElement).addEventListener("click", () => this.create());
    (panel.querySelector("#link-cancel") as HTMLElement).addEventListener("click", () => {
      api.link("close").catch(() => {});
      this.show(false);
    });
    // Escape cancels it, as the button does, unless a dialog or message
    // (drawn above it) takes the key.
    document.addEventListener("keydown", (e) => {
      const overlay = document.getElementById("overlay");
      if (e.key !== "Escape" || panel.hidden || (overlay && !overlay.hidden)) return;
      e.preventDefault();
      (panel.querySelector("#link-cancel") as HTMLElement).click();
    });
  }

  show(open: boolean): void {
    if (open === !this.panel.hidden) return;
    this.panel.hidden = !open;
    if (open) {
      this.say("Enter the address of a page, then select a value on it and press Create.");
      this.address.focus();
    }
  }

  private say(text: string, error = false): void {
    this.status.textContent = text;
    this.status.className = error ? "status error" : "status";
  }

  private async load(): Promise<void> {
    const url = this.address.value.trim();
    this.say(`Loading ${url} ...`);
    try {
      const { fetch } = await api.linkFetch(url);
      for (;;) {
        const page = await api.linkPage(fetch);
        if (page.state === "waiting") {
          await new Promise((r) => setTimeout(r, 200));
          continue;
        }
        if (page.state === "failed") {
          this.say(page.error ?? "the page could not be fetched", true);
          return;
        }
        this.url = url;
        // Set as a property: the page becomes the frame's document, never
        // part of this one.
        this.frame.srcdoc = page.html ?? "";
        this.say("Select a value on the page, then press Create.");
        return;
      }
    } catch (e) {
      if (e instanceof ApiError) this.say(e.message, true);
    }
  }

  private async create(): Promise<void> {
    const doc = this.frame.contentDocument;
    if (!doc?.body || !this.url) {
      this.say("Load a page first.", true);
      return;
    }
    const selection = this.frame.contentWindow?.getSelection();
    let parent = "";
    let element: Element | null = null;
    if (selection && selection.rangeCount > 0 && !selection.isCollapsed) {
      const node = selection.getRangeAt(0).commonAncestorContainer;
      element = node.nodeType === Node.ELEMENT_NODE ? (node as Element) : node.parentElement;
      parent = element?.outerHTML ?? "";
    }
    const body = doc.body.outerHTML;
    try {
      const r = await api.linkCreate(
        this.url,
        this.name.value.trim(),
        parent,
        body,
        utf8Length(parent),
        element ? elementOffset(doc.body, element, body) : null,
      );
      if (r.stored) {
        this.say(`Link ${r.name} created for "${r.value}".`);
        this.show(false);
      }
    } catch (e) {
      if (e instanceof ApiError) this.onError(e.message);
    }
  }
}
