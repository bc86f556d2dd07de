// window.rill: runs programs in the browser, each in a fresh worker, for the
// playground page and for any page that embeds rill.
//
//   rill.ready                       resolves once the module is compiled and warmed up
//   rill.run(source, options)        resolves to {stdout, stderr, status, files, diagnostics}
//   rill.stop()                      stops the run in progress; resolves to its result
//                                    (null when none runs, an array when several do)
//   rill.input(text)                 a line for a run reading interactively (null ends input)
//   rill.interactive                 whether console input can wait for the user
//
// run options: input (standard input, string or bytes), name (the program's
// file name, default program.rill), diagnostics (default true: located help
// under the first line of each diagnostic), and for the page: interactive
// (console input from rill.input instead of input), onOutput(fd, bytes),
// onInputWanted(); fileLimit (the most bytes the run's files may hold
// together, at most and by default 256 MiB). files is an object without a
// prototype, from file name to bytes; diagnostics holds what rill itself
// wrote to standard error (a program's file on /dev/stderr is in stderr
// only). A source, input or option of the wrong type rejects with a
// TypeError before anything starts. A stopped run ends as an interrupted
// native run does, with "interrupted" on stderr, status 130 and stopped true;
// one that does not reach a point where it can stop within GRACE_MS is ended
// with status null. A run past the output limit (outputLimit set) or the file
// limit (fileLimit set) is stopped the same way, keeping what came before.
(function () {
  "use strict";

  const base = new URL(".", document.currentScript.src);
  const GRACE_MS = 500; // a run asked to stop has this long to do so
  const encoder = new TextEncoder();
  const SHARED_BYTES = 64 * 1024; // the most console input handed over at once
  const OUTPUT_LIMIT = 256 * 1024 * 1024; // kept in memory; a run past it is stopped
  const FILE_LIMIT = 256 * 1024 * 1024; // the files' total, kept in memory likewise
  // A run that has seen the stop writes its output and files out, however
  // large (up to the limits); this only bounds a write-out that never ends.
  const WRITE_OUT_MS = 60000;
  const RING_BYTES = 4 * 1024 * 1024; // output in flight, when memory can be shared
  const DRAIN_MS = 15;
  const RING_SWITCHES = 1024; // as in worker.js

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
  let spare = null; // a worker already loading its scripts
  const running = new Set();

  // A page on another origin cannot start a worker from our URL; it starts
  // one of its own that loads our scripts (which the host must then serve
  // with CORS headers, see the README).
  function newWorker() {
    const url = new URL("worker.js", base);
    if (url.origin === location.origin) return new Worker(url);
    const boot = `self.RILL_BASE = ${JSON.stringify(base.href)}; importScripts(${JSON.stringify(url.href)});`;
    const blobUrl = URL.createObjectURL(new Blob([boot], { type: "text/javascript" }));
    const worker = new Worker(blobUrl);
    URL.revokeObjectURL(blobUrl);
    return worker;
  }

  function takeWorker() {
    const worker = spare || newWorker();
    spare = newWorker();
    return worker;
  }

  function toBytes(data, what) {
    if (data === undefined || data === null) return new Uint8Array(0);
    if (typeof data === "string") return encoder.encode(data);
    if (data instanceof Uint8Array) return data;
    throw new TypeError(`rill: ${what} must be a string or a Uint8Array`);
  }

  // Everything a run is given, checked and converted before anything starts:
  // a bad argument must leave no worker and no run behind.
  function checked(source, options) {
    if (options === undefined || options === null) options = {};
    if (typeof options !== "object") throw new TypeError("rill: the options must be an object");
    if (typeof source !== "string" && !(source instanceof Uint8Array))
      throw new TypeError("rill: the source must be a string or a Uint8Array");
    for (const key of ["onOutput", "onInputWanted"])
      if (options[key] !== undefined && typeof options[key] !== "function")
        throw new TypeError(`rill: ${key} must be a function`);
    const name = options.name === undefined ? "program.rill" : String(options.name);
    if (!/^[^/\0]+$/.test(name) || name === "." || name === "..")
      throw new TypeError("rill: the program name must be a plain file name");
    if (encoder.encode(name).length > 255)
      throw new TypeError("rill: the program name is too long");
    let fileLimit = FILE_LIMIT;
    if (options.fileLimit !== undefined) {
      if (typeof options.fileLimit !== "number" || !(options.fileLimit >= 0))
        throw new TypeError("rill: fileLimit must be a number of bytes");
      fileLimit = Math.min(Math.floor(options.fileLimit), FILE_LIMIT);
    }
    return {
      options,
      name,
      fileLimit,
      source: toBytes(source, "the source"),
      input: toBytes(options.input, "the input"),
    };
  }

  function concat(chunks) {
    let length = 0;
    for (const c of chunks) length += c.length;
    const all = new Uint8Array(length);
    let at = 0;
    for (const c of chunks) {
      all.set(c, at);
      at += c.length;
    }
    return all;
  }

  function start(given) {
    const { options, name } = given;
    const isolated = Boolean(self.crossOriginIsolated);
    const interactive = Boolean(options.interactive) && isolated;
    const run = {
      worker: takeWorker(),
      stdout: [],
      stderr: [],
      outputBytes: 0,
      started: performance.now(),
      shared: interactive ? new SharedArrayBuffer(8 + SHARED_BYTES) : null,
      queue: [],
      waiting: false,
      stopping: false,
      writingOut: false,
      outputLimit: 0,
      graceTimer: 0,
      ring: isolated ? new SharedArrayBuffer(16 + 8 * RING_SWITCHES + RING_BYTES) : null,
      // How a stop is asked for: a flag in shared memory, or else an object
      // URL that the worker reads now and then and the page revokes.
      stopFlag: isolated ? new SharedArrayBuffer(4) : null,
      stopUrl: isolated ? null : URL.createObjectURL(new Blob([])),
    };
    const take = (chunks) => {
      for (const { fd, bytes } of chunks) {
        if (run.outputLimit) return; // asked to stop: what comes after the limit is dropped
        (fd === 1 ? run.stdout : run.stderr).push(bytes);
        run.outputBytes += bytes.length;
        if (options.onOutput) options.onOutput(fd, bytes);
      }
      if (run.outputBytes > OUTPUT_LIMIT && !run.outputLimit) {
        run.requestStop();
        run.outputLimit = OUTPUT_LIMIT;
      }
    };
    const drain = () => {
      if (run.ring) take(drainRing(run.ring));
    };
    const timer = run.ring ? setInterval(drain, DRAIN_MS) : 0;
    run.promise = new Promise((resolve, reject) => {
      run.finish = (result, error) => {
        if (!running.has(run)) return;
        running.delete(run);
        run.worker.terminate();
        clearInterval(timer);
        clearTimeout(run.graceTimer);
        if (run.stopUrl) URL.revokeObjectURL(run.stopUrl);
        if (!error) drain();
        if (error) {
          reject(error);
          return;
        }
        result.stdout = concat(run.stdout);
        result.stderr = concat(run.stderr);
        result.elapsed = performance.now() - run.started;
        if (!result.diagnostics) result.diagnostics = new Uint8Array(0);
        if (run.stopping) result.stopped = true;
        if (run.outputLimit) result.outputLimit = run.outputLimit;
        resolve(result);
      };
      // Asks the run to stop at its next safe point (a loop pass or a
      // console read), where it writes everything out as an interrupted
      // native run does; a run that does not get there in time is ended,
      // keeping the output that came before.
      run.requestStop = () => {
        if (run.stopping || !running.has(run)) return run.promise;
        run.stopping = true;
        // A run that has stopped by itself (at the file limit) is writing out.
        if (run.writingOut) return run.promise;
        if (run.stopFlag) Atomics.store(new Int32Array(run.stopFlag), 0, 1);
        if (run.stopUrl) {
          URL.revokeObjectURL(run.stopUrl);
          run.stopUrl = null;
        }
        if (run.shared) {
          const control = new Int32Array(run.shared, 0, 2);
          Atomics.store(control, 0, 3);
          Atomics.notify(control, 0);
        }
        run.graceTimer = setTimeout(run.end, GRACE_MS);
        return run.promise;
      };
      run.end = () => run.finish({ status: null, files: filesOf([]) });
      running.add(run);
      run.worker.onmessage = (e) => {
        const msg = e.data;
        if (msg.type === "output") {
          take(msg.chunks);
        } else if (msg.type === "input") {
          drain(); // the prompt, before the page asks for a line
          run.waiting = true;
          deliver(run);
          if (run.waiting && options.onInputWanted) options.onInputWanted();
        } else if (msg.type === "stopping") {
          // At a safe point, writing out: that may take longer than the grace.
          clearTimeout(run.graceTimer);
          run.writingOut = true;
          run.graceTimer = setTimeout(run.end, WRITE_OUT_MS);
        } else if (msg.type === "done") {
          if (msg.wasmModule) wasmModule = msg.wasmModule;
          const result = { status: msg.status, files: filesOf(msg.files) };
          result.diagnostics = msg.diagnostics;
          if (msg.fileLimit) result.fileLimit = msg.fileLimit;
          run.finish(result);
        } else if (msg.type === "failed") {
          run.finish(null, new Error("rill: " + msg.message));
        }
      };
      run.worker.onerror = (e) => {
        e.preventDefault();
        run.finish(null, new Error("rill: the worker failed: " + e.message));
      };
      run.worker.postMessage({
        wasmModule,
        wasmUrl: options.wasmUrl,
        args: [name],
        files: new Map([[name, given.source]]),
        env: options.diagnostics === false ? {} : { RILL_DIAGNOSTICS: "1" },
        fileLimit: given.fileLimit,
        input: given.input,
        shared: run.shared,
        ring: run.ring,
        stopFlag: run.stopFlag,
        stopUrl: run.stopUrl,
      });
    });
    return run.promise;
  }

  // File names are data, not keys of an ordinary object: "__proto__" or
  // "constructor" is a file like any other.
  function filesOf(pairs) {
    const files = Object.create(null);
    for (const [name, bytes] of pairs) files[name] = bytes;
    return files;
  }

  // Takes everything the worker has put in the output ring (see worker.js
  // for its layout), split where the stream changes, and makes room for more.
  const ringFd = new WeakMap();
  function drainRing(ring) {
    const control = new Int32Array(ring, 0, 4);
    const switches = new Int32Array(ring, 16, 2 * RING_SWITCHES);
    const data = new Uint8Array(ring, 16 + 8 * RING_SWITCHES);
    const size = data.length;
    const written = Atomics.load(control, 0); // before the switches, which come first
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
      chunks.push({ fd, bytes });
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

  // The first worker compiles the module and warms it up, so that nothing
  // on the way to ready waits for the page's own thread.
  async function prepare() {
    spare = newWorker();
    const given = checked(WARM_UP, { diagnostics: false });
    given.options.wasmUrl = new URL("rill.wasm", base).href;
    await start(given);
  }

  const ready = prepare();

  window.rill = {
    ready,
    interactive: Boolean(self.crossOriginIsolated),
    run(source, options) {
      let given;
      try {
        given = checked(source, options);
      } catch (e) {
        return Promise.reject(e);
      }
      return ready.then(() => start(given));
    },
    // A run that fails instead of stopping answers null here; its own
    // promise rejects with the reason.
    stop() {
      const results = Array.from(running, (run) => run.requestStop().catch(() => null));
      return Promise.all(results).then((all) => (all.length <= 1 ? all[0] || null : all));
    },
    input(text) {
      const piece = text === null ? null : toBytes(text, "console input");
      for (const run of running) {
        if (!run.shared) continue;
        run.queue.push(piece);
        deliver(run);
      }
    },
  };
})();
