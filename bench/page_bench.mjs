// The browser page on a large sheet: quillo ui serving a workbook of
// ROWS rows x 6 numbers (100,000 unless given), in Debian's chromium
// driven by playwright-core. Measures, in the page (performance API):
//   load    navigation start to the first number shown
//   scroll  the grid scrolled to row ROWS until its numbers are shown
//   arrow   one ArrowDown to the frame after it (median and worst of 40)
//   memory  the tab after the scroll: JS heap used, DOM nodes, and the
//           renderer's resident memory
// Each figure is the best (memory: the largest) of REPEAT runs (3 unless given).
// Then, once: a block of 1,000 cells pasted, cleared, and the clear undone,
// each until quillo holds the block's last cell.
//
// Usage: node bench/page_bench.mjs QUILLO [WEB_DIST]
//   QUILLO    the quillo program (a Release build: build/demo/src/cli/quillo)
//   WEB_DIST  the built front end to serve (web/dist unless given); quillo
//             is copied beside it, since it serves the one next to it
// Needs playwright-core (web/node_modules) and /usr/bin/chromium. Figures in
// docs/benchmarks.md.

import { spawn, execFileSync } from "node:child_process";
import { copyFileSync, mkdirSync, mkdtempSync, readFileSync, rmSync, symlinkSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";
import { crc32 } from "node:zlib";

const here = dirname(fileURLToPath(import.meta.url));
const require = createRequire(join(here, "..", "web", "package.json"));
const { chromium } = require("playwright-core");

const [quilloArg, distArg] = process.argv.slice(2);
if (!quilloArg) {
  console.error("usage: node bench/page_bench.mjs QUILLO [WEB_DIST]");
  process.exit(2);
}
const ROWS = Number(process.env.ROWS || 100000);
const REPEAT = Number(process.env.REPEAT || 3);
const dist = resolve(distArg || join(here, "..", "web", "dist"));
const work = mkdtempSync(join(tmpdir(), "quillo-page-bench-"));

// A workbook as a stored (uncompressed) zip: one sheet of ROWS x 6 numbers.
function workbook(path) {
  const rows = [];
  for (let r = 1; r <= ROWS; r++) {
    let cells = "";
    for (let c = 0; c < 6; c++) cells += `<c r="${"ABCDEF"[c]}${r}"><v>${(r * 7 + c * 13) % 1000 + 0.25}</v></c>`;
    rows.push(`<row r="${r}">${cells}</row>`);
  }
  const files = {
    "[Content_Types].xml":
      '<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/><Default Extension="xml" ContentType="application/xml"/><Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/><Override PartName="/xl/worksheets/sheet1.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/></Types>',
    "_rels/.rels":
      '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/></Relationships>',
    "xl/workbook.xml":
      '<?xml version="1.0" encoding="UTF-8"?><workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"><sheets><sheet name="Numbers" sheetId="1" r:id="rId1"/></sheets></workbook>',
    "xl/_rels/workbook.xml.rels":
      '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/></Relationships>',
    "xl/worksheets/sheet1.xml": `<?xml version="1.0" encoding="UTF-8"?><worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>${rows.join("")}</sheetData></worksheet>`,
  };
  const parts = [];
  const central = [];
  let offset = 0;
  for (const [name, text] of Object.entries(files)) {
    const data = Buffer.from(text, "utf8");
    const nameBytes = Buffer.from(name, "utf8");
    const crc = crc32(data);
    const local = Buffer.alloc(30);
    local.writeUInt32LE(0x04034b50, 0);
    local.writeUInt16LE(20, 4);
    local.writeUInt32LE(crc, 14);
    local.writeUInt32LE(data.length, 18);
    local.writeUInt32LE(data.length, 22);
    local.writeUInt16LE(nameBytes.length, 26);
    const entry = Buffer.alloc(46);
    entry.writeUInt32LE(0x02014b50, 0);
    entry.writeUInt16LE(20, 4);
    entry.writeUInt16LE(20, 6);
    entry.writeUInt32LE(crc, 16);
    entry.writeUInt32LE(data.length, 20);
    entry.writeUInt32LE(data.length, 24);
    entry.writeUInt16LE(nameBytes.length, 28);
    entry.writeUInt32LE(offset, 42);
    parts.push(local, nameBytes, data);
    central.push(entry, nameBytes);
    offset += 30 + nameBytes.length + data.length;
  }
  const dir = Buffer.concat(central);
  const end = Buffer.alloc(22);
  end.writeUInt32LE(0x06054b50, 0);
  end.writeUInt16LE(Object.keys(files).length, 8);
  end.writeUInt16LE(Object.keys(files).length, 10);
  end.writeUInt32LE(dir.length, 12);
  end.writeUInt32LE(offset, 16);
  writeFileSync(path, Buffer.concat([...parts, dir, end]));
}

// quillo serves the front end found beside it: share/quillo/web.
function install() {
  mkdirSync(join(work, "bin"));
  mkdirSync(join(work, "share", "quillo"), { recursive: true });
  copyFileSync(quilloArg, join(work, "bin", "quillo"));
  execFileSync("chmod", ["+x", join(work, "bin", "quillo")]);
  symlinkSync(dist, join(work, "share", "quillo", "web"));
  return join(work, "bin", "quillo");
}

function startUi(quillo, book) {
  const env = { ...process.env, QUILLO_HKCU_DIR: join(work, "user"), QUILLO_HKLM_DIR: join(work, "machine") };
  const child = spawn(quillo, ["ui", book, "--no-open"], { env, stdio: ["ignore", "pipe", "inherit"] });
  return new Promise((res, rej) => {
    createInterface({ input: child.stdout }).once("line", (line) => {
      const m = /(http:\/\/127\.0\.0\.1:\d+\/[0-9a-f]{64}\/)/.exec(line);
      if (m) res({ child, address: m[1] });
      else rej(new Error(`no address in "${line}"`));
    });
    child.once("exit", (code) => rej(new Error(`quillo ui exited ${code}`)));
  });
}

// Resident memory of the browser's renderer processes (kB, the largest).
function rendererRss() {
  let most = 0;
  for (const line of execFileSync("ps", ["-eo", "rss,args"], { encoding: "utf8" }).split("\n")) {
    if (!line.includes("--type=renderer") || !line.includes(work)) continue;
    most = Math.max(most, Number(line.trim().split(/\s+/)[0]));
  }
  return most;
}

async function once(context, address) {
  const page = await context.newPage();
  await page.goto(address);
  // Load: navigation start to the first number on screen.
  await page.waitForFunction(() => document.querySelector("#cells .cell.number"), null, { timeout: 60000 });
  const load = await page.evaluate(() => performance.now());
  // Scroll to the last row, until its numbers are shown.
  // Cells carry more classes than their kind (overflow, selected, ...): a
  // number is one whose classes include "number". The rows are as tall as
  // the first one drawn (the sheet gives no heights), so the scroll puts
  // the last row in view whatever the default height is.
  const scroll = await page.evaluate(
    (rows) =>
      new Promise((done, fail) => {
        const grid = document.getElementById("grid");
        const first = document.querySelector('#cells .cell[data-row="1"]');
        const rowPx = first.getBoundingClientRect().height;
        const t0 = performance.now();
        grid.scrollTop = rowPx * (rows - 10);
        const look = () => {
          const el = document.querySelector(`#cells .cell.number[data-row="${rows}"]`);
          if (el) done(performance.now() - t0);
          else if (performance.now() - t0 > 30000) fail(new Error(`row ${rows} not shown after scrolling to ${grid.scrollTop}`));
          else requestAnimationFrame(look);
        };
        look();
      }),
    ROWS,
  );
  // One arrow key to the next frame, 40 times, from a cell near the last row.
  await page.locator(`#cells .cell[data-row="${ROWS - 5}"][data-col="2"]`).click();
  await page.evaluate(() => {
    window.arrowTimes = [];
    document.addEventListener(
      "keydown",
      (e) => {
        const t0 = e.timeStamp;
        requestAnimationFrame(() => setTimeout(() => window.arrowTimes.push(performance.now() - t0), 0));
      },
      true,
    );
  });
  for (let i = 0; i < 40; i++) {
    await page.keyboard.press(i < 20 ? "ArrowDown" : "ArrowUp");
    await page.waitForFunction((n) => window.arrowTimes.length >= n, i + 1);
  }
  const arrows = (await page.evaluate(() => window.arrowTimes)).sort((a, b) => a - b);
  const cdp = await context.newCDPSession(page);
  await cdp.send("Performance.enable");
  await cdp.send("HeapProfiler.collectGarbage");
  const metrics = Object.fromEntries((await cdp.send("Performance.getMetrics")).metrics.map((m) => [m.name, m.value]));
  const result = {
    load,
    scroll,
    arrowMedian: arrows[arrows.length >> 1],
    arrowWorst: arrows[arrows.length - 1],
    heapMB: metrics.JSHeapUsedSize / 1e6,
    nodes: metrics.Nodes,
    rssMB: rendererRss() / 1024,
  };
  await page.close();
  return result;
}

// A block of 1,000 cells (25 rows x 40 columns, H1:AU25) pasted, cleared
// and the clear undone, each timed from the key (or the paste) to the
// block's last cell holding its new text, as quillo reads it.
async function blockEdits(context, address) {
  const page = await context.newPage();
  await page.goto(address);
  await page.waitForFunction(() => document.querySelector("#cells .cell.number"), null, { timeout: 60000 });
  const holds = async (text) => {
    for (;;) {
      const r = await fetch(`${address}api/cell?sheet=0&row=25&col=47`);
      if ((await r.json()).formula === text) return;
      await new Promise((done) => setTimeout(done, 20));
    }
  };
  const go = async (where) => {
    await page.locator("#address").fill(where);
    await page.locator("#address").press("Enter");
  };
  const rows = [];
  for (let r = 0; r < 25; r++) rows.push(Array.from({ length: 40 }, (_, c) => `r${r}c${c}`).join("\t"));
  await go("H1");
  let t0 = performance.now();
  await page.evaluate((t) => {
    const data = new DataTransfer();
    data.setData("text/plain", t);
    document.getElementById("grid").dispatchEvent(new ClipboardEvent("paste", { clipboardData: data, bubbles: true }));
  }, rows.join("\n") + "\n");
  await holds("r24c39");
  const paste = performance.now() - t0;
  await go("H1:AU25");
  t0 = performance.now();
  await page.keyboard.press("Delete");
  await holds("");
  const clear = performance.now() - t0;
  t0 = performance.now();
  await page.keyboard.press("Control+z");
  await holds("r24c39");
  const undo = performance.now() - t0;
  await page.close();
  return { paste, clear, undo };
}

const quillo = install();
const book = join(work, "rows.xlsx");
workbook(book);
const ui = await startUi(quillo, book);
const context = await chromium.launchPersistentContext(join(work, "chromium"), {
  executablePath: process.env.QUILLO_CHROMIUM || "/usr/bin/chromium",
  viewport: { width: 1280, height: 720 },
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking", "--disable-sync"],
});
try {
  const runs = [];
  for (let i = 0; i < REPEAT; i++) runs.push(await once(context, ui.address));
  const best = (k) => Math.min(...runs.map((r) => r[k]));
  const most = (k) => Math.max(...runs.map((r) => r[k]));
  console.log(`front end ${dist}, ${ROWS} rows x 6 numbers, best of ${REPEAT}`);
  console.log(`load to first values   ${best("load").toFixed(0)} ms`);
  console.log(`scroll to row ${ROWS}   ${best("scroll").toFixed(0)} ms`);
  console.log(`arrow key to next frame ${best("arrowMedian").toFixed(1)} ms median, ${best("arrowWorst").toFixed(1)} ms worst`);
  console.log(`tab memory             ${most("heapMB").toFixed(1)} MB JS heap, ${most("nodes")} DOM nodes, ${most("rssMB").toFixed(0)} MB renderer resident`);
  const block = await blockEdits(context, ui.address);
  console.log(`1,000 cells (once)     ${block.paste.toFixed(0)} ms paste, ${block.clear.toFixed(0)} ms clear, ${block.undo.toFixed(0)} ms undo`);
} finally {
  await context.close();
  ui.child.kill("SIGTERM");
  rmSync(work, { recursive: true, force: true });
}
