// The playground page, built on window.rill like any other embedding page.
(function () {
  "use strict";

  const SCREEN_LIMIT = 200000; // characters of output kept on screen; the rest is downloadable
  const NAME = "program.rill";
  const SAVED = { program: "rill.program", input: "rill.input" }; // localStorage keys
  // The longest link this page makes: browsers open links of up to about
  // 2 MB at best, and many stop well before.
  const LINK_LIMIT = 1000000;
  const $ = (id) => document.getElementById(id);
  const consoleBox = $("console"),
    consoleLine = $("console-line");
  const stdinBox = $("stdin"),
    examples = $("examples"),
    status = $("status");
  let running = false;

  const firstExample = () => {
    const all = self.RILL_EXAMPLES || [];
    const ex = all.find((e) => e.name === "sample") || all[0];
    return ex ? ex.source : 'P("Hello, world" \\n);\n';
  };

  function storageGet(key) {
    try {
      return localStorage.getItem(key);
    } catch (e) {
      return null; // storage refused (a private window, an embedding frame)
    }
  }

  // Edits are saved in this browser as they are made, and restored on load.
  let saveTimer = 0;
  function saveNow() {
    clearTimeout(saveTimer);
    saveTimer = 0;
    try {
      localStorage.setItem(SAVED.program, editor.getText());
      localStorage.setItem(SAVED.input, stdinBox.value);
    } catch (e) {
      /* full or refused: nothing more to do */
    }
  }
  function saveSoon() {
    if (!saveTimer) saveTimer = setTimeout(saveNow, 300);
  }

  const editor = rillEditor.create({
    parent: $("editor"),
    doc: "",
    label: "Program",
    onChange: saveSoon,
    onRun: () => runNow(),
  });
  stdinBox.addEventListener("input", saveSoon);
  window.addEventListener("pagehide", saveNow);
  function setProgram(text, input) {
    editor.setText(text);
    stdinBox.value = input;
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
    $("run").disabled = on;
    $("stop").disabled = !on;
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
    resetConsole();
    $("files").textContent = "";
    setStatus("running…", false);
    editor.markError(0);
    const interactive = rill.interactive && stdinBox.value === "";
    setRunning(true, interactive);
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
    const now = document.activeElement;
    if (focused && focused !== now && (!now || now === document.body || now === consoleLine))
      focused.focus();
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
    else if (result.stopped)
      setStatus(
        result.status === null
          ? `stopped (${ms} ms)`
          : `stopped: exit status ${result.status} (${ms} ms)`,
        true,
      );
    else setStatus(`exit status ${result.status} (${ms} ms)`, result.status !== 0);
    showFiles(result.files);
    // A located diagnostic names the program and its line (and column).
    const located = new TextDecoder().decode(result.stderr).match(/^program\.rill:(\d+):/m);
    if (located) editor.markError(Number(located[1]));
  }

  $("run").addEventListener("click", runNow);
  $("stop").addEventListener("click", () => rill.stop());
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
  async function pipeThrough(bytes, stream) {
    const out = new Response(new Blob([bytes]).stream().pipeThrough(stream));
    return new Uint8Array(await out.arrayBuffer());
  }
  const utf8 = (bytes) => new TextDecoder("utf-8", { fatal: true }).decode(bytes);
  async function pack(text) {
    const bytes = new TextEncoder().encode(text);
    return toBase64Url(await pipeThrough(bytes, new CompressionStream("deflate-raw")));
  }
  async function unpack(text) {
    return utf8(await pipeThrough(fromBase64Url(text), new DecompressionStream("deflate-raw")));
  }

  $("share").addEventListener("click", async () => {
    let fragment = "z=" + (await pack(editor.getText()));
    if (stdinBox.value) fragment += "&zin=" + (await pack(stdinBox.value));
    const link = new URL("#" + fragment, location.href).href;
    const box = $("share-box"),
      field = $("share-link"),
      note = $("share-note");
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
    const read = packed ? unpack : async (t) => utf8(fromBase64Url(t));
    let program;
    try {
      program = await read(params.get(packed ? "z" : "src"));
    } catch (e) {
      return { failed: "The link holds no readable program." };
    }
    const inKey = packed ? "zin" : "in";
    let input = "",
      note = "";
    if (params.has(inKey)) {
      try {
        input = await read(params.get(inKey));
      } catch (e) {
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
  examples.addEventListener("change", () => {
    const ex = (self.RILL_EXAMPLES || []).find((e) => e.name === examples.value);
    if (!ex) return;
    setProgram(ex.source, "");
    examples.value = "";
  });

  $("input-mode").textContent = rill.interactive
    ? "With the box empty, console input is typed in the console while the program waits."
    : "Console input comes from this box (served without cross-origin isolation, the program cannot wait for typing).";

  // A link's program, or else the edits saved here, or else an example.
  async function start() {
    const saved = storageGet(SAVED.program);
    const savedInput = storageGet(SAVED.input) || "";
    const current = saved === null ? null : { program: saved, input: savedInput };
    if (await openLink(current)) return;
    editor.setText(saved === null ? firstExample() : saved);
    stdinBox.value = savedInput;
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
      $("run").disabled = false;
      $("state").textContent = "ready";
    },
    (e) => {
      $("state").textContent = "could not load: " + (e.message || e);
    },
  );
})();
