"""The playground in headless Chromium, driven through selenium, against the
native build: every result the page gives must be the one the native binary
gives for the same program and input.

    /usr/bin/python3 tests/web/browser_test.py BUILD_WEB_DIR NATIVE_RILL

Leaves a screenshot of the page after a run in BUILD_WEB_DIR/playground.png.
"""
import base64
import functools
import http.server
import re
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import zlib

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, 'web'))
from serve import make_server  # noqa: E402

BUILD_WEB = NATIVE = None      # set by main from the command line
results = []


def check(name, ok, detail=''):
    results.append(ok)
    print(('ok   ' if ok else 'FAIL ') + name + ('' if ok or not detail else ': ' + detail), flush=True)


def native(source, stdin=b'', diagnostics=True):
    """Runs the native binary as the page does: program.rill in an empty folder."""
    with tempfile.TemporaryDirectory() as folder:
        src = source.encode() if isinstance(source, str) else source
        with open(os.path.join(folder, 'program.rill'), 'wb') as f:
            f.write(src)
        env = {k: v for k, v in os.environ.items() if k != 'RILL_DIAGNOSTICS'}
        if diagnostics:
            env['RILL_DIAGNOSTICS'] = '1'
        p = subprocess.run([NATIVE, 'program.rill'], cwd=folder, input=stdin, capture_output=True, env=env, timeout=120)
        files = {}
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), 'rb') as f:
                files[name] = f.read()
        if files.get('program.rill') == src:
            del files['program.rill']
        return {'stdout': p.stdout, 'stderr': p.stderr, 'status': p.returncode, 'files': files}


def native_interrupted(source, after=0.3):
    """The native binary, as the page runs it, sent SIGINT after a while."""
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, 'program.rill'), 'w') as f:
            f.write(source)
        env = dict(os.environ, RILL_DIAGNOSTICS='1')
        p = subprocess.Popen([NATIVE, 'program.rill'], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(after)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=60)
        files = {}
        for name in os.listdir(folder):
            if name != 'program.rill':
                with open(os.path.join(folder, name), 'rb') as f:
                    files[name] = f.read()
        return {'stdout': out, 'stderr': err, 'status': 130 if p.returncode == -signal.SIGINT else p.returncode,
                'files': files}


# rill.run in the page; bytes come back as base64.
RUN_JS = '''
const [given, options, done] = arguments;
const bytes = text => Uint8Array.from(atob(text), c => c.charCodeAt(0));
const b64 = data => { let s = ''; for (let i = 0; i < data.length; i += 8192)
  s += String.fromCharCode.apply(null, data.subarray(i, i + 8192)); return btoa(s); };
if (given.input !== undefined) options.input = given.inputBytes ? bytes(given.input) : given.input;
const source = given.sourceBytes ? bytes(given.source) : given.source;
const report = r => {
  const files = Object.keys(r.files).map(name => [name, b64(r.files[name])]);
  return {stdout: b64(r.stdout), stderr: b64(r.stderr), status: r.status, files, elapsed: r.elapsed,
          stopped: Boolean(r.stopped), prototype: Object.getPrototypeOf(r.files) === null,
          fileLimit: r.fileLimit || 0, diagnostics: b64(r.diagnostics)};
};
// With stopAfter, rill.stop() once that text has been printed: its result is
// the one reported, and the run's own must be the same.
let printed = '';
if (given.stopAfter) options.onOutput = (fd, b) => { printed += new TextDecoder().decode(b); };
const run = rill.run(source, options);
if (given.stopAfter) {
  (function wait() {
    if (!printed.includes(given.stopAfter)) { setTimeout(wait, 5); return; }
    const t = performance.now();
    Promise.all([rill.stop(), run]).then(([r, own]) => {
      const result = report(r);
      result.stopTook = performance.now() - t;
      result.sameResult = r === own;
      done(result);
    }, e => done({error: String(e)}));
  })();
} else {
  run.then(r => done(report(r)), e => done({error: String(e)}));
}
'''


def page_run(driver, source, stdin=None, stop_after=None, **options):
    """rill.run in the page; source and stdin are str (passed as strings) or
    bytes. With stop_after, rill.stop() once that text has been printed."""
    given = {'source': source, 'sourceBytes': isinstance(source, bytes), 'stopAfter': stop_after}
    if given['sourceBytes']:
        given['source'] = base64.b64encode(source).decode()
    if stdin is not None:
        given['inputBytes'] = isinstance(stdin, bytes)
        given['input'] = base64.b64encode(stdin).decode() if given['inputBytes'] else stdin
    r = driver.execute_async_script(RUN_JS, given, options)
    if 'error' in r:
        raise RuntimeError(r['error'])
    r['stdout'], r['stderr'] = base64.b64decode(r['stdout']), base64.b64decode(r['stderr'])
    r['diagnostics'] = base64.b64decode(r['diagnostics'])
    r['files'] = {k: base64.b64decode(v) for k, v in r['files']}
    return r


def same(name, web, nat):
    diffs = [k for k in ('stdout', 'stderr', 'status', 'files') if web[k] != nat[k]]
    check(name, not diffs, '; '.join(f'{k}: page {web[k]!r:.300} native {nat[k]!r:.300}' for k in diffs))


def console_text(driver, cls='out'):
    return driver.execute_script(
        'return Array.from(document.querySelectorAll("#console .' + cls + '")).map(s => s.textContent).join("")')


def set_editor(driver, text, stdin=''):
    driver.execute_script('''
        const [text, stdin] = arguments;
        rillPage.setSource(text);
        const box = document.getElementById("stdin");
        box.value = stdin;
        box.dispatchEvent(new Event("input"));''', text, stdin)


def get_source(driver):
    return driver.execute_script('return rillPage.getSource()')


def wait_for(driver, what, seconds=30):
    WebDriverWait(driver, seconds, poll_frequency=0.05).until(lambda d: what())


def waited(driver, what, seconds=5):
    try:
        wait_for(driver, what, seconds)
        return True
    except TimeoutException:
        return False


def status_text(driver):
    return driver.find_element(By.ID, 'status').text


def open_page(site):
    """Serves site on a free localhost port and opens it in headless Chromium."""
    server = make_server(site)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f'http://127.0.0.1:{server.server_address[1]}/'
    options = webdriver.ChromeOptions()
    for arg in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--disable-gpu', '--window-size=1280,860'):
        options.add_argument(arg)
    options.binary_location = '/usr/bin/chromium'
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
    driver.set_script_timeout(180)
    driver.get(url)
    return server, driver, url


