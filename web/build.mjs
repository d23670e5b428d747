// Builds the front end into dist/: one script bundle, the style sheet and
// the page. quillo serves dist/ as it is; nothing is fetched from elsewhere.
import { build } from "esbuild";
import { copyFileSync, mkdirSync } from "node:fs";

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
copyFileSync("src/style.css", "dist/style.css");
