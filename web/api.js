// window.rill: runs programs in the browser, each in a fresh worker, for the
// playground page and for any page that embeds rill.
//
//   rill.ready                       resolves once the module is compiled and warmed up
//   rill.run(source, options)        resolves to {stdout, stderr, status, files}
//   rill.stop()                      ends every run in progress
//   rill.input(text)                 a line for a run reading interactively (null ends input)
//   rill.interactive                 whether console input can wait for the user
//
// run options: input (standard input, string or bytes), name (the program's
// file name, default program.rill), diagnostics (default true: located help
// under the first line of each diagnostic), and for the page: interactive
// (console input from rill.input instead of input), onOutput(fd, bytes),
// onInputWanted(). A stopped run resolves with status null and stopped true.
(function () {
  'use strict';

  const base = new URL('.', document.currentScript.src);
  const encoder = new TextEncoder();
  const SHARED_BYTES = 64 * 1024;         // the most console input handed over at once
  const OUTPUT_LIMIT = 256 * 1024 * 1024; // kept in memory; a run past it is stopped
  const RING_BYTES = 4 * 1024 * 1024;     // output in flight, when memory can be shared
  const DRAIN_MS = 15;
  const RING_SWITCHES = 1024;           // as in worker.js

  // V8 cannot switch a call that is already running to optimised code, and a
  // whole loop nest runs in one call. So the module is compiled once, a short
  // program that exercises the loop paths runs at load, and every run
  // instantiates that same compiled module, whose optimised code it shares:
  // loops then run at close to native speed from the first run.
  const WARM_UP = `int i, j; int k; dbl x, y;
loop (400) { i ++; j = 0;
  loop (1000) { j ++; k = k / 2 + i * j - j / 3; x =+ 0.5; y = y * 0.5 + x / (1.0 + x);
    if (k > 100000) { k =- 7; }; if (j == 999) { out; }; };
  loop (3) { int w; w = w + i; }; F(i " "); };
P(k " " y \\n);
`;

  let wasmModule = null;
  let spare = null;             // a worker already loading its scripts
  const running = new Set();

  function takeWorker() {
    const worker = spare || new Worker(new URL('worker.js', base));
    spare = new Worker(new URL('worker.js', base));
    return worker;
  }

  function toBytes(data) {
    if (data === undefined || data === null) return new Uint8Array(0);
    if (typeof data === 'string') return encoder.encode(data);
    if (data instanceof Uint8Array) return data;
    throw new TypeError('rill: expected a string or a Uint8Array');
  }

  function concat(chunks) {
    let length = 0;
    for (const c of chunks) length += c.length;
    const all = new Uint8Array(length);
    let at = 0;
    for (const c of chunks) { all.set(c, at); at += c.length; }
    return all;
  }

  function start(source, options) {
    const name = options.name === undefined ? 'program.rill' : String(options.name);
    if (!/^[^/\0]+$/.test(name) || name === '.' || name === '..')
      return Promise.reject(new Error('rill: the program name must be a plain file name'));
    const interactive = Boolean(options.interactive) && self.crossOriginIsolated;
    const run = {
      worker: takeWorker(), stdout: [], stderr: [], outputBytes: 0, started: performance.now(),
      shared: interactive ? new SharedArrayBuffer(8 + SHARED_BYTES) : null,
      queue: [], waiting: false,
      ring: self.crossOriginIsolated ? new SharedArrayBuffer(16 + 8 * RING_SWITCHES + RING_BYTES) : null,
    };
    const take = chunks => {
      for (const {fd, bytes} of chunks) {
        (fd === 1 ? run.stdout : run.stderr).push(bytes);
        run.outputBytes += bytes.length;
        if (options.onOutput) options.onOutput(fd, bytes);
      }
      if (run.outputBytes > OUTPUT_LIMIT)
        run.finish({status: null, files: {}, stopped: true, outputLimit: OUTPUT_LIMIT});
    };
    const drain = () => { if (run.ring) take(drainRing(run.ring)); };
    const timer = run.ring ? setInterval(drain, DRAIN_MS) : 0;
    return new Promise((resolve, reject) => {
      run.finish = (result, error) => {
        if (!running.has(run)) return;
        running.delete(run);
        run.worker.terminate();
        clearInterval(timer);
        if (!error) drain();
        if (error) { reject(error); return; }
        result.stdout = concat(run.stdout);
        result.stderr = concat(run.stderr);
        result.elapsed = performance.now() - run.started;
        resolve(result);
      };
      running.add(run);
      run.worker.onmessage = e => {
        const msg = e.data;
        if (msg.type === 'output') {
          take(msg.chunks);
        } else if (msg.type === 'input') {
          drain();              // the prompt, before the page asks for a line
          run.waiting = true;
          deliver(run);
          if (run.waiting && options.onInputWanted) options.onInputWanted();
        } else if (msg.type === 'done') {
          run.finish({status: msg.status, files: msg.files});
        } else if (msg.type === 'failed') {
          run.finish(null, new Error('rill: ' + msg.message));
        }
      };
      run.worker.onerror = e => {
        e.preventDefault();
        run.finish(null, new Error('rill: the worker failed: ' + e.message));
      };
      const sourceBytes = toBytes(source);
      run.worker.postMessage({
        wasmModule,
        args: [name],
        files: {[name]: sourceBytes},
        env: options.diagnostics === false ? {} : {RILL_DIAGNOSTICS: '1'},
        input: toBytes(options.input),
        shared: run.shared,
        ring: run.ring,
      });
    });
  }

  // Takes everything the worker has put in the output ring (see worker.js
  // for its layout), split where the stream changes, and makes room for more.
  const ringFd = new WeakMap();
  function drainRing(ring) {
    const control = new Int32Array(ring, 0, 4);
    const switches = new Int32Array(ring, 16, 2 * RING_SWITCHES);
    const data = new Uint8Array(ring, 16 + 8 * RING_SWITCHES);
    const size = data.length;
    const written = Atomics.load(control, 0);   // before the switches, which come first
    const switchesWritten = Atomics.load(control, 2);
    let taken = control[1];
    let k = control[3];
    let fd = ringFd.get(ring) || 1;
    const chunks = [];
    while (taken !== written) {
      let end = written;
      while (k !== switchesWritten) {
        const slot = 2 * (k & (RING_SWITCHES - 1));
        if (((switches[slot] - taken) | 0) > 0) {
          if (((switches[slot] - written) | 0) < 0) end = switches[slot];
          break;
        }
        fd = switches[slot + 1];
        k = (k + 1) | 0;
      }
      const n = (end - taken) | 0;
      const bytes = new Uint8Array(n);
      const pos = taken & (size - 1);
      const first = Math.min(n, size - pos);
      bytes.set(data.subarray(pos, pos + first));
      if (first < n) bytes.set(data.subarray(0, n - first), first);
      chunks.push({fd, bytes});
      taken = end;
    }
    // A switch at the very end of what was written takes effect now.
    while (k !== switchesWritten && switches[2 * (k & (RING_SWITCHES - 1))] === taken) {
      fd = switches[2 * (k & (RING_SWITCHES - 1)) + 1];
      k = (k + 1) | 0;
    }
    ringFd.set(ring, fd);
    Atomics.store(control, 1, taken);
    Atomics.store(control, 3, k);
    Atomics.notify(control, 1);
    Atomics.notify(control, 3);
    return chunks;
  }

  // Hands the next queued piece of console input to a run that waits for it.
  function deliver(run) {
    if (!run.waiting || run.queue.length === 0) return;
    const control = new Int32Array(run.shared, 0, 2);
    const next = run.queue[0];
    if (next === null) {
      Atomics.store(control, 0, 2);
    } else {
      const n = Math.min(next.length, SHARED_BYTES);
      new Uint8Array(run.shared, 8, n).set(next.subarray(0, n));
      if (n === next.length) run.queue.shift();
      else run.queue[0] = next.subarray(n);
      control[1] = n;
      Atomics.store(control, 0, 1);
    }
    if (next === null) run.queue.shift();
    run.waiting = false;
    Atomics.notify(control, 0);
  }

  async function prepare() {
    const url = new URL('rill.wasm', base);
    try {
      wasmModule = await WebAssembly.compileStreaming(fetch(url));
    } catch (e) {
      // A host that serves .wasm with another content type.
      wasmModule = await WebAssembly.compile(await (await fetch(url)).arrayBuffer());
    }
    spare = new Worker(new URL('worker.js', base));
    await start(WARM_UP, {diagnostics: false});
  }

  const ready = prepare();

  window.rill = {
    ready,
    interactive: Boolean(self.crossOriginIsolated),
    run(source, options) {
      return ready.then(() => start(source, options || {}));
    },
    stop() {
      for (const run of Array.from(running))
        run.finish({status: null, files: {}, stopped: true});
    },
    input(text) {
      const piece = text === null ? null : toBytes(text);
      for (const run of running) {
        if (!run.shared) continue;
        run.queue.push(piece);
        deliver(run);
      }
    },
  };
})();