def main():
    global BUILD_WEB, NATIVE
    BUILD_WEB, NATIVE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    started = time.monotonic()
    server, driver, url = open_page(os.path.join(BUILD_WEB, 'site'))
    try:
        ready = driver.execute_async_script(
            'const done = arguments[0]; const t = performance.now();'
            'rill.ready.then(() => done(performance.now() - t), e => done(String(e)))')
        check('the module compiles and warms up', isinstance(ready, (int, float)), str(ready))
        check('the page is cross-origin isolated', driver.execute_script('return crossOriginIsolated'))
        run_api(driver)
        run_api_limits(driver)
        run_stop(driver, 'isolated')
        run_streaming(driver, 'isolated')
        run_page(driver, url)
        run_files_and_memory(driver)
        run_accessibility(driver)
        run_layouts(driver)
        run_hosting(driver, url)
        run_editor(driver, url)
        run_work_kept(driver, url)
        run_editor_tools(driver, url)
        run_page_states(driver, url)
        # A host that cannot set the isolation headers.
        plain = make_server(os.path.join(BUILD_WEB, 'site'), isolate=False)
        threading.Thread(target=plain.serve_forever, daemon=True).start()
        driver.get(f'http://127.0.0.1:{plain.server_address[1]}/')
        driver.execute_async_script('const done = arguments[0]; rill.ready.then(() => done(), () => done())')
        check('without the headers the page is not isolated', not driver.execute_script('return crossOriginIsolated'))
        run_stop(driver, 'not isolated')
        run_streaming(driver, 'not isolated')
        plain.shutdown()
        run_embedding(driver, url)
    finally:
        driver.quit()
        server.shutdown()
    passed = results.count(True)
    print(f'browser test took {time.monotonic() - started:.1f} s')
    print(f'{passed} passed, {len(results) - passed} failed')
    return 0 if passed == len(results) else 1


def run_api(driver):
    program = 'int a; dbl x;\nS(a); S(x);\nP("a=" a " x=" x \\n);\nS(a); P("then " a \\n);\n'
    same('console input given up front', page_run(driver, program, b'12 2.5\n-7\n'), native(program, b'12 2.5\n-7\n'))
    same('console input as a string, ended early',
         page_run(driver, program, '5'), native(program, b'5'))

    program = '# "table.txt"\nint i;\nloop (3) { i ++; F("row " i \\n); };\nP("done" \\n);\n'
    web = page_run(driver, program)
    same('a header file', web, native(program))
    check('the header file is among the files', web['files'].get('table.txt') == b'row 1\nrow 2\nrow 3\n')

    program = 'int i;\nP("before" \\n);\ni = 3;\nP(i \\n) ;\ni = = 4;\nP("after" \\n);\n'
    web = page_run(driver, program)
    err = web['stderr'].decode()
    check('a syntax error gives status 1 and parse error first', web['status'] == 1 and err.startswith('parse error\n'), err)
    check('a syntax error is located', 'program.rill:5:5: ' in err and '\n    i = = 4;\n        ^\n' in err, err)
    same('a syntax error, located', web, native(program))
    same('a syntax error without diagnostics', page_run(driver, program, diagnostics=False), native(program, diagnostics=False))
    same('the program named by the caller', page_run(driver, program, name='my.rill'), native_named(program, 'my.rill'))

    program = 'int a, b;\na = 7;\nloop (10) { b ++; if (b == 5) { a = a / (b - 5); }; };\nP("never" \\n);\n'
    web = page_run(driver, program)
    check('a division by zero is located', web['stderr'].decode().startswith('division by zero\nprogram.rill:3:'),
          repr(web['stderr']))
    same('a division by zero in a loop', web, native(program))

    program = bytes([0x50, 0x28, 0x22, 0xc3, 0xa9, 0xff, 0x22, 0x20, 0x5c, 0x6e, 0x29, 0x3b, 0x0a])
    same('source given as bytes', page_run(driver, program), native(program))

    with open(os.path.join(ROOT, 'bench', 'loops', 'intarith.rill')) as f:
        program = f.read().replace('10000', '3000')
    web = page_run(driver, program)
    t = time.monotonic()
    nat = native(program)
    native_s = time.monotonic() - t
    same('a long loop (9 * 10^6 passes)', web, nat)
    print(f'     long loop: page {web["elapsed"] / 1000:.3f} s, native {native_s:.3f} s')


# A run of source for ms milliseconds, then rill.stop(): when each piece of
# output arrived, and the stopped run's result.
STREAM_JS = '''
const [source, ms, done] = arguments;
const pieces = [], start = performance.now();
const decoder = new TextDecoder();
rill.run(source, {onOutput: (fd, b) => pieces.push([performance.now() - start, decoder.decode(b)])});
setTimeout(() => rill.stop().then(r => done({pieces, stdout: decoder.decode(r.stdout),
  stderr: decoder.decode(r.stderr), status: r.status})), ms);
'''

ENDLESS = 'int i;\nloop (2000000000) { loop (2000000000) { i ++; }; };\n'


def run_stop(driver, how):
    """Stop keeps what the run printed and wrote, as an interrupt does natively."""
    program = ('# "log.txt"\nF("first line of the log" \\n);\nP("logged" \\n);\nP("no newline yet");\n' + ENDLESS)
    web = page_run(driver, program, stop_after='logged')
    same(f'Stop in an endless loop keeps output and files ({how})', web, native_interrupted(program))
    check(f'rill.stop() resolves with the run\'s result, stopped ({how})',
          web['stopped'] and web['sameResult'] and web['status'] == 130, repr(web)[:300])
    check(f'the run stops within the grace period ({how})', web['stopTook'] < 500, f"{web['stopTook']:.0f} ms")
    if how == 'isolated':
        # A run waiting for a line typed in the console stops there too.
        program = '# "log.txt"\nint a;\nF("before the read" \\n);\nS(a);\nP("never" \\n);\n'
        web = page_run(driver, program, stop_after='>> ', interactive=True)
        check('Stop while a run waits for console input keeps its file',
              web['stdout'] == b'>> ' and web['stderr'] == b'interrupted\n' and web['status'] == 130
              and web['files'] == {'log.txt': b'before the read\n'} and web['stopTook'] < 500, repr(web)[:300])

    # Files are data: names that are an object's own keys elsewhere.
    for name in ('__proto__', 'constructor', 'hasOwnProperty', 'toString', 'x' * 255, 'x' * 256, 'é' * 128):
        program = f'# "{name}"\nP("to a file" \\n);\nF("kept" \\n);\n'
        web = page_run(driver, program)
        same(f'a file named {name[:20]}... ({how})' if len(name) > 20 else f'a file named {name} ({how})',
             web, native(program))
    check(f'files come back in an object without a prototype ({how})', web['prototype'])


