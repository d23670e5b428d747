// The grid as a spreadsheet user works in it: keys, editing in place,
// undo, selection, the clipboard, reach and focus. Every edit goes through
// quillo; what a cell shows is what quillo sent back.

import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { answerHolder, Workspace } from "./harness.mjs";

const ws = new Workspace();
let page;
let hold;

const cell = (address) => page.locator(`#cells .cell[data-address="${address}"]`);
const selected = (address) => page.locator(`#cells .cell.selected[data-address="${address}"]`).waitFor();
const shows = (address, text) =>
  page.waitForFunction(
    ([a, t]) => (document.querySelector(`#cells .cell[data-address="${a}"]`)?.textContent ?? null) === t,
    [address, text],
  );
const press = (...keys) => keys.reduce((p, k) => p.then(() => page.keyboard.press(k)), Promise.resolve());
async function goTo(address) {
  await page.locator("#address").fill(address);
  await page.locator("#address").press("Enter");
  await selected(address.split(":")[0]);
}
const focused = () => page.evaluate(() => document.activeElement?.id || document.activeElement?.className || "");
// Sets cells behind the page's back, as another tab would.
async function put(address, text) {
  const m = /^([A-Z]+)(\d+)$/.exec(address);
  let col = 0;
  for (const ch of m[1]) col = col * 26 + ch.charCodeAt(0) - 64;
  const res = await fetch(`${ws.direct}api/edit?sheet=0&row=${m[2]}&col=${col}`, { method: "POST", body: text });
  assert.equal(res.status, 200, address);
}
// A paste from another program: the clipboard's text arrives in a paste event.
const pasteText = (text) =>
  page.evaluate((t) => {
    const data = new DataTransfer();
    data.setData("text/plain", t);
    document.getElementById("grid").dispatchEvent(new ClipboardEvent("paste", { clipboardData: data, bubbles: true }));
  }, text);

before(async () => {
  await ws.start();
  page = await ws.context.newPage();
  page.setDefaultTimeout(15000);
  hold = await answerHolder(page, /api\/(cell|view)\?/);
  await page.goto(ws.address);
  await page.locator("#connection:not(.lost)").filter({ hasText: "live" }).waitFor();
  await cell("A1").filter({ hasText: "quillo demo" }).waitFor();
});
after(async () => ws.stop());

test("typing replaces a cell; F2 and double click edit it; Enter, Tab and Escape as in the peers", async () => {
  await goTo("A40");
  await page.keyboard.type("hello");
  await press("Enter");
  await shows("A40", "hello");
  await selected("A41");
  await press("Shift+Enter");
  await selected("A40");
  await press("Tab");
  await selected("B40");
  await press("Shift+Tab");
  await selected("A40");
  // F2 keeps the text and adds to it; Tab commits and moves right.
  await press("F2");
  await page.locator("#grid .editor").waitFor();
  await page.keyboard.type(" world");
  await press("Tab");
  await shows("A40", "hello world");
  await selected("B40");
  // A formula typed on a cell is computed by quillo.
  await page.keyboard.type("=6*7");
  await press("Shift+Enter");
  await shows("B40", "42");
  await selected("B39");
  // Escape gives up an edit: nothing reaches the cell.
  await page.keyboard.type("zzz");
  await press("Escape");
  await page.locator("#grid .editor").waitFor({ state: "hidden" });
  assert.equal(await cell("B39").textContent(), "");
  assert.equal(await focused(), "grid");
  // A double click edits the cell's formula, not its value.
  await cell("B40").dblclick();
  await page.waitForFunction(() => document.querySelector("#grid .editor").value === "=6*7");
  await press("Escape");
  // In a selection of several cells, Enter goes down its columns and round again.
  await goTo("A50:B51");
  for (const t of ["1", "2", "3"]) {
    await page.keyboard.type(t);
    await press("Enter");
  }
  await shows("B50", "3");
  await selected("B51");
  await press("Enter");
  await selected("A50");
  assert.equal(await cell("A51").textContent(), "2");
});

