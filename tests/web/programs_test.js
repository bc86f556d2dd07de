// Every end-to-end program under tests/programs/ run through the browser
// build, under node, with the same expectations as the native runner
// (tests/programs_test.cpp): standard output, standard error, exit status and
// output files must be identical.
//
//   node --no-experimental-fetch tests/web/programs_test.js SITE_DIR PROGRAMS_DIR
"use strict";

const fs = require("fs");
const path = require("path");

const [siteDir, programsDir] = process.argv.slice(2).map((p) => path.resolve(p));
const { runProgram } = require(path.join(siteDir, "run.js"));
const createRill = require(path.join(siteDir, "rill.js"));

// Programs whose expectations need what the in-memory file system lacks, or
// a processor's own NaN, which WebAssembly leaves to the engine.
const EXCEPTIONS = {
  "arith/nan_operand_order_negative_input":
    "sets a NaN from the console against the processor's own NaN, whose sign WebAssembly leaves to the engine",
  "loop/doubling_reals_keeps_their_values":
    "checks the sign of a NaN that arithmetic returns, which WebAssembly leaves to the engine",
  "output/nothing_written_to_full_device":
    "writes to /dev/full, a device the in-memory file system lacks",
  "output/write_failure_after_parse_error":
    "writes to /dev/full, a device the in-memory file system lacks",
  "output/write_failure_during_run":
    "writes to /dev/full, a device the in-memory file system lacks",
  "output/write_failure_reported_at_end":
    "writes to /dev/full, a device the in-memory file system lacks",
};

function readOr(file, fallback) {
  try {
    return fs.readFileSync(file);
  } catch (e) {
    return fallback;
  }
}

function findPrograms() {
  const found = [];
  for (const group of fs.readdirSync(programsDir).sort()) {
    const dir = path.join(programsDir, group);
    if (!fs.statSync(dir).isDirectory()) continue;
    for (const file of fs.readdirSync(dir).sort())
      if (file.endsWith(".txt")) found.push(group + "/" + file.slice(0, -4));
  }
  return found;
}

async function runOne(wasmModule, name) {
  const base = path.join(programsDir, name);
  const program = base + ".txt";
  let args = [program];
  const argsText = readOr(base + ".args", null);
  if (argsText !== null)
    args = argsText
      .toString()
      .split("\n")
      .filter((line, i, all) => i < all.length - 1 || line !== "")
      .map((line) => (line === "{}" ? program : line));
  const out = [],
    err = [];
  // The factory adds process-wide handlers on every call; drop them after the run.
  const before = new Set(
    process.listeners("uncaughtException").concat(process.listeners("unhandledRejection")),
  );
  const result = await runProgram({
    createRill,
    wasmModule,
    args,
    files: { [program]: fs.readFileSync(program) },
    input: readOr(base + ".in", Buffer.alloc(0)),
    onOutput: (fd, bytes) => (fd === 1 ? out : err).push(Buffer.from(bytes)),
  });
  for (const event of ["uncaughtException", "unhandledRejection"])
    for (const l of process.listeners(event)) if (!before.has(l)) process.removeListener(event, l);

  const problems = [];
  const compare = (what, actual, expected) => {
    if (!Buffer.from(actual).equals(Buffer.from(expected)))
      problems.push(
        `${what}: expected ${JSON.stringify(Buffer.from(expected).toString())}, got ${JSON.stringify(Buffer.from(actual).toString())}`,
      );
  };
  compare("standard output", Buffer.concat(out), readOr(base + ".out", Buffer.alloc(0)));
  compare("standard error", Buffer.concat(err), readOr(base + ".err", Buffer.alloc(0)));
  const expectedStatus = Number.parseInt(readOr(base + ".status", "0").toString(), 10);
  if (result.status !== expectedStatus)
    problems.push(`exit status: expected ${expectedStatus}, got ${result.status}`);
  const filesDir = base + ".files";
  if (fs.existsSync(filesDir)) {
    for (const f of fs.readdirSync(filesDir)) {
      if (!result.files.has(f)) problems.push(`output file ${f} was not written`);
      else
        compare(`output file ${f}`, result.files.get(f), fs.readFileSync(path.join(filesDir, f)));
    }
  }
  return problems;
}

async function main() {
  const wasmModule = await WebAssembly.compile(fs.readFileSync(path.join(siteDir, "rill.wasm")));
  let passed = 0,
    failed = 0,
    skipped = 0;
  const programs = findPrograms();
  const unknown = Object.keys(EXCEPTIONS).filter((name) => !programs.includes(name));
  for (const name of unknown) {
    console.log(`FAIL ${name}: listed as an exception but not found`);
    failed++;
  }
  for (const name of programs) {
    if (name in EXCEPTIONS) {
      console.log(`skip ${name}: ${EXCEPTIONS[name]}`);
      skipped++;
      continue;
    }
    const problems = await runOne(wasmModule, name);
    if (problems.length === 0) {
      passed++;
      continue;
    }
    failed++;
    console.log(`FAIL ${name}`);
    for (const p of problems) console.log("  " + p.slice(0, 2000));
  }
  console.log(`browser build, ${programs.length} programs under node:`);
  console.log(`${passed} passed, ${failed} failed, ${skipped} skipped`);
  process.exitCode = failed === 0 && passed > 0 ? 0 : 1;
}

main().catch((e) => {
  console.error(e);
  process.exitCode = 1;
});