def run_streaming(driver, how):
    """Output reaches the page as it is printed, whatever follows it."""
    r = driver.execute_async_script(STREAM_JS, 'P("one" \\n);\nP("two" \\n);\nP("three" \\n);\n' + ENDLESS, 1000)
    text, arrived = '', None
    for at, piece in r['pieces']:
        text += piece
        if arrived is None and text == 'one\ntwo\nthree\n':
            arrived = at
    check(f'three lines before an endless loop all show at once ({how})', arrived is not None and arrived < 500,
          f'{arrived} ms, {text!r}')
    check(f'then Stop ends the endless loop ({how})', r['stderr'] == 'interrupted\n' and r['status'] == 130, repr(r)[:200])
    program = 'int i, j;\nloop (2000000000) { i ++; j = i / 20000 * 20000; if (j == i) { P(i \\n); }; };\n'
    r = driver.execute_async_script(STREAM_JS, program, 2000)
    times = [at for at, _ in r['pieces'] if at > 300]
    gaps = [b - a for a, b in zip(times, times[1:])]
    check(f'a run printing for a long time streams all the while ({how})',
          len(times) > 10 and max(gaps) < 500 and r['stderr'] == 'interrupted\n',
          f'{len(times)} pieces after 300 ms, largest gap {max(gaps, default=0):.0f} ms, {r["stderr"]!r}')


def wait_ready(driver):
    wait_for(driver, lambda: driver.find_element(By.ID, 'run').is_enabled())


def active(driver):
    """What has the focus: an element's id, or the editor."""
    return driver.execute_script(
        'const a = document.activeElement; return a.closest(".cm-editor") ? "editor" : a.id || a.tagName')


def run_and_wait(driver, ms=30):
    driver.find_element(By.ID, 'run').click()
    wait_for(driver, lambda: status_text(driver).startswith(('exit status', 'stopped')), ms)


def old_link(url, program, stdin=None):
    """A link of the first kind: the UTF-8 bytes base64url-coded."""
    code = lambda t: base64.urlsafe_b64encode(t.encode()).decode().rstrip('=')
    return url + '#src=' + code(program) + ('&in=' + code(stdin) if stdin is not None else '')


def run_editor(driver, url):
    """The editor from the keyboard, and what it keeps."""
    driver.get(url)
    wait_ready(driver)
    set_editor(driver, 'int i;\n')
    content = driver.find_element(By.CSS_SELECTOR, '.cm-content')
    content.click()
    ActionChains(driver).key_down(Keys.CONTROL).send_keys(Keys.END).key_up(Keys.CONTROL).perform()
    content.send_keys(Keys.TAB, 'P("typed" \\n);')
    check('Tab indents in the editor', get_source(driver) == 'int i;\n  P("typed" \\n);', repr(get_source(driver)))
    ActionChains(driver).key_down(Keys.CONTROL).send_keys(Keys.ENTER).key_up(Keys.CONTROL).perform()
    wait_for(driver, lambda: status_text(driver).startswith('exit status'))
    check('Ctrl-Enter runs the program', console_text(driver) == 'typed\n', repr(console_text(driver)))
    check('the editor keeps the focus after a run', active(driver) == 'editor', active(driver))
    ActionChains(driver).send_keys(Keys.ESCAPE, Keys.TAB).perform()
    check('Escape then Tab leaves the editor', active(driver) not in ('editor', 'BODY'), active(driver))
    driver.find_element(By.ID, 'run').send_keys(Keys.ENTER)
    wait_for(driver, lambda: status_text(driver).startswith('exit status'))
    check('the Run button keeps the focus after a run', active(driver) == 'run', active(driver))

    # Large documents: a keystroke at the end of 5,000 lines.
    big = ''.join(f'P("line {i}" \\n);\n' for i in range(5000))
    set_editor(driver, big)
    took = driver.execute_script('''
        const view = rillPage.view, t = performance.now();
        for (let i = 0; i < 20; i++) view.dispatch({changes: {from: view.state.doc.length, insert: "x"}});
        return (performance.now() - t) / 20;''')
    check('a keystroke in 5,000 lines takes under 50 ms', took < 50, f'{took:.1f} ms')

    # Edits survive a reload; a link that would replace them asks first.
    set_editor(driver, 'P("mine" \\n);\n', 'my input')
    driver.refresh()
    wait_ready(driver)
    check('edits survive a reload', [get_source(driver), driver.find_element(By.ID, 'stdin').get_attribute('value')]
          == ['P("mine" \\n);\n', 'my input'])
    driver.get(old_link(url, 'P("linked" \\n);\n'))
    try:
        WebDriverWait(driver, 5).until(lambda d: d.switch_to.alert)
        driver.switch_to.alert.dismiss()
        asked = True
    except TimeoutException:
        asked = False
    wait_ready(driver)
    check('a link that would replace edits asks first, and No keeps them',
          asked and get_source(driver) == 'P("mine" \\n);\n', f'{asked} {get_source(driver)!r}')
    driver.execute_script('location.hash = arguments[0]', old_link('', 'P("linked" \\n);\n', 'in'))
    WebDriverWait(driver, 5).until(lambda d: d.switch_to.alert)
    driver.switch_to.alert.accept()
    wait_for(driver, lambda: get_source(driver) == 'P("linked" \\n);\n', 5)
    check('an old link still opens, with its input', driver.find_element(By.ID, 'stdin').get_attribute('value') == 'in')
    driver.refresh()
    wait_ready(driver)
    check('a reload after opening a link keeps what is in the editor', get_source(driver) == 'P("linked" \\n);\n')
    driver.get(url + '#src=' + base64.urlsafe_b64encode(b'P(1 \\n);\n').decode().rstrip('=') + '&in=%%%')
    WebDriverWait(driver, 5).until(lambda d: d.switch_to.alert)
    driver.switch_to.alert.accept()
    wait_for(driver, lambda: get_source(driver) == 'P(1 \\n);\n', 5)
    check('a link whose input is broken keeps its program', 'input could not be read' in status_text(driver),
          status_text(driver))

    # Share: a program too long for a link is refused, saying why.
    driver.execute_script('rillPage.setSource(arguments[0])', ''.join(f'P({i * 7919 % 1000003} \\n);\n'
                                                                      for i in range(200000)))
    driver.find_element(By.ID, 'share').click()
    wait_for(driver, lambda: driver.find_element(By.ID, 'share-note').text)
    check('a program too long for a link is refused with a reason',
          'Too long to share' in driver.find_element(By.ID, 'share-note').text
          and not driver.find_element(By.ID, 'share-link').is_displayed(), driver.find_element(By.ID, 'share-note').text)
    # The largest link that is made opens at once.
    program = ''.join(f'P({i * 7919 % 1000003} \\n);\n' for i in range(60000))
    driver.execute_script('rillPage.setSource(arguments[0])', program)
    driver.find_element(By.ID, 'share').click()
    wait_for(driver, lambda: driver.find_element(By.ID, 'share-link').get_attribute('value'))
    link = driver.find_element(By.ID, 'share-link').get_attribute('value')
    driver.get('about:blank')
    driver.get(link)
    # Timed in the page, from the arrival of its last script to the program
    # in the editor (a long link slows the browser's own loading too).
    took = driver.execute_async_script('''const [n, done] = arguments;
        const scripts = Math.max(...performance.getEntriesByType("resource").filter(r => r.initiatorType === "script").map(r => r.responseEnd));
        (function poll() { if (rillPage.getSource().length === n) done(performance.now() - scripts);
                           else if (performance.now() > 20000) done(null); else setTimeout(poll, 10); })();''',
                                       len(program))
    same_text = get_source(driver) == program
    check(f'a link of {len(link)} characters opens within 10 s of the page on a busy machine (19 s before)', same_text and took is not None
          and took < 10000, f'{took:.0f} ms' if took else 'never')


