// The page around the grid: the add-in's menu and dialogs, the unsaved
// mark, charts, the sheet list, Financial Templates and a server restart,
// in headless chromium against quillo ui and the local market service.

import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { existsSync, mkdirSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import { Workspace } from "./harness.mjs";

// Screenshots for the docs land in docs/screenshots/ when QUILLO_SCREENSHOTS is set.
const shots = process.env.QUILLO_SCREENSHOTS ? join(dirname(fileURLToPath(import.meta.url)), "..", "..", "docs", "screenshots") : null;

const ws = new Workspace();
let page;

const cell = (address) => page.locator(`#cells .cell[data-address="${address}"]`);
const selected = () => page.locator("#cells .cell.selected").getAttribute("data-address");
const dialog = (name) => page.locator(`#overlay .dialog[data-dialog="${name}"]`);
const menuOpen = () => page.locator("#menu.open").count();
async function goTo(address) {
  await page.locator("#address").fill(address);
  await page.locator("#address").press("Enter");
  await page.locator(`#cells .cell.selected[data-address="${address}"]`).waitFor();
}
async function menu(...entries) {
  await page.locator("#menu .menu-title").click();
  for (const entry of entries) await page.locator("#menu .menu-items button", { hasText: entry }).first().click();
}
// The contrast of a menu entry's text on its ground (WCAG's ratio).
const contrast = (locator) =>
  locator.evaluate((el) => {
    const rgb = (c) => c.match(/[\d.]+/g).slice(0, 3).map(Number);
    const lum = (c) => {
      const [r, g, b] = rgb(c).map((v) => {
        const s = v / 255;
        return s <= 0.03928 ? s / 12.92 : ((s + 0.055) / 1.055) ** 2.4;
      });
      return 0.2126 * r + 0.7152 * g + 0.0722 * b;
    };
    const style = getComputedStyle(el);
    const [a, b] = [lum(style.color), lum(style.backgroundColor)].sort((x, y) => y - x);
    return (a + 0.05) / (b + 0.05);
  });
const inViewport = (box, view) => box.x >= 0 && box.y >= 0 && box.x + box.width <= view.width && box.y + box.height <= view.height;

before(async () => {
  await ws.start();
  page = await ws.context.newPage();
  page.setDefaultTimeout(15000);
  await page.goto(ws.address);
  await page.locator("#connection").filter({ hasText: "live" }).waitFor();
});
after(async () => ws.stop());

test("the menu is readable in both themes and closes with Escape and outside clicks, which select nothing", async () => {
  for (const colorScheme of ["dark", "light"]) {
    await page.emulateMedia({ colorScheme });
    await page.locator("#menu .menu-title").click();
    const entry = page.locator("#menu .menu-items button", { hasText: "Settings..." });
    await entry.waitFor();
    assert.ok((await contrast(entry)) >= 4.5, `${colorScheme}: contrast ${await contrast(entry)}`);
    await page.keyboard.press("Escape");
    await entry.waitFor({ state: "hidden" });
  }
  await goTo("B2");
  await page.locator("#menu .menu-title").click();
  await cell("D8").click();
  assert.equal(await menuOpen(), 0);
  assert.equal(await selected(), "B2", "the click that closed the menu selected nothing");
  await cell("D8").click();
  assert.equal(await selected(), "D8");
  // The keyboard: down into the menu, right into a submenu, Escape out of each.
  await page.locator("#menu .menu-title").focus();
  await page.keyboard.press("ArrowDown");
  assert.equal(await page.evaluate(() => document.activeElement.textContent), "Search...");
  await page.keyboard.press("ArrowUp");
  assert.equal(await page.evaluate(() => document.activeElement.textContent), "Help");
  await page.keyboard.press("ArrowRight");
  assert.equal(await page.evaluate(() => document.activeElement.textContent), "Online help");
  await page.keyboard.press("Escape");
  assert.equal(await page.evaluate(() => document.activeElement.textContent), "Help");
  await page.keyboard.press("Escape");
  assert.equal(await menuOpen(), 0);
});

test("dialogs fit a short window, scroll inside and close with Escape", async () => {
  await page.setViewportSize({ width: 1280, height: 360 });
  await menu("Settings...");
  const settings = dialog("settings");
  await settings.waitFor();
  const view = page.viewportSize();
  assert.ok(inViewport(await settings.boundingBox(), view), "the dialog fits the window");
  assert.ok(inViewport(await settings.locator("button", { hasText: "Ok" }).boundingBox(), view), "its buttons are in view");
  await page.keyboard.press("Escape");
  await settings.waitFor({ state: "detached" });
  await menu("Help", "About");
  await dialog("about").waitFor();
  await page.keyboard.press("Escape");
  await dialog("about").waitFor({ state: "detached" });
  await menu("Create Weblink");
  await page.locator("#weblink").waitFor();
  await page.keyboard.press("Escape");
  await page.locator("#weblink").waitFor({ state: "hidden" });
  await page.setViewportSize({ width: 1280, height: 720 });
});

test("a dialog left open by a tab that closed is cancelled, not passed on to the next tab", async () => {
  const gone = await ws.context.newPage();
  gone.setDefaultTimeout(15000);
  await gone.goto(ws.address);
  await gone.locator("#connection:not(.lost)").filter({ hasText: "live" }).waitFor();
  await gone.locator("#menu .menu-title").click();
  await gone.locator("#menu .menu-items button", { hasText: "Settings..." }).first().click();
  await gone.locator('#overlay .dialog[data-dialog="settings"]').waitFor();
  await gone.close();
  // Once the closed tab has been away a few seconds, no page has the
  // dialog (asked one call at a time until so).
  await page.waitForFunction(
    () => {
      if (window.dialogsFree === undefined) {
        window.dialogsFree = fetch("api/dialogs", { cache: "no-store" })
          .then((r) => r.json())
          .then((d) => (window.dialogsFree = !d.elsewhere && d.dialogs.length === 0 ? true : undefined));
      }
      return window.dialogsFree === true;
    },
    null,
    { polling: 250, timeout: 20000 },
  );
  // And this tab opens its own.
  await menu("Settings...");
  await dialog("settings").waitFor();
  await page.keyboard.press("Escape");
  await dialog("settings").waitFor({ state: "detached" });
});

test("only the user's edits are unsaved: refreshed values are not, an assistant's insert is", async () => {
  // The quotes arrive (and are asked again by the update timer): no mark.
  await page.waitForFunction(() => /\d/.test(document.querySelector('#cells .cell[data-address="C4"]')?.textContent ?? ""));
  await page.locator("#arrived").filter({ hasText: /values at/ }).waitFor();
  const book = await (await fetch(ws.direct + "api/book")).json();
  assert.equal(book.dirty, false);
  assert.equal(await page.locator("#dirty").isHidden(), true);
  // Leaving asks nothing.
  let asked = false;
  const ask = (d) => {
    asked = true;
    d.dismiss();
  };
  page.on("dialog", ask);
  await page.reload();
  await page.locator("#connection").filter({ hasText: "live" }).waitFor();
  assert.equal(asked, false);
  // A table the single data item assistant writes is the user's edit.
  await goTo("J40");
  await menu("Single Dataitem Assistant");
  const step1 = dialog("wiz1");
  await step1.locator('table[aria-label="source_list"] tr', { hasText: "compact pages" }).click();
  await step1.locator('input[aria-label="dlg_ids"]').fill("BVM");
  await step1.locator('input[aria-label="dlg_ids"]').press("Tab");
  await step1.locator("button", { hasText: "Next" }).click();
  const step2 = dialog("wiz2");
  await step2.locator('.tree .node[data-key="LMM.QUO.LAST"]').click();
  await step2.locator("button", { hasText: "Add" }).click();
  await step2.locator('table[aria-label="fieldlist"] tr').first().waitFor();
  await step2.locator("button", { hasText: "Next" }).click();
  await dialog("wiz3").locator("button", { hasText: "Finish" }).click();
  await dialog("wiz3").waitFor({ state: "detached" });
  await page.locator("#dirty").waitFor({ state: "visible" });
  // Now leaving asks.
  const asking = page.waitForEvent("dialog");
  page.off("dialog", ask);
  page.on("dialog", (d) => d.accept().catch(() => {}));
  await page.close({ runBeforeUnload: true });
  assert.equal((await asking).type(), "beforeunload");
  page = await ws.context.newPage();
  page.setDefaultTimeout(15000);
  await page.goto(ws.address);
  await page.locator("#save").click();
  await page.locator("#message.info").filter({ hasText: "Saved" }).waitFor();
  await page.locator("#dirty").waitFor({ state: "hidden" });
});

test("a chart opens in view, titled by instrument and sampling, moves by its title bar and closes", async () => {
  await page.locator("#tabs button", { hasText: "History" }).click();
  const chart = page.locator("#charts .chart");
  await chart.locator("canvas").waitFor();
  assert.match(await chart.locator(".chart-title").textContent(), /^[A-Z]{3} — daily$/);
  const grid = await page.locator("#grid").boundingBox();
  const box = await chart.boundingBox();
  assert.ok(box.x >= grid.x && box.x + box.width <= grid.x + grid.width, "in view across");
  assert.ok(box.y >= grid.y && box.y + box.height <= grid.y + grid.height, "in view down");
  const head = await chart.locator(".chart-head").boundingBox();
  await page.mouse.move(head.x + 40, head.y + head.height / 2);
  await page.mouse.down();
  await page.mouse.move(head.x - 160, head.y + head.height / 2 + 60, { steps: 4 });
  await page.mouse.up();
  const moved = await chart.boundingBox();
  assert.equal(Math.round(moved.x - box.x), -200);
  assert.equal(Math.round(moved.y - box.y), 60);
  await chart.locator(".chart-close").click();
  await chart.waitFor({ state: "detached" });
  // The charts are asked for again as the sheet's cells change: it stays closed.
  const charted = page.waitForResponse((r) => r.url().includes("api/charts"));
  await page.evaluate(() => fetch("api/edit?sheet=1&row=30&col=16&client=t", { method: "POST", body: "x" }));
  await charted;
  assert.equal(await chart.count(), 0);
  await page.locator("#tabs button", { hasText: "Quotes" }).click();
});

test("a sheet the link wizard adds reaches the page's sheet list without a reload", async () => {
  const before = Number(await page.locator("#tabs").getAttribute("data-sheets"));
  const client = "linker";
  const call = (path, body) => fetch(`${ws.direct}api/${path}&client=${client}`, { method: "POST", body });
  assert.equal((await call("select?sheet=0&row=60&col=1")).status, 200);
  const parent = "<td>7.25</td>";
  const res = await call(
    `link_create?url=${encodeURIComponent(`${ws.base}/wl/many?n=1&v=7.25`)}&name=seven&parent_length=${parent.length}`,
    `${parent}<body><table><tr><td>7.25</td></tr></table></body>`,
  );
  assert.equal(res.status, 200, await res.text());
  await page.locator(`#tabs[data-sheets="${before + 1}"]`).waitFor();
});

test("Financial Templates opens the portfolio tracker as a workbook of its own, saved beside this one", async () => {
  // By keyboard: the menu, down to Financial Templates, into it.
  await page.locator("#menu .menu-title").focus();
  const downTo = async (caption) => {
    for (let i = 0; i < 12 && (await page.evaluate(() => document.activeElement.textContent)) !== caption; i++) await page.keyboard.press("ArrowDown");
  };
  await page.keyboard.press("ArrowDown");
  await downTo("Financial Templates");
  await page.keyboard.press("ArrowRight");
  await downTo("Portfolio tracker");
  if (shots) {
    mkdirSync(shots, { recursive: true });
    await page.screenshot({ path: join(shots, "menu.png") });
  }
  await page.keyboard.press("Enter");
  const message = page.locator("#overlay .dialog.message");
  await message.filter({ hasText: "saved as" }).waitFor();
  const file = /saved as (.*\.xlsx)\./.exec(await message.textContent())[1];
  assert.ok(existsSync(file), file);
  const shown = await ws.run(["show", file, "A1"]);
  assert.equal(shown.code, 0, shown.out);
  await page.keyboard.press("Escape");
  await message.waitFor({ state: "detached" });
});

test("after a restart of quillo ui the page says so, shows no cells and opens the new address", async () => {
  await goTo("A61");
  const edited = await page.evaluate(async () => (await fetch("api/edit?sheet=0&row=61&col=1&client=t", { method: "POST", body: "not saved" })).status);
  assert.equal(edited, 200);
  await cell("A61").filter({ hasText: "not saved" }).waitFor();
  await ws.restartUi();
  const gone = page.locator("#server-gone");
  await gone.waitFor({ state: "visible" });
  assert.equal(await cell("A61").isVisible(), false, "the lost edit is not shown");
  await gone.locator("input").fill("http://example.com/");
  await gone.locator("button").click();
  await gone.locator(".why").filter({ hasText: "not a quillo ui address" }).waitFor();
  await gone.locator("input").fill(ws.address);
  await gone.locator("button").click();
  await page.waitForURL(ws.address);
  await page.locator("#connection").filter({ hasText: "live" }).waitFor();
  // Once the new server's cells are shown, the edit the old one lost is not among them.
  await cell("A1").filter({ hasText: "quillo demo" }).waitFor();
  await goTo("A61");
  assert.equal(await cell("A61").textContent(), "");
});
