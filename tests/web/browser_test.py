"""The playground in headless Chromium, driven through selenium, against the
native build: every result the page gives must be the one the native binary
gives for the same program and input.

    /usr/bin/python3 tests/web/browser_test.py BUILD_WEB_DIR NATIVE_RILL

Leaves a screenshot of the page after a run in BUILD_WEB_DIR/playground.png.
"""
import base64
import os
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
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


# rill.run in the page; bytes come back as base64.
RUN_JS = '''
const [given, options, done] = arguments;
const bytes = text => Uint8Array.from(atob(text), c => c.charCodeAt(0));
const b64 = data => { let s = ''; for (let i = 0; i < data.length; i += 8192)
  s += String.fromCharCode.apply(null, data.subarray(i, i + 8192)); return btoa(s); };
if (given.input !== undefined) options.input = given.inputBytes ? bytes(given.input) : given.input;
const source = given.sourceBytes ? bytes(given.source) : given.source;
rill.run(source, options).then(r => {
  const files = {};
  for (const name in r.files) files[name] = b64(r.files[name]);
  done({stdout: b64(r.stdout), stderr: b64(r.stderr), status: r.status, files, elapsed: r.elapsed});
}, e => done({error: String(e)}));
'''


def page_run(driver, source, stdin=None, **options):
    """rill.run in the page; source and stdin are str (passed as strings) or bytes."""
    given = {'source': source, 'sourceBytes': isinstance(source, bytes)}
    if given['sourceBytes']:
        given['source'] = base64.b64encode(source).decode()
    if stdin is not None:
        given['inputBytes'] = isinstance(stdin, bytes)
        given['input'] = base64.b64encode(stdin).decode() if given['inputBytes'] else stdin
    r = driver.execute_async_script(RUN_JS, given, options)
    if 'error' in r:
        raise RuntimeError(r['error'])
    return {'stdout': base64.b64decode(r['stdout']), 'stderr': base64.b64decode(r['stderr']),
            'status': r['status'], 'elapsed': r['elapsed'],
            'files': {k: base64.b64decode(v) for k, v in r['files'].items()}}


def same(name, web, nat):
    diffs = [k for k in ('stdout', 'stderr', 'status', 'files') if web[k] != nat[k]]
    check(name, not diffs, '; '.join(f'{k}: page {web[k]!r:.300} native {nat[k]!r:.300}' for k in diffs))


def console_text(driver, cls='out'):
    return driver.execute_script(
        'return Array.from(document.querySelectorAll("#console .' + cls + '")).map(s => s.textContent).join("")')


def set_editor(driver, text, stdin=''):
    driver.execute_script('''
        const [text, stdin] = arguments;
        const source = document.getElementById("source");
        source.value = text;
        source.dispatchEvent(new Event("input"));
        document.getElementById("stdin").value = stdin;''', text, stdin)


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
        run_page(driver, url)
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
    link = driver.find_element(By.ID, 'share-link').get_attribute('value')
    driver.get('about:blank')
    driver.get(link)
    wait_for(driver, lambda: driver.find_element(By.ID, 'run').is_enabled())
    back = driver.execute_script('return [document.getElementById("source").value, document.getElementById("stdin").value]')
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
        menu.select_by_value(name)
        loaded = driver.execute_script('return document.getElementById("source").value')
        if name in expected:
            check(f'example {name} loads', loaded == expected[name])
    check('the editor colours the program from the editors\' grammar', waited(
        driver, lambda: driver.execute_script('return document.querySelectorAll("#backdrop .tm-storage").length') > 0))
    for name in sorted(expected):
        if 'F(' not in expected[name] or 'S(' in expected[name]:
            continue
        menu.select_by_value(name)
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
        'return Array.from(document.querySelectorAll("#gutter .error")).map(e => e.textContent)') == ['9']
    check('the editor marks the line of the syntax error', waited(driver, marked))
    driver.save_screenshot(os.path.join(BUILD_WEB, 'playground.png'))


if __name__ == '__main__':
    sys.exit(main())