def run_files_and_memory(driver):
    """File buttons name their file; a run's downloads are freed by the next."""
    set_editor(driver, '# "log.txt"\nF("a line" \\n);\n')
    run_and_wait(driver)
    labels = driver.execute_script(
        'return Array.from(document.querySelectorAll(".file button, .file a"), e => e.getAttribute("aria-label"))')
    check('the file buttons name their file', labels == ['View log.txt', 'Download log.txt'], repr(labels))
    href = driver.execute_script('''
        const a = document.querySelector(".file a");
        a.addEventListener("click", e => e.preventDefault());
        a.click();
        return a.href;''')
    run_and_wait(driver)
    freed = driver.execute_async_script(
        'const done = arguments[1]; fetch(arguments[0]).then(() => done(false), () => done(true))', href)
    check('a download\'s memory is freed by the next run', href.startswith('blob:') and freed, href)


AXE = os.path.join(ROOT, 'web', 'node_modules', 'axe-core', 'axe.min.js')


def run_accessibility(driver):
    """axe-core on the page after a run with a file and a shared link."""
    with open(AXE) as f:
        driver.execute_script(f.read())
    r = driver.execute_async_script('''
        const done = arguments[0];
        axe.run(document, {resultTypes: ["violations"]}).then(r => done(r.violations.map(v =>
          v.id + ": " + v.nodes.map(n => n.target.join(" ")).slice(0, 3).join(", "))), e => done(["failed: " + e]));''')
    check('axe-core finds no accessibility violations', r == [], '; '.join(r))
    roles = driver.execute_script('''const s = document.getElementById("status"), c = document.getElementById("console");
        return [s.getAttribute("role"), s.getAttribute("aria-live"), c.getAttribute("aria-live")]''')
    check('the status is announced politely, the output is no live region', roles == ['status', 'polite', None],
          repr(roles))
    driver.execute_script('document.getElementById("stop").focus()')
    ActionChains(driver).send_keys(Keys.TAB).perform()
    outline = driver.execute_script('const a = document.activeElement; return [a.id, getComputedStyle(a).outlineStyle]')
    check('focus moved by the keyboard is visible', outline[0] == 'share' and outline[1] not in ('none', ''), outline)


def run_layouts(driver):
    """A phone either way up: nothing overlaps and nothing runs off the side."""
    for width, height in ((360, 640), (667, 375)):
        driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                               {'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': True})
        boxes = driver.execute_script('''
            const box = id => { const r = document.getElementById(id).getBoundingClientRect();
                                return [r.left, r.top + scrollY, r.right, r.bottom + scrollY]; };
            return {editor: box("editor"), input: box("stdin"), console: box("console"), status: box("status"),
                    wide: document.documentElement.scrollWidth};''')
        names = ['editor', 'input', 'console', 'status']
        overlaps = [f'{a}/{b}' for i, a in enumerate(names) for b in names[i + 1:]
                    if boxes[a][0] < boxes[b][2] and boxes[b][0] < boxes[a][2]
                    and boxes[a][1] < boxes[b][3] and boxes[b][1] < boxes[a][3]]
        heights = {n: boxes[n][3] - boxes[n][1] for n in ('editor', 'console')}
        check(f'the layout at {width}x{height}: no overlap, no sideways scrolling, room to edit',
              not overlaps and boxes['wide'] <= width and min(heights.values()) >= 150,
              f'{overlaps} {boxes["wide"]} {heights}')
        driver.save_screenshot(os.path.join(BUILD_WEB, f'playground-{width}x{height}.png'))
    driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})


EMBED_PAGE = '''<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>embedding rill</title></head>
<body><script src="%s"></script></body></html>
'''


def run_embedding(driver, url):
    """A page on another origin runs programs through the site's api.js."""
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, 'embed.html'), 'w') as f:
            f.write(EMBED_PAGE % (url + 'api.js'))
        quiet = type('Quiet', (http.server.SimpleHTTPRequestHandler,), {'log_message': lambda *args: None})
        handler = functools.partial(quiet, directory=folder)
        other = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)
        threading.Thread(target=other.serve_forever, daemon=True).start()
        # localhost and 127.0.0.1 are two origins.
        driver.get(f'http://localhost:{other.server_address[1]}/embed.html')
        try:
            program = '# "out.txt"\nint n; S(n); n =* 2; P(n \\n); F(n);\n'
            web = page_run(driver, program, '21')
            same('a page on another origin runs a program through api.js', web, native(program, b'21'))
            web = page_run(driver, 'P("before" \\n);\n' + ENDLESS, stop_after='before')
            check('and can stop it', web['stderr'] == b'interrupted\n' and web['stdout'] == b'before\n', repr(web)[:200])
        finally:
            other.shutdown()


