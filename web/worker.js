// One run of a program, in a worker of its own. Output goes back as it is
// written, batched by time; the page asks the run to stop through memory it
// shares with the worker (see api.js), and ends the worker only when the run
// does not stop by itself.
importScripts((self.RILL_BASE || "") + "rill.js", (self.RILL_BASE || "") + "run.js");

const CHUNK_BYTES = 64 * 1024;
const FLUSH_MS = 16; // a frame: output waits no longer than this to be sent
const POLL_MS = 1; // how far apart the run asks about a stop
const STOP_CHECK_MS = 50; // without shared memory, how far apart the stop link is read

// Without shared memory, writes are gathered into chunks and sent at most a
// frame apart: a message per line would cost far more than running the
// program. What waits is sent at the next write or loop pass after the frame
// is up, or at the end of the run.
let chunk = new Uint8Array(CHUNK_BYTES);
let used = 0;
let chunkFd = 1;
let sealed = [];
let lastFlush = performance.now();
let ring = null;
let stopAsked = () => false;
const DIAGNOSTICS_BYTES = 64 * 1024; // of rill's own diagnostics, kept for the page
let diagnostics = [];
let diagnosticsBytes = 0;

// The page ends a run that does not stop within a grace period; a run that
// has seen the stop says so, and may then take as long as its write-out takes.
let stopping = false;
function sayStopping() {
  if (stopping) return;
  stopping = true;
  postMessage({ type: "stopping" });
}

function seal() {
  if (used === 0) return;
  sealed.push({ fd: chunkFd, bytes: chunk.subarray(0, used) });
  chunk = new Uint8Array(CHUNK_BYTES);
  used = 0;
}

function flush() {
  seal();
  if (sealed.length > 0)
    postMessage(
      { type: "output", chunks: sealed },
      sealed.map((c) => c.bytes.buffer),
    );
  sealed = [];
  lastFlush = performance.now();
}

function flushIfDue(now) {
  if ((used > 0 || sealed.length > 0) && now - lastFlush >= FLUSH_MS) flush();
}

function onOutput(fd, bytes, own) {
  if (fd === 2 && own && diagnosticsBytes < DIAGNOSTICS_BYTES) {
    const kept = bytes.slice(0, DIAGNOSTICS_BYTES - diagnosticsBytes);
    diagnostics.push(kept);
    diagnosticsBytes += kept.length;
  }
  if (ring) {
    ring.write(fd, bytes);
    return;
  }
  if (fd !== chunkFd) seal();
  chunkFd = fd;
  for (let at = 0; at < bytes.length;) {
    const n = Math.min(bytes.length - at, CHUNK_BYTES - used);
    chunk.set(bytes.subarray(at, at + n), used);
    used += n;
    at += n;
    if (used === CHUNK_BYTES) seal();
  }
  flushIfDue(performance.now());
}

// Called by the run every so many loop passes: the count doubles while polls
// come closer than POLL_MS and halves while they come further apart, so a
// stop is seen, and output sent, within about a millisecond of loop work.
let passes = 64;
let lastPoll = performance.now();
function hostPoll() {
  const now = performance.now();
  const since = now - lastPoll;
  lastPoll = now;
  if (since < POLL_MS && passes < 1 << 24) passes *= 2;
  else if (since > 4 * POLL_MS && passes > 1) passes >>= 1;
  if (!ring) flushIfDue(now);
  if (!stopAsked(now)) return passes;
  sayStopping();
  return -1;
}

// With shared memory, output goes into a ring that the page empties on a
// timer, so every line shows at once however the program goes on. Layout:
// control[0] bytes written, control[1] bytes taken, control[2] switches
// written, control[3] switches taken (all counters wrap); then a log of
// switches, each the byte count at which the other stream begins and that
// stream's descriptor; then the bytes of both streams in the order written.
const RING_SWITCHES = 1024;

