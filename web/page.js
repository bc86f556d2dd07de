// The playground page, built on window.rill like any other embedding page.
(function () {
  "use strict";

  const SCREEN_LIMIT = 200000; // characters of output kept on screen; the rest is downloadable
  const NAME = "program.rill";
  // The program and its input, saved together in one localStorage entry so
  // that they are kept, or not, as one; the two entries of earlier versions
  // are still read.
  const SAVED = "rill.work";
  const OLD_SAVED = { program: "rill.program", input: "rill.input" };
  // The longest link this page makes: browsers open links of up to about
  // 2 MB at best, and many stop well before.
  const LINK_LIMIT = 1000000;
  // The most bytes of program, or of input, a link carries: a link may pack
  // far more than that into few characters, and one is refused, while it is
  // unpacked, as soon as it holds more.
  const TEXT_LIMIT = 4 * 1024 * 1024;
  const $ = (id) => document.getElementById(id);
  const consoleBox = $("console"),
    consoleLine = $("console-line");
  const stdinBox = $("stdin"),
    examples = $("examples"),
    status = $("status"),
    runButton = $("run"),
    stopButton = $("stop");
  let running = false;

  const allExamples = () => self.RILL_EXAMPLES || [];
  const firstExample = () => {
    const all = allExamples();
    const ex = all.find((e) => e.name === "sample") || all[0];
    return ex ? ex.source : 'P("Hello, world" \\n);\n';
  };
  // Whether replacing the program and input would lose anything: not when
  // they are an example as it came, or nothing at all.
  const unedited = (program, input) =>
    input === "" && (program === "" || allExamples().some((e) => e.source === program));

  function storageGet(key) {
    try {
      return localStorage.getItem(key);
    } catch (e) {
      return null; // storage refused (a private window, an embedding frame)
    }
  }

  // The saved program and input ({program, input, tab}), or null.
  function readSaved() {
    const raw = storageGet(SAVED);
    if (raw !== null) {
      try {
        const work = JSON.parse(raw);
        if (typeof work.program === "string" && typeof work.input === "string") return work;
      } catch (e) {
        /* not ours: as if nothing were saved */
      }
      return null;
    }
    const program = storageGet(OLD_SAVED.program);
    return program === null ? null : { program, input: storageGet(OLD_SAVED.input) || "", tab: "" };
  }

  // Edits are saved in this browser as they are made, and restored on load.
  // Every tab saves into the same place: once another tab has saved there,
  // this one no longer does, and says so, until asked to (a tab closed with
  // its work saved must not lose it to a key pressed in another). A save
  // that the browser refuses (its storage is full) keeps what was saved
  // before, whole, and says so too.
  const TAB = Math.random().toString(36).slice(2) + "." + Date.now().toString(36);
  let saveTimer = 0;
  let otherTabSaved = false;
  let unsaved = false;
  function saveNote(text, offerSave) {
    $("save-note").hidden = !text;
    $("save-text").textContent = text;
    $("save-anyway").hidden = !offerSave;
  }
  function saveNow() {
    clearTimeout(saveTimer);
    saveTimer = 0;
    if (!unsaved) return;
    if (otherTabSaved) {
      saveNote(
        "Not saved: another tab has saved its program in this browser since this one did. " +
          "This tab's program is kept here only.",
        true,
      );
      return;
    }
    const program = editor.getText(),
      input = stdinBox.value;
    try {
      localStorage.setItem(SAVED, JSON.stringify({ program, input, tab: TAB }));
      localStorage.removeItem(OLD_SAVED.program);
      localStorage.removeItem(OLD_SAVED.input);
      unsaved = false;
      saveNote("");
    } catch (e) {
      if (e.name !== "QuotaExceededError") {
        // Storage is off here (a private window, a frame): nothing to lose.
        unsaved = false;
        saveNote("Not saved: this browser keeps nothing for this page.", false);
        return;
      }
      const size = program.length + input.length;
      saveNote(
        `Not saved: the browser's storage for this page cannot hold ${size} characters of ` +
          "program and input. What was saved before is kept whole; this program and input " +
          "are kept in this tab only.",
        false,
      );
    }
  }
  function edited() {
    unsaved = true;
    if (!saveTimer) saveTimer = setTimeout(saveNow, 300);
  }
  window.addEventListener("storage", (e) => {
    if (e.key !== SAVED && e.key !== null) return;
    let tab = null;
    try {
      tab = e.newValue === null ? null : JSON.parse(e.newValue).tab;
    } catch (err) {
      /* not ours */
    }
    if (tab !== TAB) otherTabSaved = true;
  });
  $("save-anyway").addEventListener("click", () => {
    otherTabSaved = false;
    unsaved = true;
    saveNow();
  });
  // Closing a tab whose edits could not be saved asks first.
  window.addEventListener("beforeunload", (e) => {
    saveNow();
    if (unsaved) e.preventDefault();
  });

  const editor = rillEditor.create({
    parent: $("editor"),
    doc: "",
    label: "Program",
    onChange: () => {
      edited();
      closeShare();
    },
    onRun: () => runNow(),
  });
  stdinBox.addEventListener("input", () => {
    edited();
    closeShare();
  });
  window.addEventListener("pagehide", saveNow);
  function setProgram(text, input) {
    editor.setText(text);
    stdinBox.value = input;
    edited();
    saveNow();
  }

  // Console: output arrives in chunks, is decoded as a stream per descriptor
  // and painted once a frame, and stops growing on screen past the limit.
  // It is no live region: a screen reader is told the status instead.
  let shown = 0,
    hidden = 0,
    queued = [],
    frame = 0,
    decoders = null;
  let objectUrls = [];
  function resetConsole() {
    consoleBox.textContent = "";
    shown = hidden = 0;
    queued = [];
    decoders = { 1: new TextDecoder(), 2: new TextDecoder() };
    $("cap").hidden = true;
    // The previous run's downloads go, and the memory they hold with them.
    for (const url of objectUrls) URL.revokeObjectURL(url);
    objectUrls = [];
  }
  function write(text, cls) {
    if (!text) return;
    const room = SCREEN_LIMIT - shown;
    if (room <= 0) {
      hidden += text.length;
      return;
    }
    if (text.length > room) {
      hidden += text.length - room;
      text = text.slice(0, room);
    }
    shown += text.length;
    queued.push([text, cls]);
    if (!frame) frame = requestAnimationFrame(paintConsole);
  }
  function paintConsole() {
    frame = 0;
    const stick = consoleBox.scrollTop + consoleBox.clientHeight >= consoleBox.scrollHeight - 4;
    for (const [text, cls] of queued) {
      const last = consoleBox.lastChild;
      if (last && last.className === cls) last.textContent += text;
      else {
        const span = document.createElement("span");
        span.className = cls;
        span.textContent = text;
        consoleBox.append(span);
      }
    }
    queued = [];
    if (stick) consoleBox.scrollTop = consoleBox.scrollHeight;
  }
  function onOutput(fd, bytes) {
    write(decoders[fd].decode(bytes, { stream: true }), fd === 1 ? "out" : "err");
  }

  // A download link whose object URL is made when it is used and revoked
  // with the run's other downloads.
  function download(name, bytes, label) {
    const a = document.createElement("a");
    a.href = "#";
    a.download = name;
    a.textContent = label;
    a.addEventListener("click", () => {
      if (a.href.startsWith("blob:")) return;
      a.href = URL.createObjectURL(new Blob([bytes], { type: "application/octet-stream" }));
      objectUrls.push(a.href);
    });
    return a;
  }

  function showFiles(files) {
    const list = $("files");
    list.textContent = "";
    for (const name of Object.keys(files).sort()) {
      const bytes = files[name];
      const item = document.createElement("div");
      item.className = "file";
      const header = document.createElement("div");
      header.className = "file-header";
      const label = document.createElement("span");
      label.className = "name";
      label.textContent = name;
      const size = document.createElement("span");
      size.className = "size";
      size.textContent = `${bytes.length} bytes`;
      const view = document.createElement("button");
      view.className = "view";
      view.textContent = "View";
      view.setAttribute("aria-label", `View ${name}`);
      view.setAttribute("aria-expanded", "false");
      const get = download(name, bytes, "Download");
      get.setAttribute("aria-label", `Download ${name}`);
      header.append(label, size, view, get);
      item.append(header);
      view.addEventListener("click", () => {
        const open = item.querySelector("pre");
        view.setAttribute("aria-expanded", String(!open));
        if (open) {
          open.remove();
          return;
        }
        const pre = document.createElement("pre");
        pre.tabIndex = 0;
        pre.setAttribute("aria-label", `Contents of ${name}`);
        const text = new TextDecoder().decode(bytes.subarray(0, SCREEN_LIMIT));
        pre.textContent = bytes.length > SCREEN_LIMIT ? text + "\n…" : text;
        item.append(pre);
      });
      list.append(item);
    }
  }

  function setRunning(on, interactive) {
    running = on;
    runButton.disabled = on;
    stopButton.disabled = !on;
    // The console line takes the focus only when the program asks for input.
    $("console-input").hidden = !(on && interactive);
  }

  function setStatus(text, failed) {
    status.textContent = text;
    status.className = failed ? "status fail" : "status";
  }

  async function runNow() {
    if (running) return;
    // Focus goes back where it was once the run is over (the Run button is
    // disabled meanwhile, which would drop it).
    const focused = document.activeElement;
    // Marks go on the text that ran, not on one edited since.
    const ran = editor.doc();
    resetConsole();
    $("files").textContent = "";
    setStatus("running…", false);
    editor.markError(0);
    const interactive = rill.interactive && stdinBox.value === "";
    setRunning(true, interactive);
    // On a small screen the output may lie below the fold.
    const box = consoleBox.getBoundingClientRect();
    if (box.top < 0 || box.bottom > window.innerHeight)
      consoleBox.scrollIntoView({ block: "nearest" });
    let result;
    try {
      result = await rill.run(editor.getText(), {
        name: NAME,
        input: stdinBox.value,
        interactive,
        onOutput,
        onInputWanted: () => consoleLine.focus(),
      });
    } catch (e) {
      setRunning(false);
      setStatus(String(e.message || e).split("\n")[0], true);
      return;
    }
    setRunning(false);
    // Disabled now, the Stop button cannot keep the focus (nor can the
    // console line, hidden now); it goes back where it was when the run began.
    const now = document.activeElement;
    if (!now || now === document.body || now === consoleLine || now === stopButton) {
      const back =
        focused && focused !== document.body && focused !== stopButton ? focused : runButton;
      back.focus({ preventScroll: true }); // the output stays in view
    }
    write(decoders[1].decode(), "out");
    write(decoders[2].decode(), "err");
    if (hidden > 0) {
      const cap = $("cap");
      cap.textContent = `Only the first ${SCREEN_LIMIT} characters are shown; ${hidden} more were printed. `;
      cap.append(
        download("stdout.txt", result.stdout, "Download standard output"),
        " ",
        download("stderr.txt", result.stderr, "Download standard error"),
      );
      cap.hidden = false;
    }
    const ms = Math.round(result.elapsed);
    if (result.outputLimit)
      setStatus(`stopped: the output passed ${result.outputLimit / 1048576} MiB (${ms} ms)`, true);
    else if (result.fileLimit)
      setStatus(
        `stopped: the files passed ${result.fileLimit / 1048576} MiB; what fitted is kept (${ms} ms)`,
        true,
      );
    else if (result.stopped)
      setStatus(
        result.status === null
          ? `stopped (${ms} ms)`
          : `stopped: exit status ${result.status} (${ms} ms)`,
        true,
      );
    else setStatus(`exit status ${result.status} (${ms} ms)`, result.status !== 0);
    showFiles(result.files);
    // A located diagnostic names the program and its line (and column). Only
    // rill's own diagnostics count: a program may write anything to its file
    // on /dev/stderr.
    const located = new TextDecoder().decode(result.diagnostics).match(/^program\.rill:(\d+):/m);
    if (located && editor.doc() === ran) editor.markError(Number(located[1]));
  }

  runButton.addEventListener("click", runNow);
  stopButton.addEventListener("click", () => rill.stop());
  consoleLine.addEventListener("keydown", (e) => {
    if (e.key === "Enter") {
      e.preventDefault();
      write(consoleLine.value + "\n", "echo");
      rill.input(consoleLine.value + "\n");
      consoleLine.value = "";
    } else if (e.key === "d" && e.ctrlKey) {
      e.preventDefault();
      endInput();
    }
  });
  function endInput() {
    if (consoleLine.value) {
      write(consoleLine.value, "echo");
      rill.input(consoleLine.value);
      consoleLine.value = "";
    }
    write("^D\n", "echo");
    rill.input(null);
  }
  $("eof").addEventListener("click", endInput);

  // Share: the program and its input travel in the link's fragment, which
  // never reaches a server, compressed (z=) and base64url-coded. Links of
  // the first kind (src= and in=, the UTF-8 bytes only base64url-coded)
  // still open.
  function toBase64Url(bytes) {
    let binary = "";
    for (let i = 0; i < bytes.length; i += 8192)
      binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 8192));
    return btoa(binary).replace(/\+/g, "-").replace(/\//g, "_").replace(/=+$/, "");
  }
  function fromBase64Url(text) {
    const binary = atob(text.replace(/-/g, "+").replace(/_/g, "/"));
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
  }
  // The bytes a stream makes of bytes, up to limit: past it, the stream is
  // abandoned there and a RangeError thrown.
  async function pipeThrough(bytes, stream, limit) {
    const reader = new Blob([bytes]).stream().pipeThrough(stream).getReader();
    const chunks = [];
    let size = 0;
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      size += value.length;
      if (size > limit) {
        reader.cancel().catch(() => {});
        throw new RangeError("too long");
      }
      chunks.push(value);
    }
    const all = new Uint8Array(size);
    chunks.reduce((at, c) => (all.set(c, at), at + c.length), 0);
    return all;
  }
  const utf8 = (bytes) => new TextDecoder("utf-8", { fatal: true }).decode(bytes);
  async function pack(bytes) {
    return toBase64Url(await pipeThrough(bytes, new CompressionStream("deflate-raw"), Infinity));
  }
  async function unpack(text) {
    return utf8(
      await pipeThrough(fromBase64Url(text), new DecompressionStream("deflate-raw"), TEXT_LIMIT),
    );
  }
  function unpackOld(text) {
    const bytes = fromBase64Url(text);
    if (bytes.length > TEXT_LIMIT) throw new RangeError("too long");
    return utf8(bytes);
  }

  // The box stays only while the link holds what is in the editor.
  function closeShare() {
    const box = $("share-box");
    if (box.hidden) return;
    if (box.contains(document.activeElement)) $("share").focus();
    box.hidden = true;
  }

  $("share").addEventListener("click", async () => {
    const box = $("share-box"),
      field = $("share-link"),
      note = $("share-note");
    const program = new TextEncoder().encode(editor.getText()),
      input = new TextEncoder().encode(stdinBox.value);
    if (program.length > TEXT_LIMIT || input.length > TEXT_LIMIT) {
      box.hidden = false;
      field.value = "";
      field.hidden = true;
      note.textContent = `Too long to share as a link: the program and the input may hold ${TEXT_LIMIT / 1048576} MiB each. Shorten them.`;
      return;
    }
    let fragment = "z=" + (await pack(program));
    if (input.length) fragment += "&zin=" + (await pack(input));
    const link = new URL("#" + fragment, location.href).href;
    box.hidden = false;
    if (link.length > LINK_LIMIT) {
      field.value = "";
      field.hidden = true;
      note.textContent = `Too long to share as a link: it would be ${link.length} characters, and browsers may not open links over ${LINK_LIMIT}. Shorten the program or its input.`;
      return;
    }
    field.hidden = false;
    field.value = link;
    field.select();
    note.textContent = "Link copied.";
    if (navigator.clipboard)
      navigator.clipboard.writeText(link).catch(() => {
        note.textContent = "Copy the link above.";
      });
  });

  // The program (and input) a link holds, or null when it holds none.
  // A broken input keeps the program, with a note; a broken program gives up.
  async function readLink() {
    const params = new URLSearchParams(location.hash.slice(1));
    const packed = params.has("z");
    if (!packed && !params.has("src")) return null;
    const read = packed ? unpack : async (t) => unpackOld(t);
    const tooLong = `The link was not opened: it holds more than the ${TEXT_LIMIT / 1048576} MiB of program or input this page puts in a link.`;
    let program;
    try {
      program = await read(params.get(packed ? "z" : "src"));
    } catch (e) {
      return { failed: e instanceof RangeError ? tooLong : "The link holds no readable program." };
    }
    const inKey = packed ? "zin" : "in";
    let input = "",
      note = "";
    if (params.has(inKey)) {
      try {
        input = await read(params.get(inKey));
      } catch (e) {
        if (e instanceof RangeError) return { failed: tooLong };
        note = "The link's input could not be read; its program is here without it.";
      }
    }
    return { program, input, note };
  }

  // Opens a link's program, asking first when it would replace edits that
  // differ from it. The fragment is then cleared, so that a reload brings
  // back the latest edits rather than the link.
  async function openLink(current) {
    const link = await readLink();
    if (!link) return false;
    history.replaceState(null, "", location.pathname + location.search);
    if (link.failed) {
      setStatus(link.failed, true);
      return false;
    }
    const edited = current && (current.program !== link.program || current.input !== link.input);
    if (
      edited &&
      !confirm("Replace your program with the one in the link? Your edits would be lost.")
    )
      return false;
    setProgram(link.program, link.input);
    if (link.note) setStatus(link.note, true);
    return true;
  }
  window.addEventListener("hashchange", () => {
    const current = { program: editor.getText(), input: stdinBox.value };
    openLink(current.program === firstExample() && !current.input ? null : current);
  });

  for (const ex of self.RILL_EXAMPLES || []) {
    const option = document.createElement("option");
    option.value = ex.name;
    option.textContent = ex.name;
    examples.append(option);
  }
  // An example replaces the program and input only when that loses nothing,
  // or when the user agrees, as a link does (a change comes from the mouse or
  // from one arrow key on the closed menu alike).
  examples.addEventListener("change", () => {
    const ex = allExamples().find((e) => e.name === examples.value);
    examples.value = "";
    if (!ex) return;
    if (
      !unedited(editor.getText(), stdinBox.value) &&
      !confirm(`Replace your program with the example "${ex.name}"? Your edits would be lost.`)
    )
      return;
    setProgram(ex.source, "");
  });

  $("input-mode").textContent = rill.interactive
    ? "With the box empty, console input is typed in the console while the program waits."
    : "Console input comes from this box (served without cross-origin isolation, the program cannot wait for typing).";

  // A link's program, or else the edits saved here, or else an example.
  async function start() {
    const saved = readSaved();
    const current = saved && { program: saved.program, input: saved.input };
    if (await openLink(current)) return;
    editor.setText(saved ? saved.program : firstExample());
    stdinBox.value = saved ? saved.input : "";
    unsaved = false; // as loaded: nothing new to save
  }
  start();

  // For tests and embedding pages: the editor's text.
  window.rillPage = {
    getSource: () => editor.getText(),
    setSource: (text) => editor.setText(text),
    errorLine: () => editor.errorLine(),
    view: editor.view,
  };

  rill.ready.then(
    () => {
      runButton.disabled = false;
      $("state").textContent = "ready";
    },
    (e) => {
      $("state").textContent = "could not load: " + (e.message || e);
    },
  );
})();
