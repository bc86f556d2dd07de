// One run of a program, in a worker of its own: the page ends the run by
// ending the worker, so Stop works even inside a loop that never returns to
// JavaScript. Output goes back in chunks as it is written.
importScripts('rill.js', 'run.js');

const CHUNK_BYTES = 64 * 1024;
const FLUSH_MS = 50;
// Without shared memory, consecutive writes are gathered into chunks, since
// a message per line would cost far more than running the program. Output
// written within FLUSH_MS of the last message waits for the next write or
// the end of the run.
let chunk = new Uint8Array(CHUNK_BYTES);
let used = 0;
let chunkFd = 1;
let sealed = [];
let lastFlush = -Infinity;
let ring = null;

function seal() {
  if (used === 0) return;
  sealed.push({fd: chunkFd, bytes: chunk.subarray(0, used)});
  chunk = new Uint8Array(CHUNK_BYTES);
  used = 0;
}

function flush() {
  seal();
  if (sealed.length > 0) postMessage({type: 'output', chunks: sealed}, sealed.map(c => c.bytes.buffer));
  sealed = [];
  lastFlush = performance.now();
}

function onOutput(fd, bytes) {
  if (ring) { ring.write(fd, bytes); return; }
  if (fd !== chunkFd) seal();
  chunkFd = fd;
  for (let at = 0; at < bytes.length;) {
    const n = Math.min(bytes.length - at, CHUNK_BYTES - used);
    chunk.set(bytes.subarray(at, at + n), used);
    used += n;
    at += n;
    if (used === CHUNK_BYTES) seal();
  }
  if (performance.now() - lastFlush >= FLUSH_MS) flush();
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
  const size = data.length;           // a power of two
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
        waitFor(3, taken => ((k - taken) | 0) < RING_SWITCHES);
        const slot = 2 * (k & (RING_SWITCHES - 1));
        switches[slot] = written;
        switches[slot + 1] = fd;
        Atomics.store(control, 2, (k + 1) | 0);
        fdNow = fd;
      }
      for (let at = 0; at < bytes.length;) {
        let room = 0;
        waitFor(1, taken => (room = size - ((written - taken) | 0)) > 0);
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

// Console input typed on the page: the page answers each request through
// shared memory. control[0]: 0 waiting, 1 a chunk is in data, 2 end of input;
// control[1]: the chunk's length.
function interactiveReader(shared) {
  const control = new Int32Array(shared, 0, 2);
  const data = new Uint8Array(shared, 8);
  return () => {
    flush();
    postMessage({type: 'input'});
    Atomics.wait(control, 0, 0);
    const state = Atomics.load(control, 0);
    const bytes = state === 1 ? data.slice(0, control[1]) : null;
    Atomics.store(control, 0, 0);
    return bytes;
  };
}

onmessage = e => {
  const job = e.data;
  ring = job.ring ? outputRing(job.ring) : null;
  rillRun.runProgram({
    createRill,
    wasmModule: job.wasmModule,
    args: job.args,
    files: job.files,
    env: job.env,
    input: job.shared ? undefined : job.input,
    readInput: job.shared ? interactiveReader(job.shared) : undefined,
    onOutput,
  }).then(result => {
    flush();
    const files = result.files;
    postMessage({type: 'done', status: result.status, files}, Object.values(files).map(b => b.buffer));
  }, error => {
    flush();
    postMessage({type: 'failed', message: String(error && error.stack || error)});
  });
};
