// One run of the interpreter in a fresh instance of the module: the run's
// files in an empty working folder, standard streams wired to callbacks, main
// called once. Shared by the playground's worker and the node test, so that
// the tests exercise exactly what the page runs.
(function (root) {
  "use strict";

  const WORK_DIR = "/work";
  // The module's own errno numbering.
  const ERRNO_ACCES = 2,
    ERRNO_INTR = 27,
    ERRNO_EIO = 29,
    ERRNO_NAMETOOLONG = 37;
  const O_ACCMODE = 3,
    O_CREAT = 64,
    O_TRUNC = 512,
    O_APPEND = 1024;
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
  //   onOutput     (fd, bytes, own) for every write to standard output (1) or
  //                error (2); own is true for rill's own writes to descriptor 2
  //                (its diagnostics), false for a program's file on /dev/stderr;
  //                bytes is a view into the module's memory, valid during the call
  //   fileLimit    the most bytes the run's files may hold together; a run that
  //                reaches it keeps what fits and stops as an interrupt would
  //   onStop       () when the run has seen that it is to stop and writes out
  // Resolves to {status, files, fileLimit}: files (a Map) holds the name of every
  // file in the working folder and its bytes, except the program's own source
  // when the run left it as it was; fileLimit is set when the run reached it.
  // Nothing outside the working folder can be written (the page shows only
  // that folder): opening such a file for writing fails as a file without
  // permission does, except the standard streams' devices and /dev/null.
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
      keepInFolder(FS, WORK_DIR);
      const limit = watchFiles(FS, opts.fileLimit, () => {
        if (opts.onStop) opts.onStop();
        M._rill_host_interrupt();
      });
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
      const result = { status, files: collectFiles(FS, given) };
      if (limit.reached) result.fileLimit = opts.fileLimit;
      return result;
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
        const bytes = new Uint8Array(buffer.buffer, buffer.byteOffset + offset, length);
        opts.onOutput(fd, bytes, stream.fd === fd);
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

  // Opening for writing is allowed in the folder (and below it), and on the
  // standard streams' devices and /dev/null; anywhere else it fails with
  // "Permission denied", as a folder without write permission would.
  function keepInFolder(FS, folder) {
    const open = FS.open;
    const allowed = new Set(
      ["/dev/stdin", "/dev/stdout", "/dev/stderr", "/dev/null"].map(
        (path) => FS.lookupPath(path).node,
      ),
    );
    const inside = (path) => path === folder || path.startsWith(folder + "/");
    const writable = (path) => {
      let found;
      try {
        found = FS.lookupPath(path, { follow: true });
      } catch (e) {
        // Not there yet: its folder decides.
        const cut = path.replace(/\/+$/, "").lastIndexOf("/");
        const parent = cut < 0 ? "." : cut === 0 ? "/" : path.slice(0, cut);
        try {
          return inside(FS.lookupPath(parent, { follow: true }).path);
        } catch (e2) {
          return true; // no such folder: open fails as it would anyway
        }
      }
      return allowed.has(found.node) || inside(found.path);
    };
    FS.open = (path, flags, mode, ...rest) => {
      const bits = typeof flags === "string" ? FS.modeStringToFlags(flags) : flags;
      if (typeof path === "string" && bits & (O_ACCMODE | O_CREAT | O_TRUNC) && !writable(path))
        throw new FS.ErrnoError(ERRNO_ACCES);
      return open(path, flags, mode, ...rest);
    };
  }

  // Watches every write to a regular file, whatever its folder. The
  // in-memory file system grows a file by an eighth at a time, copying it
  // each time: a file of a few hundred megabytes then spends most of the run
  // being copied, and a stop waits for the copy. So a file's room doubles
  // instead (up to the limit). With a limit, the files' total stays within
  // it: the first write past it keeps what fits, calls onLimit and drops the
  // rest, and so does every write after it.
  function watchFiles(FS, limit, onLimit) {
    const state = { reached: false };
    const bounded = limit >= 0;
    let total = 0;
    const write = FS.write;
    const room = (node, needed) => {
      const old = node.contents;
      if (!(old instanceof Uint8Array) || old.length >= needed) return;
      let size = Math.max(needed, old.length * 2);
      if (bounded) size = Math.max(needed, Math.min(size, limit));
      const grown = new Uint8Array(size);
      grown.set(old.subarray(0, node.usedBytes || 0));
      node.contents = grown;
    };
    FS.write = (stream, buffer, offset, length, position, canOwn) => {
      const node = stream.node;
      if (!FS.isFile(node.mode)) return write(stream, buffer, offset, length, position, canOwn);
      const used = node.usedBytes || 0;
      let at = typeof position === "number" && position >= 0 ? position : stream.position;
      if (stream.flags & O_APPEND) at = used;
      const growth = Math.max(0, at + length - used);
      if (!bounded || total + growth <= limit) {
        total += growth;
        room(node, at + length);
        return write(stream, buffer, offset, length, position, canOwn);
      }
      const fits = Math.max(0, length - (total + growth - limit));
      if (fits > 0) {
        room(node, at + fits);
        write(stream, buffer, offset, fits, position, canOwn);
      }
      total = limit;
      if (!state.reached) {
        state.reached = true;
        onLimit();
      }
      return length;
    };
    return state;
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