def run_hosting(driver, url):
    """The headers the server sends, and a page without inline script that
    runs under its policy."""
    problems = [e['message'] for e in driver.get_log('browser') if 'Content Security Policy' in e['message']]
    check('nothing the page does breaks its Content-Security-Policy', not problems, '; '.join(problems)[:500])
    import urllib.request
    with urllib.request.urlopen(url) as r:
        csp = r.headers.get('Content-Security-Policy', '')
        page = r.read().decode()
    check('the page is served with a Content-Security-Policy', "frame-ancestors 'self'" in csp
          and "script-src 'self'" in csp and 'unsafe-inline' not in csp.split('script-src')[1].split(';')[0], csp)
    check('the page has no inline script or handler',
          not re.search(r'<script(?![^>]*\bsrc=)', page) and not re.search(r'\son[a-z]+=', page))


def native_named(source, name):
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, name), 'w') as f:
            f.write(source)
        env = dict(os.environ, RILL_DIAGNOSTICS='1')
        p = subprocess.run([NATIVE, name], cwd=folder, capture_output=True, env=env, timeout=60)
        return {'stdout': p.stdout, 'stderr': p.stderr, 'status': p.returncode, 'files': {}}


def run_page(driver, url):
    run_button = driver.find_element(By.ID, 'run')
    wait_for(driver, run_button.is_enabled)

    # Stop, inside a loop of two billion passes, with the page responsive.
    set_editor(driver, 'int i;\nP("started" \\n);\nloop (2000000000) { i ++; };\nP(i \\n);\n')
    run_button.click()
    wait_for(driver, lambda: console_text(driver) == 'started\n', 10)
    check('output streams while the loop runs', console_text(driver) == 'started\n')
    t = time.monotonic()
    driver.execute_script('return document.getElementById("status").textContent')
    check('the page answers during the run', time.monotonic() - t < 0.5, f'{time.monotonic() - t:.2f} s')
    time.sleep(0.3)
    # Timed in the page, from the click to the status line saying so.
    took = driver.execute_async_script('''
        const done = arguments[0], status = document.getElementById("status"), t = performance.now();
        document.getElementById("stop").click();
        (function poll() {
          if (status.textContent.startsWith("stopped")) done(performance.now() - t);
          else if (performance.now() - t > 5000) done(null);
          else setTimeout(poll, 5);
        })();''')
    check('Stop ends the run at once', took is not None and took < 500, f'{took} ms')

    # Interactive console input, typed line by line.
    program = 'int a, b;\nS(a);\nP("a is " a \\n);\nS(b);\nb =+ a;\nP("sum " b \\n);\nS(a);\nP("last " a \\n);\n'
    set_editor(driver, program)
    run_button.click()
    line = driver.find_element(By.ID, 'console-line')
    wait_for(driver, lambda: console_text(driver) == '>> ')
    line.send_keys('3', Keys.ENTER)
    wait_for(driver, lambda: console_text(driver) == '>> a is 3\n>> ')
    line.send_keys('4', Keys.ENTER)
    wait_for(driver, lambda: console_text(driver).endswith('sum 7\n>> '))
    line.send_keys(Keys.CONTROL, 'd')
    wait_for(driver, lambda: status_text(driver).startswith('exit status'))
    nat = native(program, b'3\n4\n')
    check('interactive input typed line by line', console_text(driver).encode() == nat['stdout']
          and status_text(driver).startswith(f'exit status {nat["status"]} '),
          f'{console_text(driver)!r} {status_text(driver)!r} native {nat["stdout"]!r}')
    check('typed lines are echoed', console_text(driver, 'echo') == '3\n4\n^D\n', repr(console_text(driver, 'echo')))

    # The Share link carries program and input.
    program, stdin = 'dbl x;\nS(x);\nP("x = " x " é" \\n);\n', '2.25\n'
    set_editor(driver, program, stdin)
    driver.find_element(By.ID, 'share').click()
    wait_for(driver, lambda: driver.find_element(By.ID, 'share-link').get_attribute('value'))
    link = driver.find_element(By.ID, 'share-link').get_attribute('value')
    check('a Share link is compressed', '#z=' in link and '&zin=' in link, link)
    driver.get('about:blank')
    driver.get(link)
    wait_for(driver, lambda: driver.find_element(By.ID, 'run').is_enabled())
    back = driver.execute_script('return [rillPage.getSource(), document.getElementById("stdin").value]')
    check('the Share link round trip', back == [program, stdin], repr(back))
    driver.find_element(By.ID, 'run').click()
    wait_for(driver, lambda: status_text(driver).startswith('exit status'))
    check('a shared program runs with its input', console_text(driver).encode() == native(program, stdin.encode())['stdout'])

    # The examples menu: every example loads as it stands in the repository.
    expected = {}
    for name in os.listdir(os.path.join(ROOT, 'examples')):
        with open(os.path.join(ROOT, 'examples', name), encoding='utf-8') as f:
            expected[os.path.splitext(name)[0]] = f.read()
    menu = Select(driver.find_element(By.ID, 'examples'))
    names = [o.get_attribute('value') for o in menu.options if o.get_attribute('value')]
    check('the menu holds every example', set(expected) <= set(names), repr(names))
    for name in names:
        select_example(driver, name, answer=True)  # the first replaces edits
        loaded = get_source(driver)
        if name in expected:
            check(f'example {name} loads', loaded == expected[name])
    check('the editor colours the program', waited(driver, lambda: driver.execute_script(
        'return new Set(Array.from(document.querySelectorAll(".cm-line span"), s => getComputedStyle(s).color)).size') > 3))
    for name in sorted(expected):
        if 'F(' not in expected[name] or 'S(' in expected[name]:
            continue
        select_example(driver, name, answer=True)
        driver.find_element(By.ID, 'run').click()
        wait_for(driver, lambda: status_text(driver).startswith('exit status'))
        nat = native(expected[name])
        shown = driver.execute_script('return Array.from(document.querySelectorAll(".file .name")).map(e => e.textContent)')
        check(f'example {name} runs and lists its files', console_text(driver).encode() == nat['stdout']
              and sorted(shown) == sorted(nat['files']), f'{console_text(driver)!r} {shown}')

    # A run with output, a file and a syntax error, for a person to look at.
    set_editor(driver, '# "squares.txt"\nint i, sq;\nloop (5) {\n  i ++; sq = i * i;\n  P(i " squared is " sq \\n);\n'
                       '  F(sq \\n);\n};\nP("done" \\n)\nP("unreached" \\n);\n')
    driver.find_element(By.ID, 'run').click()
    wait_for(driver, lambda: status_text(driver).startswith('exit status'))
    driver.find_element(By.CSS_SELECTOR, '.file .view').click()
    marked = lambda: driver.execute_script(
        'return Array.from(document.querySelectorAll(".cm-error-gutter")).map(e => e.textContent)') == ['9'] \
        and driver.execute_script('return document.querySelectorAll(".cm-error-line").length') == 1
    check('the editor marks the line of the syntax error', waited(driver, marked))
    driver.save_screenshot(os.path.join(BUILD_WEB, 'playground.png'))