function outputRing(shared) {
  const control = new Int32Array(shared, 0, 4);
  const switches = new Int32Array(shared, 16, 2 * RING_SWITCHES);
  const data = new Uint8Array(shared, 16 + 8 * RING_SWITCHES);
  const size = data.length; // a power of two
  let fdNow = 1;
  const waitFor = (index, test) => {
    for (;;) {
      const seen = Atomics.load(control, index);
      if (test(seen)) return;
      Atomics.wait(control, index, seen, 100);
    }
  };
  return {
    write(fd, bytes) {
      let written = control[0];
      if (fd !== fdNow) {
        const k = control[2];
        waitFor(3, (taken) => ((k - taken) | 0) < RING_SWITCHES);
        const slot = 2 * (k & (RING_SWITCHES - 1));
        switches[slot] = written;
        switches[slot + 1] = fd;
        Atomics.store(control, 2, (k + 1) | 0);
        fdNow = fd;
      }
      for (let at = 0; at < bytes.length;) {
        let room = 0;
        waitFor(1, (taken) => (room = size - ((written - taken) | 0)) > 0);
        const pos = written & (size - 1);
        const n = Math.min(bytes.length - at, room, size - pos);
        data.set(bytes.subarray(at, at + n), pos);
        at += n;
        written = (written + n) | 0;
        Atomics.store(control, 0, written);
      }
    },
  };
}

// How the page asks for a stop. With shared memory: a flag the page sets
// (and a wake-up for a console read that waits). Without: the page revokes
// an object URL that the worker reads now and then, since a worker busy in
// a run cannot take a message.
function stopSignal(job) {
  if (job.stopFlag) {
    const flag = new Int32Array(job.stopFlag);
    return () => Atomics.load(flag, 0) !== 0;
  }
  if (!job.stopUrl) return () => false;
  let lastCheck = performance.now();
  let stopped = false;
  return (now) => {
    if (stopped || now - lastCheck < STOP_CHECK_MS) return stopped;
    lastCheck = now;
    try {
      const request = new XMLHttpRequest();
      request.open("GET", job.stopUrl, false);
      request.send();
    } catch (e) {
      stopped = true;
    }
    return stopped;
  };
}

// Console input typed on the page: the page answers each request through
// shared memory. control[0]: 0 waiting, 1 a chunk is in data, 2 end of
// input, 3 the run is to stop; control[1]: the chunk's length.
function interactiveReader(shared) {
  const control = new Int32Array(shared, 0, 2);
  const data = new Uint8Array(shared, 8);
  return () => {
    flush();
    if (stopAsked(performance.now())) {
      sayStopping();
      return false;
    }
    postMessage({ type: "input" });
    Atomics.wait(control, 0, 0);
    const state = Atomics.load(control, 0);
    if (state === 3) {
      sayStopping();
      return false;
    }
    const bytes = state === 1 ? data.slice(0, control[1]) : null;
    Atomics.store(control, 0, 0);
    return bytes;
  };
}

// The first run of a page compiles the module itself (job.wasmUrl), here,
// off the page's thread, and hands it back with its result.
async function compile(url) {
  try {
    return await WebAssembly.compileStreaming(fetch(url));
  } catch (e) {
    // A host that serves .wasm with another content type.
    return WebAssembly.compile(await (await fetch(url)).arrayBuffer());
  }
}

onmessage = async (e) => {
  const job = e.data;
  ring = job.ring ? outputRing(job.ring) : null;
  stopAsked = stopSignal(job);
  let wasmModule = job.wasmModule;
  if (job.wasmUrl) {
    try {
      wasmModule = await compile(job.wasmUrl);
    } catch (error) {
      postMessage({
        type: "failed",
        message: "cannot load rill.wasm: " + String(error.message || error),
      });
      return;
    }
  }
  rillRun
    .runProgram({
      createRill,
      wasmModule,
      args: job.args,
      files: job.files,
      env: job.env,
      input: job.shared ? undefined : job.input,
      readInput: job.shared ? interactiveReader(job.shared) : undefined,
      hostPoll,
      onOutput,
      fileLimit: job.fileLimit,
      onStop: sayStopping,
    })
    .then(
      (result) => {
        flush();
        const files = Array.from(result.files);
        const own = new Uint8Array(diagnosticsBytes);
        diagnostics.reduce((at, piece) => (own.set(piece, at), at + piece.length), 0);
        postMessage(
          {
            type: "done",
            status: result.status,
            files,
            diagnostics: own,
            fileLimit: result.fileLimit,
            wasmModule: job.wasmUrl ? wasmModule : null,
          },
          files.map(([, bytes]) => bytes.buffer),
        );
      },
      (error) => {
        flush();
        postMessage({
          type: "failed",
          message: String((error && error.message) || error),
        });
      },
    );
};
