// The file's layout in the browser: a workbook with widths, a taller row,
// bold, italic, a fill, text aligned right, a merged heading, frozen panes
// and text running into empty cells (testdata/xlsx/layout.xlsx, made by
// testdata/xlsx/make.py), and a column resized by dragging, saved.

import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import { Workspace } from "./harness.mjs";

const here = dirname(fileURLToPath(import.meta.url));
// A screenshot for the README lands in docs/screenshots/ when QUILLO_SCREENSHOTS is set.
const shots = process.env.QUILLO_SCREENSHOTS ? join(here, "..", "..", "docs", "screenshots") : null;
const ws = new Workspace();
let page;

const cell = (address) => page.locator(`#cells .cell[data-address="${address}"]`);
// The grid draws its cells again as data arrives: a cell taken away between
// the wait and the measure is waited for again.
const box = async (locator) => {
  for (;;) {
    await locator.waitFor({ state: "visible" });
    const b = await locator.boundingBox();
    if (b) return b;
  }
};
const size = async (locator) => {
  const b = await box(locator);
  return [Math.round(b.width), Math.round(b.height)];
};
const style = (address, property) => cell(address).evaluate((el, p) => getComputedStyle(el)[p], property);
const head = (col) => page.locator(`#col-heads .head.col[data-col="${col}"]`);

before(async () => {
  await ws.start(join(here, "..", "..", "testdata", "xlsx", "layout.xlsx"));
  page = await ws.context.newPage();
  page.setDefaultTimeout(15000);
  await page.goto(ws.address);
  await cell("A1").filter({ hasText: "Instrument" }).waitFor();
});
after(async () => ws.stop());

test("widths, heights, fonts, fills, alignment and merges come from the file", async () => {
  // 30 and 14 characters of a 7-pixel digit, B at the default; row 1 is 30 points.
  assert.deepEqual(await size(cell("A1")), [210, 40]);
  assert.deepEqual(await size(cell("B1")), [64, 40]);
  assert.deepEqual(await size(cell("C2")), [98, 20]);
  assert.equal(await style("A1", "fontWeight"), "700");
  assert.equal(await style("B1", "fontStyle"), "italic");
  assert.equal(await style("C1", "backgroundColor"), "rgb(255, 255, 0)");
  assert.equal(await style("D2", "textAlign"), "right"); // text aligned right by the file
  assert.equal(await style("C2", "textAlign"), "right"); // a number, by default
  assert.equal(await style("B1", "textAlign"), "start");
  // One box over A4:C5 with the top-left cell's text; the others are not drawn.
  assert.deepEqual(await size(cell("A4")), [210 + 64 + 98, 40]);
  assert.equal(await cell("A4").textContent(), "Merged heading");
  assert.equal(await cell("B4").count(), 0);
  assert.equal(await cell("C5").count(), 0);
  if (shots) await page.screenshot({ path: join(shots, "layout.png") });
});

test("text runs over empty neighbours, stops at a filled one, lets clicks through, and wraps where the file says", async () => {
  const spill = cell("B7").locator(".spill");
  const [width] = await size(spill);
  assert.ok(width > 64 + 98, `the text spans ${width} pixels`);
  assert.equal(await cell("B8").locator(".spill").count(), 0);
  assert.deepEqual(await size(cell("B8")), [64, 20]);
  // The cell under the running text is still the one clicked.
  await cell("C7").click();
  await page.locator('#cells .cell.selected[data-address="C7"]').waitFor();
  // Text the file wraps stays in its cell, broken into lines.
  assert.equal(await style("B9", "whiteSpace"), "pre-wrap");
  assert.equal(await cell("B9").locator(".spill").count(), 0);
  assert.deepEqual(await size(cell("B9")), [64, 20]);
});

test("the cursor moved by keys onto a merged area selects and edits the whole area and leaves it past its far edge", async () => {
  const selected = page.locator(".cell.selected");
  const at = async (address) => {
    await page.locator(`.cell.selected[data-address="${address}"]`).waitFor();
    assert.equal(await selected.count(), 1);
    assert.equal(await page.locator("#address").inputValue(), address);
  };
  await cell("B3").click();
  await at("B3");
  // B4 is covered by A4:C5: the area's top-left cell is the cursor, its box the selection.
  await page.keyboard.press("ArrowDown");
  await at("A4");
  assert.deepEqual(await size(selected), [210 + 64 + 98, 40]);
  // Its text is edited in a box over the whole area.
  await page.keyboard.press("F2");
  const editor = page.locator("#grid .editor");
  await editor.waitFor();
  assert.deepEqual(await size(editor), [210 + 64 + 98, 40]);
  await page.keyboard.press("Escape");
  await editor.waitFor({ state: "hidden" });
  await page.keyboard.press("ArrowDown");
  await at("A6");
  await page.keyboard.press("ArrowUp");
  await at("A4");
  await page.keyboard.press("ArrowRight");
  await at("D4");
  await page.keyboard.press("ArrowLeft");
  await at("A4");
  await page.keyboard.press("ArrowUp");
  await at("A3");
});

