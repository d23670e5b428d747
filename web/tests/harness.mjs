// What the browser tests run against: the local market-data service, a
// private settings store and install folder whose definitions point at it,
// a copy of the demo workbook, `quillo ui` serving it, and Debian's
// chromium driven by playwright-core.
//
// Paths come from the environment ctest gives: QUILLO_BIN (the quillo
// program), QUILLO_MARKET_BIN (quillo-market) and QUILLO_DATA (data/).

import { spawn } from "node:child_process";
import { copyFileSync, mkdtempSync, mkdirSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { basename, join } from "node:path";
import { createServer, connect } from "node:net";
import { createInterface } from "node:readline";
import { existsSync } from "node:fs";

// Missing pieces are named, not left to a stack trace.
const { chromium } = await import("playwright-core").catch(() => {
  throw new Error("playwright-core is not installed in web/node_modules: run scripts/setup.sh --web");
});

export const CHROMIUM = process.env.QUILLO_CHROMIUM || "/usr/bin/chromium";
// How long a quote page takes to answer, so that "Loading data..." can be seen.
export const QUOTE_DELAY_MS = 1500;

function need(name) {
  const v = process.env[name];
  if (!v) throw new Error(`${name} is not set (ctest sets it)`);
  return v;
}

// Starts a program and resolves with it and its first `lines` lines of output.
function start(program, args, env, lines) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, args, { env: { ...process.env, ...env }, stdio: ["ignore", "pipe", "pipe"] });
    const got = [];
    let stderr = "";
    child.stderr.on("data", (d) => (stderr += d));
    const rl = createInterface({ input: child.stdout });
    const timer = setTimeout(() => reject(new Error(`${program} printed nothing: ${stderr}`)), 20000);
    rl.on("line", (line) => {
      got.push(line);
      if (got.length === lines) {
        clearTimeout(timer);
        resolve({ child, lines: got, stderr: () => stderr, rl });
      }
    });
    child.on("exit", (code) => {
      clearTimeout(timer);
      reject(new Error(`${program} exited ${code}: ${stderr}`));
    });
  });
}

function run(program, args, env) {
  return new Promise((resolve) => {
    const child = spawn(program, args, { env: { ...process.env, ...env }, stdio: ["ignore", "pipe", "pipe"] });
    let out = "";
    child.stdout.on("data", (d) => (out += d));
    child.stderr.on("data", (d) => (out += d));
    child.on("exit", (code) => resolve({ code, out }));
  });
}

// Lets a test hold quillo's answers back, as a slow or failing quillo
// would: hold(pattern) keeps the answers to the requests matching it (among
// those matching `routed`) until the function it returns is called; called
// with "abort", they fail instead. The route is set once, when the page is
// made: one set just before a request may miss it.
export async function answerHolder(page, routed) {
  const holds = new Set();
  await page.route(routed, async (route) => {
    const url = route.request().url();
    const hold = [...holds].find((h) => h.pattern.test(url));
    if (hold && (await hold.held) === "abort") return route.abort();
    return route.fallback();
  });
  return (pattern) => {
    let release;
    const hold = { pattern, held: new Promise((r) => (release = r)) };
    holds.add(hold);
    return (how) => {
      holds.delete(hold);
      release(how);
    };
  };
}