test("Delete clears the selection; Ctrl+Z and Ctrl+Y undo and redo the page's edits", async () => {
  await goTo("A40");
  await cell("B40").click({ modifiers: ["Shift"] });
  await press("Delete");
  await shows("A40", "");
  await shows("B40", "");
  await press("Control+z");
  await shows("A40", "hello world");
  await shows("B40", "42");
  await press("Control+y");
  await shows("B40", "");
  await press("Control+z");
  await shows("B40", "42");
  await press("Control+Shift+Z");
  await shows("B40", "");
  await press("Control+z");
  // The undo puts the cursor on its cells when it runs: it has run before the click.
  await shows("B40", "42");
  // Undo restores the formula itself, not its value.
  await cell("B40").click();
  await page.waitForFunction(() => document.querySelector("#formula").value === "=6*7");
  // Backspace on a cell clears it too, and one undo brings it back.
  await press("Backspace");
  await shows("B40", "");
  await press("Control+z");
  await shows("B40", "42");
  // An undo waits for the edit before it: a cell chosen meanwhile is kept.
  let release, undoAsked;
  const held = new Promise((r) => (release = r));
  const asked = new Promise((r) => (undoAsked = r));
  let calls = 0;
  await page.route(/api\/edits\?/, async (route) => {
    const n = ++calls;
    await held;
    await route.continue();
    if (n === 2) undoAsked();
  });
  await goTo("A44");
  await page.keyboard.type("undone");
  await press("Enter", "Control+z");
  await cell("D46").click();
  release();
  await asked;
  await page.unroute(/api\/edits\?/);
  await shows("A44", "");
  assert.equal(await page.locator("#cells .cell.selected").getAttribute("data-address"), "D46");
});

test("the formula bar commits on Enter, Tab and leaving it, and Escape reverts it", async () => {
  await goTo("A42");
  const bar = page.locator("#formula");
  await bar.fill("one");
  await bar.press("Tab");
  await shows("A42", "one");
  await selected("B42");
  assert.equal(await focused(), "grid");
  await bar.fill("two");
  // Clicking another cell leaves the bar: the text goes to the cell it was typed for.
  await cell("D45").click();
  await shows("B42", "two");
  await page.waitForFunction(() => document.querySelector("#formula").value === "");
  await goTo("A42");
  await bar.fill("dropped");
  await bar.press("Escape");
  await page.waitForFunction(() => document.querySelector("#formula").value === "one");
  assert.equal(await cell("A42").textContent(), "one");
  // A cell chosen while the bar's text is on its way to quillo is kept: the
  // cursor does not go back below the cell the text was for.
  let release, sent;
  const held = new Promise((r) => (release = r));
  const passed = new Promise((r) => (sent = r));
  await page.route(/api\/edits\?/, async (route) => {
    await held;
    await route.continue();
    sent();
  });
  await goTo("A43");
  await bar.fill("three");
  await bar.press("Enter");
  await goTo("C44");
  release();
  await passed;
  await page.unroute(/api\/edits\?/);
  await shows("A43", "three");
  // Edits run in order: once the next one is asked for, the bar's is over.
  const next = page.waitForRequest(/api\/edits\?/);
  await press("Delete");
  await next;
  assert.equal(await page.locator("#cells .cell.selected").getAttribute("data-address"), "C44");
  assert.equal(await page.locator("#address").inputValue(), "C44");
});