test("a selection takes in every merged area it touches whole, and Ctrl+End counts merged areas", async () => {
  // The cells marked, each once (a frozen column's cells are drawn in its own layer).
  const ranged = () => page.locator("#grid .cell.in-range").evaluateAll((els) => [...new Set(els.map((e) => e.dataset.address))].sort().join(" "));
  const marked = (n) => page.waitForFunction((n) => new Set([...document.querySelectorAll("#grid .cell.in-range")].map((e) => e.dataset.address)).size === n, n);
  await cell("B3").click();
  await page.locator('.cell.selected[data-address="B3"]').waitFor();
  // B3:B4 touches A4:C5: the selection is A3:C5.
  await page.keyboard.press("Shift+ArrowDown");
  await marked(4);
  assert.equal(await ranged(), "A3 A4 B3 C3");
  // The next step goes past the area's far edge, and back again.
  await page.keyboard.press("Shift+ArrowDown");
  await marked(7);
  assert.equal(await ranged(), "A3 A4 A6 B3 B6 C3 C6");
  await page.keyboard.press("Shift+ArrowUp");
  await marked(4);
  assert.equal(await ranged(), "A3 A4 B3 C3");
  await page.keyboard.press("Shift+ArrowUp");
  await marked(0);
  // The empty merged area F420:G421 below the last number ends the used range.
  await page.keyboard.press("Control+End");
  await page.locator('.cell.selected[data-address="F420"]').waitFor();
  assert.equal(await page.locator("#address").inputValue(), "F420");
  await page.keyboard.press("Control+Home");
  await page.locator('.cell.selected[data-address="A1"]').waitFor();
});

test("frozen rows and columns stay in view while the sheet scrolls", async () => {
  const grid = page.locator("#grid");
  const origin = await grid.boundingBox();
  await grid.evaluate((el) => el.scrollTo(300, 3000));
  const row = page.locator('#frozen-rows .cell[data-address="D1"]');
  const col = page.locator('#frozen-cols .cell[data-address="A160"]');
  // Under the column heads (22 pixels) and right of the row heads (52).
  const r = await box(row);
  assert.equal(Math.round(r.y - origin.y), 22);
  const c = await box(col);
  assert.equal(Math.round(c.x - origin.x), 52);
  // Its text comes with the cells asked for at the new place.
  await col.filter({ hasText: /^160$/ }).waitFor();
  const corner = await box(page.locator('#frozen-corner .cell[data-address="A1"]'));
  assert.deepEqual([Math.round(corner.x - origin.x), Math.round(corner.y - origin.y)], [52, 22]);
  await grid.evaluate((el) => el.scrollTo(0, 0));
});

test("a column resized by dragging its head's edge is an edit, saved into the file", async () => {
  // The heads are drawn again as the cells scrolled back into view arrive:
  // the handle is asked for until one stays in place long enough to measure.
  let edge = null;
  while (!edge) edge = await head(2).locator(".resize").boundingBox();
  await page.mouse.move(edge.x + edge.width / 2, edge.y + edge.height / 2);
  await page.mouse.down();
  await page.mouse.move(edge.x + edge.width / 2 + 40, edge.y + edge.height / 2, { steps: 4 });
  await page.mouse.move(edge.x + edge.width / 2 + 80, edge.y + edge.height / 2, { steps: 4 });
  await page.mouse.up();
  assert.deepEqual(await size(cell("B2")), [144, 20]);
  await page.locator("#dirty").waitFor({ state: "visible" });
  await page.locator("#save").click();
  await page.locator("#message.info").filter({ hasText: "Saved" }).waitFor();
  await page.locator("#dirty").waitFor({ state: "hidden" });
  // The file holds it: read back from the file, the page draws it again.
  const reloaded = await fetch(ws.direct + "api/reload", { method: "POST" });
  assert.equal(reloaded.status, 200);
  // While the sheet's sizes are held back, no cells are asked for: none is
  // drawn at the default sizes (the menu is asked for just after them).
  let release;
  const held = new Promise((r) => (release = r));
  await page.route(/api\/layout/, async (route) => {
    await held;
    await route.continue();
  });
  const views = [];
  const count = (req) => /api\/view\?/.test(req.url()) && views.push(req.url());
  page.on("request", count);
  const menuAsked = page.waitForResponse(/api\/menu/);
  await page.reload();
  await menuAsked;
  page.off("request", count);
  assert.deepEqual(views, []);
  release();
  await cell("A1").filter({ hasText: "Instrument" }).waitFor();
  assert.deepEqual(await size(cell("B2")), [144, 20]);
  assert.deepEqual(await size(cell("A1")), [210, 40]);
  await page.unroute(/api\/layout/);
});

test("a paste or edit that would write under a merged area's top-left cell is refused whole", async () => {
  await page.locator("#address").fill("A4");
  await page.locator("#address").press("Enter");
  await page.locator('.cell.selected[data-address="A4"]').first().waitFor();
  await page.evaluate((t) => {
    const data = new DataTransfer();
    data.setData("text/plain", t);
    document.getElementById("grid").dispatchEvent(new ClipboardEvent("paste", { clipboardData: data, bubbles: true }));
  }, "x\ty\n");
  await page.locator("#message:not(.info)").filter({ hasText: "nothing pasted: B4 lies under the merged cells A4:C5" }).waitFor();
  assert.equal(await cell("A4").textContent(), "Merged heading");
  const post = (path, body) => fetch(`${ws.direct}api/${path}`, { method: "POST", body }).then(async (r) => [r.status, (await r.json()).error]);
  // A5 and B5 too, and a single edit of a covered cell; the top-left cell itself is written.
  let [status, error] = await post("edits?sheet=0&r1=5&c1=1&r2=5&c2=2", JSON.stringify({ texts: ["a", "b"] }));
  assert.deepEqual([status, error], [400, "A5 lies under the merged cells A4:C5; only A4 can be written"]);
  [status, error] = await post("edit?sheet=0&row=5&col=2", "b");
  assert.equal(status, 400);
  assert.match(error, /merged cells A4:C5/);
  // Clearing the whole area writes only its top-left cell (the rest is empty already).
  [status] = await post("edits?sheet=0&r1=4&c1=1&r2=5&c2=3", JSON.stringify({ texts: ["Merged heading", "", "", "", "", ""] }));
  assert.equal(status, 200);
});