export class Workspace {
  // book: the workbook to serve (a copy of it); the demo workbook by default.
  async start(book = null) {
    this.quillo = need("QUILLO_BIN");
    const data = need("QUILLO_DATA");
    this.root = mkdtempSync(join(tmpdir(), "quillo-browser-"));
    this.env = { QUILLO_HKCU_DIR: join(this.root, "user"), QUILLO_HKLM_DIR: join(this.root, "machine") };
    this.market = await start(need("QUILLO_MARKET_BIN"), [], {}, 2);
    this.base = this.market.lines[0];
    const port = new URL(this.base).port;
    const install = join(this.root, "install");
    mkdirSync(install);
    const ds = readFileSync(join(data, "ds.xml"), "utf8")
      .replaceAll("{port}", port)
      .replace("/quote</url>", `/quote?_delay=${QUOTE_DELAY_MS}</url>`);
    writeFileSync(join(install, "ds.xml"), ds);
    copyFileSync(join(data, "tarnvale.xla"), join(install, "tarnvale.xla"));
    for (const [name, value] of [
      ["installpath", install + "/"],
      ["history_service", this.base],
      ["product_site", this.base + "/site/"],
    ]) {
      const r = await run(this.quillo, ["settings", "set", name, value], this.env);
      if (r.code !== 0) throw new Error(`quillo settings set ${name}: ${r.out}`);
    }
    this.book = join(this.root, book ? basename(book) : "demo.xlsx");
    copyFileSync(book ?? join(data, "demo.xlsx"), this.book);
    this.ui = await start(this.quillo, ["ui", this.book, "--no-open"], this.env, 1);
    const m = /(http:\/\/127\.0\.0\.1:\d+\/[0-9a-f]{64}\/)/.exec(this.ui.lines[0]);
    if (!m) throw new Error(`no address in "${this.ui.lines[0]}"`);
    this.direct = m[1];
    // The browser reaches quillo through a relay the tests can cut. quillo
    // answers only to its own host names and port, so the relay listens on
    // the same port at the IPv6 loopback address, one of those names.
    const uiPort = Number(new URL(this.direct).port);
    this.relay = await Relay.start(uiPort);
    this.address = this.direct.replace(/127\.0\.0\.1:\d+\//, `[::1]:${uiPort}/`);
    if (!existsSync(CHROMIUM)) throw new Error(`no browser at ${CHROMIUM}: run scripts/setup.sh --test`);
    // A fresh profile of its own (playwright passes it as --user-data-dir).
    this.context = await chromium.launchPersistentContext(join(this.root, "chromium"), {
      executablePath: CHROMIUM,
      viewport: { width: 1280, height: 720 },
      args: [
        "--headless",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
      ],
    });
    return this;
  }

  // Stops quillo ui and starts it again on the same port: the new server
  // has a new token, and the relay reaches it. The address the page must
  // go to now is `address`.
  async restartUi() {
    const port = new URL(this.direct).port;
    this.ui.child.kill("SIGTERM");
    await new Promise((r) => this.ui.child.once("exit", r));
    this.ui = await start(this.quillo, ["ui", this.book, "--no-open", "--port", port], this.env, 1);
    const m = /(http:\/\/127\.0\.0\.1:\d+\/[0-9a-f]{64}\/)/.exec(this.ui.lines[0]);
    if (!m) throw new Error(`no address in "${this.ui.lines[0]}"`);
    this.direct = m[1];
    this.address = this.direct.replace(/127\.0\.0\.1:\d+\//, `[::1]:${port}/`);
  }

  // quillo show BOOK RANGE: lines of address, formula and value.
  async show(range) {
    return run(this.quillo, ["show", this.book, range], this.env);
  }

  // quillo with the workspace's settings: its exit code and output.
  async run(args) {
    return run(this.quillo, args, this.env);
  }

  async stop() {
    this.relay?.close();
    await this.context?.close().catch(() => {});
    for (const p of [this.ui?.child, this.market?.child]) {
      if (p && p.exitCode === null) {
        p.kill("SIGTERM");
        await new Promise((r) => p.once("exit", r));
      }
    }
    if (this.root) rmSync(this.root, { recursive: true, force: true });
  }
}

// A TCP relay between the browser and quillo: cut() drops every connection
// and refuses new ones, as a network that went away; mend() lets them
// through again.
class Relay {
  static start(target) {
    const relay = new Relay();
    relay.sockets = new Set();
    relay.refusing = false;
    relay.server = createServer((down) => {
      if (relay.refusing) return down.destroy();
      const up = connect(target, "127.0.0.1");
      for (const s of [down, up]) {
        relay.sockets.add(s);
        s.on("close", () => relay.sockets.delete(s));
        s.on("error", () => {});
      }
      down.pipe(up);
      up.pipe(down);
      down.on("close", () => up.destroy());
      up.on("close", () => down.destroy());
    });
    return new Promise((resolve, reject) => {
      relay.server.once("error", reject);
      relay.server.listen(target, "::1", () => {
        relay.port = relay.server.address().port;
        resolve(relay);
      });
    });
  }
  cut() {
    this.refusing = true;
    for (const s of this.sockets) s.destroy();
  }
  mend() {
    this.refusing = false;
  }
  close() {
    this.cut();
    this.server.close();
  }
}