test("Home, End, PgDn, PgUp, Ctrl+Home, Ctrl+End and Ctrl+arrows move the cursor", async () => {
  await goTo("T110");
  for (const a of ["T100", "T101", "T102", "T110"]) await put(a, "x");
  // The page moves by what it has been told: every change has arrived.
  for (const a of ["T100", "T101", "T102", "T110"]) await shows(a, "x");
  await goTo("T100");
  await press("Control+ArrowDown");
  await selected("T102");
  await press("Control+ArrowDown");
  await selected("T110");
  // Past the last filled cell: the sheet's last row.
  await press("Control+ArrowDown");
  await selected("T1048576");
  await press("Control+ArrowUp");
  await selected("T110");
  await press("Control+Shift+ArrowUp");
  await page.waitForFunction(() => document.querySelectorAll("#cells .cell.in-range").length >= 9);
  await press("Home");
  await selected("A110");
  await press("End");
  await selected("T110");
  await press("PageDown");
  await page.waitForFunction(() => {
    const s = document.querySelector("#cells .cell.selected");
    return s && s.dataset.col === "20" && Number(s.dataset.row) > 120;
  });
  await press("PageUp");
  await page.waitForFunction(() => {
    const s = document.querySelector("#cells .cell.selected");
    return s && s.dataset.col === "20" && Number(s.dataset.row) <= 112;
  });
  await press("Control+End");
  await selected("T110");
  await press("Control+Home");
  await selected("A1");
  // Ctrl+arrows pressed before quillo answers the first go on from where
  // it ends; one answered after a click leaves the clicked cell alone.
  await goTo("T100");
  let release;
  const held = new Promise((r) => (release = r));
  await page.route(/-look$/, async (route) => {
    await held;
    await route.continue();
  });
  await press("Control+ArrowDown", "Control+ArrowDown");
  release();
  await selected("T110");
  await goTo("T100");
  const heldAgain = new Promise((r) => (release = r));
  await page.unroute(/-look$/);
  await page.route(/-look$/, async (route) => {
    await heldAgain;
    await route.continue();
  });
  await press("Control+ArrowDown");
  await cell("V105").click();
  await press("Control+ArrowUp");
  release();
  await selected("V1");
  await page.unroute(/-look$/);
});

test("cells copy out as the values shown and paste in as values and formulas", async () => {
  await put("A120", "a");
  await put("B120", '"q" mark');
  await put("A121", "1.5");
  await put("B121", "=A121*2");
  await goTo("A120");
  await shows("B121", "3");
  // Shift+arrows select; the copy is tab-separated text of what the cells show.
  await press("Shift+ArrowDown", "Shift+ArrowRight");
  await page.evaluate(() =>
    document.addEventListener("copy", (e) => (window.copied = e.clipboardData.getData("text/plain"))),
  );
  await press("Control+c");
  await page.waitForFunction(() => window.copied !== undefined);
  assert.equal(await page.evaluate(() => window.copied), 'a\t"""q"" mark"\r\n1.5\t3\r\n');
  // Pasted back at D120 by the keys, through the browser's clipboard.
  await goTo("D120");
  await press("Control+v");
  await shows("E121", "3");
  await shows("E120", '"q" mark');
  // From another spreadsheet: "=..." is a formula; a block pasted over a
  // selection that holds it twice is repeated, as in the peers.
  await goTo("G120:H123");
  await pasteText("=2+3\tq\n\"say \"\"hi\"\"\"\t\n");
  await shows("G120", "5");
  await shows("G122", "5");
  await shows("G123", 'say "hi"');
  await shows("H122", "q");
  // Over a selection that does not hold it a whole number of times, it lands once.
  await goTo("J120:J122");
  await pasteText("1\n2\n");
  await shows("J121", "2");
  assert.equal(await cell("J122").textContent(), "");
  // One undo takes the whole paste back.
  await press("Control+z");
  await shows("J120", "");
  await shows("J121", "");
  // What quillo refuses is not written, and the page says which cell and why.
  await goTo("K120");
  await pasteText("=1+");
  await page.locator("#message:not(.info)").filter({ hasText: "K120" }).waitFor();
  assert.equal(await cell("K120").textContent(), "");
});

test("a range is selected by dragging and by shift-click", async () => {
  await goTo("B130");
  await cell("B130").hover();
  await page.mouse.down();
  await cell("D132").hover();
  await page.mouse.up();
  await page.waitForFunction(() => document.querySelectorAll("#cells .cell.in-range").length === 9);
  await selected("B130");
  await cell("C135").click({ modifiers: ["Shift"] });
  await page.waitForFunction(() => document.querySelectorAll("#cells .cell.in-range").length === 12);
});