# rill.run called wrongly, then rill.stop(): the bad call must have started
# nothing, so that stop answers for the one run it stops.
BAD_CALLS_JS = '''
const [endless, done] = arguments;
const outcome = p => p.then(() => "resolved", e => e.constructor.name);
(async () => {
  const bad = [await outcome(rill.run(42)), await outcome(rill.run("P(1);", {input: 5})),
               await outcome(rill.run("P(1);", {onOutput: "no"}))];
  let printed = false;
  const run = rill.run(endless, {onOutput: () => { printed = true; }});
  while (!printed) await new Promise(r => setTimeout(r, 5));
  const stopped = await rill.stop().then(r => r && [r.status, r.stopped], e => "rejected: " + e);
  await run;
  const idle = await rill.stop().then(r => r, e => "rejected: " + e);
  done({bad, stopped, idle});
})();
'''


def run_api_limits(driver):
    """What a run may write, where, and how the API takes bad arguments."""
    r = driver.execute_async_script(BAD_CALLS_JS, 'P("on" \\n);\n' + ENDLESS)
    check('a bad argument rejects with a TypeError before anything starts, and stop() then answers for its run',
          r['bad'] == ['TypeError'] * 3 and r['stopped'] == [130, True] and r['idle'] is None, repr(r))

    # Files outside the working folder are refused as an output that cannot
    # be opened: one line, the rest of the program runs, status 1.
    for name in ('../up.txt', '/tmp/x.txt', '/work/../elsewhere.txt', '/dev/tty'):
        web = page_run(driver, f'# "{name}"\nP("runs" \\n);\nF("dropped" \\n);\n')
        check(f'a header naming {name} is refused in one line, status 1',
              web['stdout'] == b'runs\n' and web['status'] == 1 and web['files'] == {}
              and web['stderr'] == f'cannot open output file "{name}": Permission denied\n'.encode(),
              repr(web)[:300])
    for name in ('/dev/stderr', '/dev/stdout', '/dev/null', '/work/in.txt', './here.txt'):
        program = f'# "{name}"\nP("runs" \\n);\nF("to the file" \\n);\n'
        web = page_run(driver, program)
        nat = native(program)
        if name.startswith('/work/'):
            nat['files'] = {'in.txt': b'to the file\n'}
        same(f'a header naming {name} writes there', web, nat)

    # Only rill's own diagnostics are diagnostics: a program's line on
    # /dev/stderr that looks like one is not.
    web = page_run(driver, '# "/dev/stderr"\nF("program.rill:1: not a diagnostic" \\n);\n')
    check('a program\'s own line on /dev/stderr is no diagnostic',
          web['status'] == 0 and web['stderr'] == b'program.rill:1: not a diagnostic\n' and web['diagnostics'] == b'',
          repr(web)[:300])
    web = page_run(driver, '# "/dev/stderr"\nF("program.rill:1: not a diagnostic" \\n);\nint i;\ni = = 1;\n')
    check('rill\'s own diagnostics are told apart', web['diagnostics'].startswith(b'parse error\nprogram.rill:4:')
          and b'not a diagnostic' not in web['diagnostics'] and b'program.rill:1: not a diagnostic\n' in web['stderr'],
          repr(web)[:300])

    # The files' total is capped: the run stops there, keeping what fits.
    program = '# "big.txt"\nint i;\nloop (2000000000) { i ++; F("line " i " of a file that grows and grows" \\n); };\n'
    web = page_run(driver, program, fileLimit=100000)
    big = web['files'].get('big.txt', b'')
    check('a run that reaches the file limit stops, keeping what fits',
          web['fileLimit'] == 100000 and len(big) == 100000 and big.startswith(b'line 1 of a file')
          and web['status'] == 130 and web['stderr'] == b'interrupted\n', repr(web)[:300])
    program = '# "a.txt"\nint i;\nloop (2000) { i ++; F("a line of the file" \\n); };\nP("done" \\n);\n'
    same('a run within the file limit is untouched', page_run(driver, program, fileLimit=100000), native(program))


def select_example(driver, name, answer=None):
    """Picks an example from the menu: True when the page asked first, and
    then answer accepts (True) or dismisses (False) the question."""
    Select(driver.find_element(By.ID, 'examples')).select_by_value(name)
    return answer_question(driver, answer)


def answer_question(driver, answer, seconds=1):
    """Accepts (answer True) or dismisses a question the page asks within
    seconds; False when it asks none."""
    end = time.monotonic() + seconds
    while True:
        try:
            alert = driver.switch_to.alert
            alert.accept() if answer else alert.dismiss()
            return True
        except NoAlertPresentException:
            if time.monotonic() > end:
                return False
            time.sleep(0.05)


def saved_work(driver):
    return driver.execute_script('return JSON.parse(localStorage.getItem("rill.work") || "null")')


