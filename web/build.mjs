// Builds the front end into dist/: one script bundle, the style sheet and
// the page. quillo serves dist/ as it is; nothing is fetched from elsewhere.
import { build } from "esbuild";
import { copyFileSync, mkdirSync, readFileSync, writeFileSync } from "node:fs";

mkdirSync("dist", { recursive: true });
await build({
  entryPoints: ["src/main.ts"],
  bundle: true,
  format: "esm",
  target: "es2022",
  minify: true,
  sourcemap: false,
  outfile: "dist/app.js",
  logLevel: "warning",
});
copyFileSync("src/index.html", "dist/index.html");
// One style sheet: the chart library's, then ours.
writeFileSync(
  "dist/style.css",
  readFileSync("node_modules/uplot/dist/uPlot.min.css", "utf8") + "\n" + readFileSync("src/style.css", "utf8"),
);