test("every cell of the sheet is in reach, and the name box says when an address is none", async () => {
  await goTo("A500");
  await page.keyboard.type("far");
  await press("Enter");
  await shows("A500", "far");
  await goTo("XFD1048576");
  await press("ArrowRight", "ArrowDown");
  await selected("XFD1048576");
  for (const wrong of ["XFE1", "A1048577", "B0", "hello", "A1:A1:A1", "B2:C3:D4"]) {
    await page.locator("#address").fill(wrong);
    await page.locator("#address").press("Enter");
    await page.locator("#message:not(.info)").filter({ hasText: `"${wrong}" is not a cell` }).waitFor();
  }
  await selected("XFD1048576");
  // A cell chosen while the sheet's sizes are still on their way is where
  // the sheet opens, not A1.
  let release;
  const held = new Promise((r) => (release = r));
  await page.route(/api\/layout/, async (route) => {
    await held;
    await route.continue();
  });
  await page.reload();
  await page.locator("#address").fill("J40");
  await page.locator("#address").press("Enter");
  release();
  await selected("J40");
  // An address typed but not yet entered when the sheet opens is kept for
  // the Enter that follows.
  let release2;
  const held2 = new Promise((r) => (release2 = r));
  await page.unroute(/api\/layout/);
  await page.route(/api\/layout/, async (route) => {
    await held2;
    await route.continue();
  });
  await page.reload();
  await page.locator("#address").fill("K41");
  release2();
  await selected("A1");
  assert.equal(await page.locator("#address").inputValue(), "K41");
  await page.locator("#address").press("Enter");
  await selected("K41");
  await page.unroute(/api\/layout/);
  // A click into the name box selects its address: one typed replaces it.
  await page.locator("#address").click();
  await page.keyboard.type("C9");
  await page.keyboard.press("Enter");
  await selected("C9");
  // Ctrl+Z in a cell's text with no typing of its own undoes nothing (the
  // browser's page-wide history would undo the name box's typing).
  await page.keyboard.press("F2");
  await page.locator("input.editor").waitFor();
  await page.keyboard.press("Control+z");
  await page.keyboard.press("Tab");
  await selected("D9");
  assert.equal(await page.locator("#address").inputValue(), "D9");
});

test("Tab moves in the grid; Ctrl+F6 and Shift+F6 take the focus out of it", async () => {
  await goTo("C3");
  await press("Tab");
  await selected("D3");
  assert.equal(await focused(), "grid");
  await press("Control+F6");
  assert.equal(await page.evaluate(() => document.activeElement.closest("#tabs") !== null), true);
  await press("Shift+F6");
  assert.equal(await focused(), "grid");
  await press("Shift+F6");
  assert.equal(await focused(), "formula");
  await press("Shift+F6", "Shift+F6");
  assert.equal(await page.evaluate(() => document.activeElement.closest("#bar") !== null), true);
});

// A cell's text as quillo keeps it, asked behind the page's back.
async function textOf(address) {
  const m = /^([A-Z]+)(\d+)$/.exec(address);
  let col = 0;
  for (const ch of m[1]) col = col * 26 + ch.charCodeAt(0) - 64;
  const res = await fetch(`${ws.direct}api/cell?sheet=0&row=${m[2]}&col=${col}`);
  return (await res.json()).formula;
}
const says = (text) =>
  page.locator("#message:not(.info)").filter({ hasText: text }).waitFor({ timeout: 5000 }).catch(async (e) => {
    throw new Error(`${e.message}; shown: ${await page.locator("#message").textContent()}`);
  });
// Edits run in order: once a later edit shows, the earlier ones are over.
async function settle(address) {
  await goTo(address);
  await page.keyboard.type("done");
  await press("Enter");
  await shows(address, "done");
}