def run_work_kept(driver, url):
    """Nothing a user made is replaced without a word: examples, other tabs,
    a full storage, a carriage return."""
    driver.get(url)
    wait_ready(driver)
    examples = sorted(e for e in driver.execute_script('return RILL_EXAMPLES.map(e => e.name)'))
    mine = 'P("my own program" \\n);\n'
    set_editor(driver, mine, 'my input')
    asked = select_example(driver, examples[0], answer=False)
    check('picking an example over edits asks first, and No keeps them',
          asked and get_source(driver) == mine and driver.find_element(By.ID, 'stdin').get_attribute('value') == 'my input',
          f'{asked} {get_source(driver)!r}')
    menu = driver.find_element(By.ID, 'examples')
    menu.send_keys(Keys.DOWN)
    asked = answer_question(driver, False)
    check('one Down arrow on the menu asks too', asked and get_source(driver) == mine, f'{asked} {get_source(driver)!r}')
    asked = select_example(driver, examples[0], answer=True)
    first = get_source(driver)
    check('and Yes loads the example', asked and first != mine and first.strip() != '')
    asked = select_example(driver, examples[1])
    check('an example as it came is replaced without asking', not asked and get_source(driver) != first)

    # A lone carriage return in a string is kept, and the run prints it as
    # native rill does.
    program = 'P("one\rtwo" \\n);\nP("three" \\n);\n'
    set_editor(driver, program)
    check('the editor keeps a lone carriage return', get_source(driver) == program, repr(get_source(driver)))
    run_and_wait(driver)
    check('a lone carriage return in a string prints as natively',
          console_text(driver).encode() == native(program)['stdout'], repr(console_text(driver)))

    # Storage full: program and input are saved together or not at all, and
    # a failure is said.
    set_editor(driver, 'P("saved" \\n);\n', 'saved input')
    wait_for(driver, lambda: (saved_work(driver) or {}).get('input') == 'saved input', 5)
    driver.execute_script('''rillPage.setSource('P("too big" \\\\n);\\n');
        const box = document.getElementById("stdin");
        box.value = "x".repeat(8000000);
        box.dispatchEvent(new Event("input"));''')
    note = lambda: driver.find_element(By.ID, 'save-note')
    shown = waited(driver, lambda: note().is_displayed())
    work = saved_work(driver)
    check('an input too large for the storage is said, and the saved pair kept whole',
          shown and 'Not saved' in note().text and work and work['program'] == 'P("saved" \\n);\n'
          and work['input'] == 'saved input', f'{shown} {note().text!r} {repr(work)[:100]}')
    set_editor(driver, 'P("small again" \\n);\n', 'small')
    check('a later save that fits clears the note',
          waited(driver, lambda: not note().is_displayed()) and saved_work(driver)['input'] == 'small')

    # Two tabs: the work one saves is not overwritten by the other without a word.
    tab_a = driver.current_window_handle
    driver.switch_to.new_window('tab')
    tab_b = driver.current_window_handle
    driver.get(url)
    wait_ready(driver)
    driver.switch_to.window(tab_a)
    set_editor(driver, 'P("tab A" \\n);\n')
    wait_for(driver, lambda: (saved_work(driver) or {}).get('program') == 'P("tab A" \\n);\n', 5)
    driver.switch_to.window(tab_b)
    set_editor(driver, 'P("tab B" \\n);\n')
    driver.switch_to.window(tab_a)
    driver.close()
    driver.switch_to.window(tab_b)
    content = driver.find_element(By.CSS_SELECTOR, '.cm-content')
    content.click()
    content.send_keys('x')
    shown = waited(driver, lambda: note().is_displayed())
    check('a tab that would save over another tab\'s saved work says so instead',
          shown and 'another tab' in note().text and saved_work(driver)['program'] == 'P("tab A" \\n);\n',
          f'{shown} {note().text!r} {saved_work(driver)}')
    axe_check(driver, 'the note that another tab saved')
    driver.switch_to.new_window('tab')
    driver.get(url)
    wait_ready(driver)
    check('a new tab opens with the closed tab\'s saved work', get_source(driver) == 'P("tab A" \\n);\n',
          repr(get_source(driver)))
    driver.close()
    driver.switch_to.window(tab_b)
    driver.find_element(By.ID, 'save-anyway').click()
    check('and this tab saves over it only when asked',
          waited(driver, lambda: saved_work(driver)['program'].startswith('P("tab B"') and not note().is_displayed()),
          repr(saved_work(driver)))

    # A link bomb: far more text than the page would ever share, packed small.
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    bomb = packer.compress(b'P(1 \\n);\n' * 2800000) + packer.flush()
    before = get_source(driver)
    driver.execute_script('location.hash = arguments[0]', 'z=' + base64.urlsafe_b64encode(bomb).decode().rstrip('='))
    t = time.monotonic()
    refused = waited(driver, lambda: 'not opened' in status_text(driver), 10)
    took = time.monotonic() - t
    check(f'a link packing {len(bomb) // 1000} KB into 22 MB is refused while it is unpacked',
          refused and took < 3 and get_source(driver) == before, f'{refused} {took:.1f} s {status_text(driver)!r}')


SEARCH_FIELD = 'return document.activeElement && document.activeElement.getAttribute("main-field") === "true"'


def run_editor_tools(driver, url):
    """Find and replace, colours, error marks."""
    driver.get(url)
    wait_ready(driver)
    set_editor(driver, ''.join(f'P("line {i}" \\n);\n' for i in range(1, 1001)))
    content = driver.find_element(By.CSS_SELECTOR, '.cm-content')
    content.click()
    ActionChains(driver).key_down(Keys.CONTROL).send_keys(Keys.HOME).send_keys('f').key_up(Keys.CONTROL).perform()
    check('Ctrl-F opens the search panel in its find field', waited(driver, lambda: driver.execute_script(SEARCH_FIELD)))
    ActionChains(driver).send_keys('line 901"', Keys.ENTER).perform()
    line = lambda: driver.execute_script(
        'const s = rillPage.view.state; return s.doc.lineAt(s.selection.main.head).number')
    check('find reaches a line far below the screen', waited(driver, lambda: line() == 901), str(line()))
    axe_check(driver, 'the search panel open')
    ActionChains(driver).send_keys(Keys.TAB, Keys.TAB, Keys.TAB, Keys.TAB, Keys.TAB, Keys.TAB).perform()
    replace = driver.find_element(By.CSS_SELECTOR, '.cm-search input[name=replace]')
    replace.send_keys('line 901 was here"')
    driver.find_element(By.CSS_SELECTOR, '.cm-search button[name=replaceAll]').click()
    check('replace changes the text', 'P("line 901 was here" \\n);' in get_source(driver))
    ActionChains(driver).send_keys(Keys.ESCAPE).perform()
    check('Escape closes the panel', waited(driver, lambda: not driver.find_elements(By.CSS_SELECTOR, '.cm-search')))

    # Colours: the builtins orange and bold, the header's # purple, and a
    # quote before a name no remark.
    set_editor(driver, '#\n"f.txt"\nint n;\n\' abc \';\nP(n \\n); F(rand(2));\n')
    colours = lambda: driver.execute_script('''const out = {};
        for (const s of document.querySelectorAll(".cm-line span")) {
          const c = getComputedStyle(s); out[s.textContent] = [c.color, c.fontWeight]; }
        return out;''')
    wait_for(driver, lambda: 'rand' in colours(), 5)
    c = colours()
    check('P, F and rand are orange and bold, the header\'s # purple, a quoted name a name',
          all(c.get(w) == ['rgb(154, 79, 0)', '600'] for w in ('P', 'F', 'rand'))
          and c.get('#', [''])[0] == 'rgb(131, 52, 168)' and c.get('abc', [''])[0] != 'rgb(100, 106, 112)', repr(c))

    # A double quote with no partner after it is a lone character, as to the
    # scanner, until one is typed.
    set_editor(driver, 'P("open \\n);\nint n;\n')
    lone = waited(driver, lambda: colours().get('int', [''])[0] == 'rgb(10, 100, 128)')
    driver.execute_script('rillPage.view.dispatch({changes: {from: rillPage.view.state.doc.length, insert: \'"\'}})')
    paired = waited(driver, lambda: colours().get('int n;', [''])[0] == 'rgb(43, 110, 46)')
    check('a quote without a partner opens no string, until one is typed', lone and paired, repr(colours()))

    # An error mark goes on the text that ran, not on one edited meanwhile.
    set_editor(driver, 'int i;\nloop (400000000) { i ++; };\ni = = 1;\n')
    driver.find_element(By.ID, 'run').click()
    time.sleep(0.1)
    driver.execute_script('rillPage.view.dispatch({changes: {from: 0, insert: "\\n\\n"}})')
    wait_for(driver, lambda: status_text(driver).startswith('exit status'))
    check('a run\'s error is not marked in text edited since', driver.execute_script('return rillPage.errorLine()') == 0,
          f'line {driver.execute_script("return rillPage.errorLine()")} {console_text(driver, "err")!r}')
    set_editor(driver, '# "/dev/stderr"\nF("program.rill:1: looks located" \\n);\n')
    run_and_wait(driver)
    check('a program\'s own line on /dev/stderr marks nothing', driver.execute_script('return rillPage.errorLine()') == 0
          and status_text(driver).startswith('exit status 0'), status_text(driver))


