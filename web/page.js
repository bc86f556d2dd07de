// The playground page, built on window.rill like any other embedding page.
(function () {
  'use strict';

  const SCREEN_LIMIT = 200000;   // characters of output kept on screen; the rest is downloadable
  const NAME = 'program.rill';
  const $ = id => document.getElementById(id);
  const source = $('source'), gutter = $('gutter'), backdrop = $('backdrop');
  const consoleBox = $('console'), consoleLine = $('console-line');
  const stdinBox = $('stdin'), examples = $('examples');
  let running = false;
  let errorLine = 0;

  // Editor: line numbers, colours from the grammar and the marked error
  // line, all painted behind the textarea, whose own text is then clear.
  const highlighter = self.rillHighlighter;
  if (highlighter) source.parentElement.classList.add('highlighted');
  let painting = 0;
  function paintEditor() {
    if (!painting) painting = requestAnimationFrame(paintNow);
  }
  function paintNow() {
    painting = 0;
    const text = source.value;
    const lines = text.split('\n').length;
    if (gutter.childElementCount !== lines) {
      const numbers = [];
      for (let i = 1; i <= lines; i++) numbers.push(`<div>${i}</div>`);
      gutter.innerHTML = numbers.join('');
    }
    for (const el of gutter.querySelectorAll('.error')) el.classList.remove('error');
    if (errorLine > 0 && errorLine <= lines) gutter.children[errorLine - 1].classList.add('error');
    backdrop.textContent = '';
    if (highlighter || errorLine > 0) {
      // One block a line, so that the mark lies under its line.
      let line = 0;
      const newRow = () => {
        const row = document.createElement('div');
        if (++line === errorLine) row.className = 'error-line';
        backdrop.append(row);
        return row;
      };
      let row = newRow();
      for (const [from, to, scope] of highlighter ? highlighter(text) : [[0, text.length, null]]) {
        text.slice(from, to).split('\n').forEach((part, k) => {
          if (k > 0) row = newRow();
          if (!part) return;
          const span = document.createElement('span');
          if (scope) span.className = 'tm-' + scope.split('.')[0];
          span.textContent = part;
          row.append(span);
        });
      }
    }
    syncScroll();
  }
  function syncScroll() {
    gutter.scrollTop = source.scrollTop;
    backdrop.scrollTop = source.scrollTop;
    backdrop.scrollLeft = source.scrollLeft;
  }
  source.addEventListener('input', () => { errorLine = 0; paintEditor(); });
  source.addEventListener('scroll', syncScroll);
  source.addEventListener('keydown', e => {
    if (e.key === 'Enter' && (e.ctrlKey || e.metaKey)) { e.preventDefault(); runNow(); }
    if (e.key === 'Tab' && !e.shiftKey) {
      e.preventDefault();
      document.execCommand('insertText', false, '    ');
    }
  });
  function setSource(text) {
    source.value = text;
    errorLine = 0;
    paintEditor();
  }

  // Console: output arrives in chunks, is decoded as a stream per descriptor
  // and painted once a frame, and stops growing on screen past the limit.
  let shown = 0, hidden = 0, queued = [], frame = 0, decoders = null;
  function resetConsole() {
    consoleBox.textContent = '';
    shown = hidden = 0;
    queued = [];
    decoders = {1: new TextDecoder(), 2: new TextDecoder()};
    $('cap').hidden = true;
  }
  function write(text, cls) {
    if (!text) return;
    const room = SCREEN_LIMIT - shown;
    if (room <= 0) { hidden += text.length; return; }
    if (text.length > room) { hidden += text.length - room; text = text.slice(0, room); }
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
        const span = document.createElement('span');
        span.className = cls;
        span.textContent = text;
        consoleBox.append(span);
      }
    }
    queued = [];
    if (stick) consoleBox.scrollTop = consoleBox.scrollHeight;
  }
  function onOutput(fd, bytes) {
    write(decoders[fd].decode(bytes, {stream: true}), fd === 1 ? 'out' : 'err');
  }

  function download(name, bytes, label) {
    const a = document.createElement('a');
    a.href = URL.createObjectURL(new Blob([bytes], {type: 'application/octet-stream'}));
    a.download = name;
    a.textContent = label || 'Download';
    return a;
  }

  function showFiles(files) {
    const list = $('files');
    list.textContent = '';
    for (const name of Object.keys(files).sort()) {
      const bytes = files[name];
      const item = document.createElement('div');
      item.className = 'file';
      item.innerHTML = '<header><span class="name"></span><span class="size"></span>' +
        '<button class="view">View</button></header>';
      item.querySelector('.name').textContent = name;
      item.querySelector('.size').textContent = `${bytes.length} bytes`;
      item.querySelector('header').append(download(name, bytes));
      item.querySelector('.view').addEventListener('click', () => {
        const open = item.querySelector('pre');
        if (open) { open.remove(); return; }
        const pre = document.createElement('pre');
        const text = new TextDecoder().decode(bytes.subarray(0, SCREEN_LIMIT));
        pre.textContent = bytes.length > SCREEN_LIMIT ? text + '\n…' : text;
        item.append(pre);
      });
      list.append(item);
    }
  }

  function setRunning(on, interactive) {
    running = on;
    $('run').disabled = on;
    $('stop').disabled = !on;
    $('console-input').hidden = !(on && interactive);
    if (on && interactive) consoleLine.focus();
  }

  async function runNow() {
    if (running) return;
    resetConsole();
    $('files').textContent = '';
    $('status').textContent = 'running…';
    $('status').className = 'status';
    errorLine = 0;
    paintEditor();
    const interactive = rill.interactive && stdinBox.value === '';
    setRunning(true, interactive);
    let result;
    try {
      result = await rill.run(source.value, {
        name: NAME, input: stdinBox.value, interactive, onOutput,
        onInputWanted: () => consoleLine.focus(),
      });
    } catch (e) {
      setRunning(false);
      $('status').textContent = String(e.message || e);
      $('status').className = 'status fail';
      return;
    }
    setRunning(false);
    write(decoders[1].decode(), 'out');
    write(decoders[2].decode(), 'err');
    if (hidden > 0) {
      const cap = $('cap');
      cap.textContent = `Only the first ${SCREEN_LIMIT} characters are shown; ${hidden} more were printed. `;
      cap.append(download('stdout.txt', result.stdout, 'Download standard output'), ' ',
                 download('stderr.txt', result.stderr, 'Download standard error'));
      cap.hidden = false;
    }
    const ms = Math.round(result.elapsed);
    if (result.stopped) {
      $('status').textContent = result.outputLimit
        ? `stopped: the output passed ${result.outputLimit / 1048576} MiB (${ms} ms)`
        : `stopped (${ms} ms)`;
    } else {
      $('status').textContent = `exit status ${result.status} (${ms} ms)`;
    }
    $('status').className = result.status === 0 ? 'status' : 'status fail';
    showFiles(result.files);
    // A located diagnostic names the program and its line (and column).
    const located = new TextDecoder().decode(result.stderr).match(/^program\.rill:(\d+):/m);
    if (located) {
      errorLine = Number(located[1]);
      paintEditor();
      const top = (errorLine - 3) * 20;
      if (top > source.scrollTop + source.clientHeight - 40 || top < source.scrollTop) source.scrollTop = Math.max(0, top);
    }
  }

  $('run').addEventListener('click', runNow);
  $('stop').addEventListener('click', () => rill.stop());
  consoleLine.addEventListener('keydown', e => {
    if (e.key === 'Enter') {
      e.preventDefault();
      write(consoleLine.value + '\n', 'echo');
      rill.input(consoleLine.value + '\n');
      consoleLine.value = '';
    } else if (e.key === 'd' && e.ctrlKey) {
      e.preventDefault();
      endInput();
    }
  });
  function endInput() {
    if (consoleLine.value) {
      write(consoleLine.value, 'echo');
      rill.input(consoleLine.value);
      consoleLine.value = '';
    }
    write('^D\n', 'echo');
    rill.input(null);
  }
  $('eof').addEventListener('click', endInput);

  // Share: the program and its input travel in the link's fragment, which
  // never reaches a server.
  function toBase64Url(text) {
    let binary = '';
    for (const b of new TextEncoder().encode(text)) binary += String.fromCharCode(b);
    return btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
  }
  function fromBase64Url(text) {
    const binary = atob(text.replace(/-/g, '+').replace(/_/g, '/'));
    return new TextDecoder().decode(Uint8Array.from(binary, c => c.charCodeAt(0)));
  }
  $('share').addEventListener('click', () => {
    let fragment = 'src=' + toBase64Url(source.value);
    if (stdinBox.value) fragment += '&in=' + toBase64Url(stdinBox.value);
    history.replaceState(null, '', '#' + fragment);
    const link = $('share-link');
    link.value = location.href;
    link.hidden = false;
    link.select();
    if (navigator.clipboard) navigator.clipboard.writeText(location.href).catch(() => {});
  });
  function loadFromLink() {
    const params = new URLSearchParams(location.hash.slice(1));
    if (!params.has('src')) return false;
    try {
      setSource(fromBase64Url(params.get('src')));
      stdinBox.value = params.has('in') ? fromBase64Url(params.get('in')) : '';
      return true;
    } catch (e) {
      $('status').textContent = 'The link holds no readable program.';
      return false;
    }
  }
  window.addEventListener('hashchange', loadFromLink);

  for (const ex of self.RILL_EXAMPLES || []) {
    const option = document.createElement('option');
    option.value = ex.name;
    option.textContent = ex.name;
    examples.append(option);
  }
  examples.addEventListener('change', () => {
    const ex = (self.RILL_EXAMPLES || []).find(e => e.name === examples.value);
    if (!ex) return;
    setSource(ex.source);
    stdinBox.value = '';
    examples.value = '';
  });

  $('input-mode').textContent = rill.interactive
    ? 'With the box empty, console input is typed in the console while the program waits.'
    : 'Console input comes from this box (served without cross-origin isolation, the program cannot wait for typing).';
  if (!loadFromLink()) {
    const first = (self.RILL_EXAMPLES || []).find(e => e.name === 'sample') || (self.RILL_EXAMPLES || [])[0];
    setSource(first ? first.source : 'P("Hello, world" \\n);\n');
  }
  rill.ready.then(() => {
    $('run').disabled = false;
    $('state').textContent = 'ready';
  }, e => {
    $('state').textContent = 'could not load: ' + (e.message || e);
  });
})();