test("undo and redo leave alone a cell changed since, by another tab or by the file", async () => {
  // A number is kept as quillo reads it back, and undo still knows it.
  await goTo("A140");
  await page.keyboard.type("1.50");
  await press("Enter");
  await shows("A140", "1.5");
  await press("Control+z");
  await shows("A140", "");
  await press("Control+y");
  await shows("A140", "1.5");
  // Another tab writes the same cell: undo refuses the whole step.
  await goTo("A141:B141");
  await pasteText("mine\tmine too\n");
  await shows("B141", "mine too");
  await put("B141", "theirs");
  await shows("B141", "theirs");
  await press("Control+z");
  await says("B141 has changed since; nothing undone");
  assert.equal(await textOf("A141"), "mine");
  assert.equal(await textOf("B141"), "theirs");
  // The file taken in from disk (here: touched while nothing is unsaved)
  // ends the page's history: nothing before it is undone.
  const saved = await fetch(`${ws.direct}api/save`, { method: "POST" });
  assert.equal(saved.status, 200);
  const { utimesSync } = await import("node:fs");
  const later = new Date(Date.now() + 60000);
  utimesSync(ws.book, later, later);
  await page.waitForFunction(() => document.getElementById("book-name").dataset.takenIn !== "0");
  await put("B141", "mine too");
  await press("Control+z");
  await settle("A143");
  assert.equal(await textOf("A141"), "mine");
  assert.equal(await textOf("A140"), "1.5");
});

test("F2 and Enter leave a cell as it was; an edit that would drop line breaks is refused", async () => {
  await put("A145", "two\nlines");
  await goTo("A145");
  await press("F2");
  await page.locator("#grid .editor").waitFor();
  await press("Enter");
  await goTo("A145");
  await press("F2");
  await page.locator("#grid .editor").waitFor();
  await page.keyboard.type("!");
  await press("Enter");
  await says("A145 holds line breaks");
  await settle("A147");
  assert.equal(await textOf("A145"), "two\nlines");
});

test("a paste or clear is all or nothing", async () => {
  // A block that does not fit below and right of the cursor is refused whole.
  await goTo("XFD1048576");
  await pasteText("1\t2\n3\t4\n");
  await says("nothing pasted");
  assert.equal(await textOf("XFD1048576"), "");
  // A cell quillo refuses mid-paste takes back what the paste wrote.
  await put("M150", "old");
  await goTo("M150");
  await pasteText("new\t=1+\n");
  await says("nothing pasted: N150");
  assert.equal(await textOf("M150"), "old");
  await shows("M150", "old");
});

test("a block is pasted, cleared, undone and redone in one call each, all or nothing", async () => {
  const calls = [];
  const count = (req) => {
    const m = /\/api\/(edits?)\?/.exec(req.url());
    if (m) calls.push(m[1]);
  };
  page.on("request", count);
  try {
    // 20 rows x 10 columns: one call to quillo, not one per cell.
    const rows = [];
    for (let r = 0; r < 20; r++) rows.push(Array.from({ length: 10 }, (_, c) => `r${r}c${c}`).join("\t"));
    await goTo("D160");
    await pasteText(rows.join("\n") + "\n");
    await shows("M179", "r19c9");
    assert.deepEqual(calls, ["edits"]);
    await goTo("D160:M179");
    await press("Delete");
    await shows("M179", "");
    await press("Control+z");
    await shows("M179", "r19c9");
    await press("Control+y");
    await shows("M179", "");
    assert.deepEqual(calls, ["edits", "edits", "edits", "edits"]);
  } finally {
    page.off("request", count);
  }
  await press("Control+z");
  await shows("D160", "r0c0");
  // The call itself: a cell that does not hold what was expected, or one
  // quillo refuses, leaves every cell as it was.
  const edits = (query, body) =>
    fetch(`${ws.direct}api/edits?sheet=0&${query}`, { method: "POST", body: JSON.stringify(body) }).then(async (r) => [r.status, await r.json()]);
  let [status, answer] = await edits("r1=160&c1=4&r2=160&c2=5", { texts: ["x", "y"], expect: ["r0c0", "wrong"] });
  assert.deepEqual([status, answer.error], [409, "E160 has changed since"]);
  [status, answer] = await edits("r1=160&c1=4&r2=160&c2=5", { texts: ["x", "=1+"] });
  assert.equal(status, 400);
  assert.match(answer.error, /^E160: /);
  assert.equal(await textOf("D160"), "r0c0");
  assert.equal(await textOf("E160"), "r0c1");
  // Bounded as the page is: at most 10,000 cells, texts one per cell.
  const a1 = await textOf("A1");
  [status, answer] = await edits("r1=1&c1=1&r2=101&c2=100", { texts: [] });
  assert.deepEqual([status, answer.error], [400, "that changes 10100 cells; at most 10000 can be changed at once"]);
  [status, answer] = await edits("r1=1&c1=1&r2=1&c2=2", { texts: ["a"] });
  assert.equal(status, 400);
  [status, answer] = await edits("r1=2&c1=1&r2=1&c2=1", { texts: ["a"] });
  assert.equal(status, 400);
  assert.equal(await textOf("A1"), a1);
  // Null leaves a cell alone; the answer gives each cell's text before and as kept.
  [status, answer] = await edits("r1=160&c1=4&r2=160&c2=5", { texts: [null, "1.50"] });
  assert.deepEqual([status, answer.before, answer.after], [200, ["r0c0", "r0c1"], ["r0c0", "1.5"]]);
});