def axe_check(driver, state):
    with open(AXE) as f:
        driver.execute_script(f.read())
    r = driver.execute_async_script('''
        const done = arguments[0];
        axe.run(document, {resultTypes: ["violations"]}).then(r => done(r.violations.map(v =>
          v.id + " (" + v.impact + "): " + v.nodes.map(n => n.target.join(" ")).slice(0, 3).join(", "))),
          e => done(["failed: " + e]));''')
    check(f'axe-core finds no violations: {state}', r == [], '; '.join(r))


LOG_FOR_LONG = ('# "log.txt"\nint i;\nloop (2000000000) { i ++; '
                'F("line " i " of a log written for a long while, about seventy bytes" \\n); };\n')


def run_page_states(driver, url):
    """What a user meets around a run, with axe-core in every state."""
    driver.get(url)
    wait_ready(driver)
    driver.execute_script('localStorage.clear()')
    driver.get(url)
    wait_ready(driver)
    axe_check(driver, 'first load, the sample program shown')
    set_editor(driver, '# "out.txt"\nP("to the console" \\n);\nF("to the file" \\n);\n')
    run_and_wait(driver)
    driver.find_element(By.CSS_SELECTOR, '.file .view').click()
    axe_check(driver, 'after a run, its file shown')
    set_editor(driver, 'int i;\ni = = 1;\n')
    run_and_wait(driver)
    axe_check(driver, 'an error shown')

    # Share, then an edit: the box with the old link goes.
    driver.find_element(By.ID, 'share').click()
    box = driver.find_element(By.ID, 'share-box')
    wait_for(driver, box.is_displayed, 5)
    axe_check(driver, 'the share box open')
    content = driver.find_element(By.CSS_SELECTOR, '.cm-content')
    content.click()
    content.send_keys('x')
    check('an edit after Share closes the box with the old link', waited(driver, lambda: not box.is_displayed()))

    # Stop from the keyboard: the focus goes back to Run, not to the page.
    set_editor(driver, 'P("on" \\n);\n' + ENDLESS)
    driver.find_element(By.ID, 'run').click()
    wait_for(driver, lambda: console_text(driver) == 'on\n', 10)
    driver.find_element(By.ID, 'stop').send_keys(Keys.ENTER)
    wait_for(driver, lambda: status_text(driver).startswith('stopped'), 5)
    time.sleep(0.3)
    check('Stop pressed from the keyboard leaves the focus on Run', active(driver) == 'run', active(driver))
    axe_check(driver, 'a stopped run')

    # Stop after a long while of writing a file: the file is kept, whatever its size.
    set_editor(driver, LOG_FOR_LONG)
    driver.find_element(By.ID, 'run').click()
    time.sleep(8)
    driver.find_element(By.ID, 'stop').click()
    wait_for(driver, lambda: status_text(driver).startswith('stopped'), 70)
    sizes = driver.execute_script('return Array.from(document.querySelectorAll(".file .size"), e => e.textContent)')
    # (A fast machine writes the 256 MiB the files may hold within 8 s: the
    # run has then stopped there by itself.)
    check('Stop after 8 s of writing a file keeps the file',
          status_text(driver).startswith(('stopped: exit status 130', 'stopped: the files passed'))
          and len(sizes) == 1 and int(sizes[0].split()[0]) > 0 and 'interrupted' in console_text(driver, 'err'),
          f'{status_text(driver)!r} {sizes}')

    # A runaway file stops at the cap, with a message, keeping what was written.
    driver.find_element(By.ID, 'run').click()
    wait_for(driver, lambda: status_text(driver).startswith(('stopped', 'exit status')), 120)
    sizes = driver.execute_script('return Array.from(document.querySelectorAll(".file .size"), e => e.textContent)')
    check('a runaway file stops at 256 MiB with a message and is kept',
          'files passed 256 MiB' in status_text(driver) and sizes == [f'{256 * 1024 * 1024} bytes'],
          f'{status_text(driver)!r} {sizes}')
    set_editor(driver, 'P("small" \\n);\n')
    run_and_wait(driver)

    # A phone: Run brings the output into view.
    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                           {'width': 375, 'height': 667, 'deviceScaleFactor': 1, 'mobile': True})
    try:
        driver.execute_script('scrollTo(0, 0)')
        axe_check(driver, 'phone width')
        driver.find_element(By.ID, 'run').click()
        wait_for(driver, lambda: status_text(driver).startswith('exit status'))
        seen = driver.execute_script('const r = document.getElementById("console").getBoundingClientRect();'
                                     'return r.top >= 0 && r.top < innerHeight - 40')
        check('on a phone, Run brings the output into view', seen)
    finally:
        driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})


if __name__ == '__main__':
    sys.exit(main())
