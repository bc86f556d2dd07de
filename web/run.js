// One run of the interpreter in a fresh instance of the module: the run's
// files in an empty working folder, standard streams wired to callbacks, main
// called once. Shared by the playground's worker and the node test, so that
// the tests exercise exactly what the page runs.
(function (root) {
  "use strict";

  const WORK_DIR = "/work";
  // The module's own errno numbering.
  const ERRNO_INTR = 27,
    ERRNO_EIO = 29,
    ERRNO_NAMETOOLONG = 37;
  const NAME_MAX = 255; // bytes in one file name, as on a native file system
  const encoder = new TextEncoder();

  function toBytes(data) {
    if (data === undefined || data === null) return new Uint8Array(0);
    if (typeof data === "string") return encoder.encode(data);
    if (data instanceof Uint8Array) return data;
    throw new TypeError("expected a string or a Uint8Array");
  }

  // A folder path, made with its parents.
  function makeFolders(FS, path) {
    let at = "";
    for (const part of path.split("/").filter(Boolean)) {
      at += "/" + part;
      try {
        FS.mkdir(at);
      } catch (e) {
        /* already there */
      }
    }
  }

  // opts:
  //   createRill   the module factory (rill.js)
  //   wasmModule   a compiled WebAssembly.Module, shared between runs
  //   args         the arguments after the program name
  //   files        {path: bytes} or a Map: relative paths land in the working folder
  //   env          extra environment variables
  //   input        standard input given up front (bytes), or
  //   readInput    () => bytes, null at end of input, or false when the run
  //                is to stop instead (as on an interrupt); may block
  //   hostPoll     () => loop passes until the next call, or -1 to stop the
  //                run as an interrupt would; called every so many loop passes
  //   onOutput     (fd, bytes) for every write to standard output (1) or error (2);
  //                bytes is a view into the module's memory, valid during the call
  // Resolves to {status, files}: files (a Map) holds the name of every file in
  // the working folder and its bytes, except the program's own source when
  // the run left it as it was.
  function runProgram(opts) {
    let status = null;
    let aborted = null;
    const moduleArg = {
      noInitialRun: true,
      // The module must never end the host process (node) or throw past us.
      quit: (code, toThrow) => {
        throw toThrow;
      },
      onExit: (code) => {
        status = code;
      },
      onAbort: (what) => {
        aborted = String(what);
      },
      hostPoll: opts.hostPoll,
      print: () => {},
      printErr: () => {},
      preRun: [
        (M) => {
          // Read by the C library before main, so it must be in place here.
          Object.assign(M.ENV, opts.env || {});
        },
      ],
    };
    if (opts.wasmModule) {
      moduleArg.instantiateWasm = (imports, receive) => {
        WebAssembly.instantiate(opts.wasmModule, imports).then((instance) =>
          receive(instance, opts.wasmModule),
        );
        return {};
      };
    }
    return opts.createRill(moduleArg).then((M) => {
      const FS = M.FS;
      limitNames(FS);
      wireStreams(M, opts);
      makeFolders(FS, WORK_DIR);
      keepAnyName(FS, WORK_DIR);
      const given = new Map(
        opts.files instanceof Map ? opts.files : Object.entries(opts.files || {}),
      );
      for (const [path, bytes] of given) {
        const full = path.startsWith("/") ? path : WORK_DIR + "/" + path;
        makeFolders(FS, full.slice(0, full.lastIndexOf("/")));
        FS.writeFile(full, toBytes(bytes));
      }
      FS.chdir(WORK_DIR);
      try {
        M.callMain(opts.args || []);
      } catch (e) {
        if (aborted === null) aborted = String((e && e.message) || e);
      }
      if (aborted !== null) {
        // What a native process killed by abort() would show.
        opts.onOutput(2, encoder.encode("rill: aborted: " + aborted + "\n"));
        status = 134;
      }
      return { status, files: collectFiles(FS, given) };
    });
  }

  // Standard input, output and error become devices of our own, so that
  // output arrives in the chunks the C library writes (this C library writes
  // standard output a line at a time) rather than a call per character, and
  // input can come from a buffer or block on the page. None is a terminal,
  // as for the native build with its streams piped. The /dev names follow,
  // for programs that name them in their header.
  function wireStreams(M, opts) {
    const FS = M.FS;
    let pending = opts.input === undefined ? null : toBytes(opts.input);
    let ended = false;
    const readOps = {
      read(stream, buffer, offset, length) {
        while (!ended && (pending === null || pending.length === 0)) {
          if (!opts.readInput) {
            ended = true;
            break;
          }
          const more = opts.readInput();
          if (more === false) {
            M._rill_host_interrupt();
            throw new FS.ErrnoError(ERRNO_INTR);
          }
          if (more === null) ended = true;
          else pending = toBytes(more);
        }
        if (ended && (pending === null || pending.length === 0)) return 0;
        const n = Math.min(length, pending.length);
        new Uint8Array(buffer.buffer, buffer.byteOffset + offset, n).set(pending.subarray(0, n));
        pending = pending.subarray(n);
        return n;
      },
      write() {
        throw new FS.ErrnoError(ERRNO_EIO);
      },
    };
    const writeOps = (fd) => ({
      read() {
        throw new FS.ErrnoError(ERRNO_EIO);
      },
      write(stream, buffer, offset, length) {
        opts.onOutput(fd, new Uint8Array(buffer.buffer, buffer.byteOffset + offset, length));
        return length;
      },
    });
    const devices = [
      ["stdin", readOps, 0],
      ["stdout", writeOps(1), 1],
      ["stderr", writeOps(2), 1],
    ];
    devices.forEach(([name, ops], i) => {
      const dev = FS.makedev(64, i);
      FS.registerDevice(dev, ops);
      try {
        FS.unlink("/dev/" + name);
      } catch (e) {
        /* not there */
      }
      FS.mkdev("/dev/" + name, 0o666, dev);
    });
    for (let fd = 0; fd < 3; fd++) {
      const stream = FS.getStream(fd);
      if (stream) FS.close(stream);
    }
    // The lowest free descriptors are taken in order: 0, 1, 2.
    for (const [name, , flags] of devices) FS.open("/dev/" + name, flags);
  }

  // The in-memory file system takes names of any length; a native one
  // refuses a name over NAME_MAX bytes, and so must a run here.
  function limitNames(FS) {
    const mayCreate = FS.mayCreate;
    FS.mayCreate = (dir, name) =>
      encoder.encode(name).length > NAME_MAX ? ERRNO_NAMETOOLONG : mayCreate(dir, name);
  }

  // The in-memory file system keeps a folder's entries as keys of an
  // ordinary object, where "__proto__" would vanish and "hasOwnProperty"
  // would break the listing: the working folder gets an object without a
  // prototype and a listing that needs none.
  function keepAnyName(FS, folder) {
    const node = FS.lookupPath(folder).node;
    node.contents = Object.create(null);
    node.node_ops = Object.assign({}, node.node_ops, {
      readdir: (dir) => [".", ".."].concat(Object.keys(dir.contents)),
    });
  }

  function collectFiles(FS, given) {
    const files = new Map();
    for (const name of FS.readdir(WORK_DIR)) {
      const path = WORK_DIR + "/" + name;
      if (name === "." || name === ".." || !FS.isFile(FS.stat(path).mode)) continue;
      const bytes = FS.readFile(path);
      const source = given.get(name);
      if (source !== undefined && sameBytes(bytes, toBytes(source))) continue;
      files.set(name, bytes);
    }
    return files;
  }

  function sameBytes(a, b) {
    if (a.length !== b.length) return false;
    for (let i = 0; i < a.length; i++) if (a[i] !== b[i]) return false;
    return true;
  }

  const api = { runProgram, toBytes, WORK_DIR };
  if (typeof module === "object" && module.exports) module.exports = api;
  else root.rillRun = api;
})(typeof self !== "undefined" ? self : this);