test("a number too wide for its column shows #### across it; text still runs on", async () => {
  await goTo("A185");
  await page.keyboard.type("1234567890");
  await press("Enter");
  await page.waitForFunction(() => /^#+$/.test(document.querySelector('#cells .cell[data-address="A185"]')?.textContent ?? ""));
  // The cell keeps the number: it is what the title and a copy give.
  assert.equal(await cell("A185").getAttribute("title"), "1234567890");
  await goTo("A186");
  await page.keyboard.type("a text far too long for one column");
  await press("Enter");
  await cell("A186").locator(".spill").filter({ hasText: "a text far too long" }).waitFor();
  await press("Control+z", "Control+z");
  await shows("A185", "");
});

test("a text that would read as a formula, number or boolean stays text through clear, undo and redo", async () => {
  const row = ["A190", "B190", "C190", "D190"];
  const typed = ["'=1+1", "'0012", "'1e3", "'TRUE"];
  await goTo("A190");
  await pasteText(typed.join("\t") + "\n");
  await shows("D190", "TRUE");
  // Read back as typed, apostrophe and all: typing it again gives the same cell.
  for (let i = 0; i < 4; i++) assert.equal(await textOf(row[i]), typed[i]);
  await shows("A190", "=1+1");
  await goTo("A190:D190");
  await press("Delete");
  await shows("A190", "");
  await press("Control+z");
  await shows("A190", "=1+1");
  await shows("B190", "0012");
  for (let i = 0; i < 4; i++) assert.equal(await textOf(row[i]), typed[i]);
  // Undo of the paste and its redo keep them text too.
  await press("Control+z");
  await shows("D190", "");
  await press("Control+y");
  await shows("C190", "1e3");
  for (let i = 0; i < 4; i++) assert.equal(await textOf(row[i]), typed[i]);
  // F2 shows the apostrophe, and Enter leaves the cell as it was.
  await goTo("B190");
  await press("F2");
  await page.locator("#grid .editor").waitFor();
  assert.equal(await page.locator("#formula").inputValue(), "'0012");
  await press("Enter");
  await settle("A192");
  assert.equal(await textOf("B190"), "'0012");
});

test("the formula bar follows its cell's changes, and a commit over a newer text is refused", async () => {
  await put("A194", "one");
  await goTo("A194");
  await page.waitForFunction(() => document.getElementById("formula").value === "one");
  // Another tab changes the cell: the bar shows the new text.
  await put("A194", "two");
  await page.waitForFunction(() => document.getElementById("formula").value === "two");
  // Typed in the bar, then changed elsewhere before the commit: refused, not overwritten.
  await page.locator("#formula").fill("mine");
  await put("A194", "three");
  await page.locator("#formula").press("Enter");
  await says("A194 has changed since");
  assert.equal(await textOf("A194"), "three");
  await page.locator("#formula").press("Escape");
  await page.waitForFunction(() => document.getElementById("formula").value === "three");
  // Moved to another cell whose text is slow to come: the bar, still
  // showing A194's text, takes no typing; then it shows the new cell's.
  await put("A195", "other");
  let release;
  const held = new Promise((r) => (release = r));
  await page.route(/api\/cell\?/, async (route) => {
    await held;
    await route.continue();
  });
  await goTo("A195");
  await page.locator("#formula").click();
  await page.keyboard.type("zz");
  release();
  await page.waitForFunction(() => document.getElementById("formula").value === "other");
  await page.unroute(/api\/cell\?/);
  // Typed now, the text starts from the new cell's.
  await page.keyboard.press("End");
  await page.keyboard.type("!");
  await page.keyboard.press("Enter");
  await shows("A195", "other!");
  assert.equal(await textOf("A194"), "three");
});

test("a copy quotes cells holding line breaks, tabs or quotes, and pastes back whole", async () => {
  await put("A196", "two\nlines");
  await put("B196", "a\tb");
  await put("C196", 'say "hi"');
  await put("D196", "back\\slash");
  await goTo("A196:D196");
  // The copy takes what the page shows: every change has arrived.
  await shows("A196", "two\\nlines");
  await shows("B196", "a\\tb");
  await shows("C196", 'say "hi"');
  await shows("D196", "back\\\\slash");
  await page.evaluate(() => {
    window.copied = undefined;
    document.addEventListener("copy", (e) => (window.copied = e.clipboardData.getData("text/plain")));
  });
  await press("Control+c");
  await page.waitForFunction(() => window.copied !== undefined);
  const copied = await page.evaluate(() => window.copied);
  assert.equal(copied, '"two\nlines"\t"a\tb"\t"say ""hi"""\tback\\slash\r\n');
  await goTo("A197");
  await pasteText(copied);
  await shows("D197", "back\\\\slash");
  assert.deepEqual(
    await Promise.all(["A197", "B197", "C197", "D197"].map(textOf)),
    ["two\nlines", "a\tb", 'say "hi"', "back\\slash"],
  );
});

test("quillo's very hidden sheets, over-long texts and insane widths are refused", async () => {
  const post = (path, body) => fetch(`${ws.direct}api/${path}`, { method: "POST", body }).then(async (r) => [r.status, (await r.json()).error]);
  const sheets = (await (await fetch(`${ws.direct}api/book`)).json()).sheets;
  const hidden = sheets.findIndex((s) => s.hidden && /^quillo_/.test(s.name));
  assert.notEqual(hidden, -1, JSON.stringify(sheets));
  let [status, error] = await post(`edits?sheet=${hidden}&r1=1&c1=1&r2=1&c2=1`, JSON.stringify({ texts: ["x"] }));
  assert.equal(status, 400);
  assert.match(error, /very hidden/);
  [status, error] = await post(`edit?sheet=${hidden}&row=1&col=1`, "x");
  assert.match(error, /very hidden/);
  [status, error] = await post(`width?sheet=${hidden}&col=1&width=10`, "");
  assert.match(error, /very hidden/);
  for (const width of ["1e-320", "0", "NaN", "1e400", "-3", "256", "x"]) {
    [status] = await post(`width?sheet=0&col=30&width=${width}`, "");
    assert.equal(status, 400, width);
  }
  [status, error] = await post("width?sheet=0&col=30&width=1e-320", "");
  assert.equal(error, "a column's width is from 0.01 to 255 characters");
  [status] = await post("width?sheet=0&col=30&width=12.5", "");
  assert.equal(status, 200);
  // A cell holds at most 32,767 characters, counted as characters, not bytes.
  [status, error] = await post("edits?sheet=0&r1=199&c1=1&r2=199&c2=2", JSON.stringify({ texts: ["kept", "x".repeat(32768)] }));
  assert.deepEqual([status, error], [400, "B199: a cell holds at most 32767 characters; this text has 32768"]);
  assert.equal(await textOf("A199"), "");
  [status] = await post("edits?sheet=0&r1=199&c1=1&r2=199&c2=1", JSON.stringify({ texts: ["é".repeat(32767)] }));
  assert.equal(status, 200);
});

test("keys pressed while F2 or a Ctrl+arrow waits for quillo act once it answers, in order", async () => {
  // After F2: typed into the cell's text at the caret, then Enter, then a new cell typed over.
  await put("A150", "abc");
  await goTo("A150");
  await page.waitForFunction(() => document.getElementById("formula").value === "abc");
  let release = hold(/api\/cell\?/);
  await press("F2");
  await page.keyboard.type("d");
  await press("ArrowLeft", "ArrowLeft");
  await page.keyboard.type("X");
  await press("End");
  await page.keyboard.type("!");
  await press("Enter");
  await page.keyboard.type("z");
  await press("Tab");
  release();
  await shows("A151", "z");
  await selected("B151");
  assert.equal(await textOf("A150"), "abXcd!");
  // A double click on the cell F2 waits for is no other cell chosen: the keys stay.
  release = hold(/api\/cell\?/);
  await goTo("A150");
  await press("F2");
  await page.keyboard.type("1");
  await cell("A150").dblclick();
  await page.keyboard.type("2");
  await press("Enter");
  release();
  await shows("A150", "abXcd!12");
  // After a Ctrl+arrow: an arrow, typing and a paste go on from where it lands.
  await goTo("W100");
  for (const a of ["W100", "W101", "W102"]) await put(a, "x");
  await shows("W102", "x");
  release = hold(/-look$/);
  await press("Control+ArrowDown", "ArrowRight");
  await page.keyboard.type("y");
  await press("Enter");
  await pasteText("p\tq\n");
  release();
  await shows("Y103", "q");
  assert.deepEqual(await Promise.all(["X102", "X103", "X100", "W100"].map(textOf)), ["y", "p", "", "x"]);
  // An undo kept behind it waits for quillo too: the keys after it act
  // where it puts the cursor (the paste's cells), not where the jump landed.
  await goTo("W100");
  release = hold(/-look$/);
  await press("Control+ArrowDown", "Control+z");
  await page.keyboard.type("v");
  await press("Enter");
  release();
  await shows("X103", "v");
  assert.deepEqual(await Promise.all(["W102", "Y103"].map(textOf)), ["x", ""]);
});

test("keys kept for an answer that fails, or overtaken by a click, are dropped and the page says so", async () => {
  // quillo cannot be asked: the cell is left as it was, the keys are not typed over it.
  await put("A152", "=1+1");
  await goTo("A152");
  await page.waitForFunction(() => document.getElementById("formula").value === "=1+1");
  let release = hold(/api\/cell\?/);
  await press("F2");
  await page.keyboard.type("zz");
  await press("Enter");
  release("abort");
  await says("A152 could not be edited: quillo cannot be reached; 3 keys pressed meanwhile were not applied");
  await selected("A152");
  assert.equal(await page.locator("#grid .editor").isHidden(), true);
  // Keys work again at once.
  await press("ArrowDown");
  await selected("A153");
  // A cell clicked before the answer: the keys typed for the old one land
  // nowhere; those typed after the click act at the cell clicked.
  release = hold(/api\/cell\?/);
  await press("F2");
  await page.keyboard.type("lost");
  // The message does not move the grid under the pointer (a double click's
  // second click would land on another cell).
  await cell("C153").click();
  await says("another cell was chosen; 4 keys pressed meanwhile were not applied");
  const bar = await page.locator("#formula-bar").boundingBox();
  assert.equal((await page.locator("#grid").boundingBox()).y, bar.y + bar.height);
  await page.keyboard.type("kept");
  await press("Enter");
  release();
  await shows("C153", "kept");
  assert.equal(await textOf("A152"), "=1+1");
  assert.equal(await textOf("A153"), "");
  // The focus moved into the name box drops them too, and the answer then
  // leaves what is typed there alone.
  release = hold(/api\/cell\?/);
  await press("F2");
  await page.keyboard.type("q");
  await page.locator("#address").click();
  await says("the focus went to another box; 1 key pressed meanwhile was not applied");
  await page.keyboard.type("D2");
  release();
  await press("Enter");
  await selected("D2");
  assert.equal(await textOf("C154"), "");
  await goTo("C154");
  // No answer at all (quillo hung): the keys are not kept for ever.
  await page.clock.install();
  release = hold(/-look$/);
  await press("Control+ArrowUp");
  await page.keyboard.type("q");
  await page.clock.fastForward(10000);
  await says("the cursor could not move from C154: quillo has not answered in 10 seconds; 1 key pressed meanwhile was not applied");
  await press("ArrowRight");
  await selected("D154");
  release();
});
