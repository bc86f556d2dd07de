"""The loop benchmarks in the playground page against the native build's
threaded replay, measured in the same run, turn by turn.

    /usr/bin/python3 tests/web/loops_bench.py BUILD_WEB_DIR NATIVE_RILL [RUNS]

Page times are rill.run's, from handing the program to a fresh worker to
its result; native times are the whole process's. Both print to a pipe.
"""
import glob
import os
import statistics
import subprocess
import sys
import time

from browser_test import ROOT, open_page, page_run


def main():
    site, native = os.path.join(os.path.abspath(sys.argv[1]), 'site'), os.path.abspath(sys.argv[2])
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    server, driver, _ = open_page(site)
    env = dict(os.environ, RILL_REPLAY='threaded')
    env.pop('RILL_DIAGNOSTICS', None)
    failed = False
    print(f'loops: median of {runs} runs, seconds; ratio = page / native threaded')
    print(f'  {"workload":<12}{"page":>10}{"native":>10}{"ratio":>8}')
    try:
        driver.execute_async_script('rill.ready.then(arguments[0])')
        for path in sorted(glob.glob(os.path.join(ROOT, 'bench', 'loops', '*.rill'))):
            with open(path) as f:
                source = f.read()
            page, nat = [], []
            for _ in range(runs):
                web = page_run(driver, source, diagnostics=False)
                page.append(web['elapsed'] / 1000)
                t = time.monotonic()
                p = subprocess.run([native, path], capture_output=True, env=env, check=False)
                nat.append(time.monotonic() - t)
                if web['stdout'] != p.stdout or web['status'] != p.returncode:
                    failed = True
            a, b = statistics.median(page), statistics.median(nat)
            name = os.path.splitext(os.path.basename(path))[0]
            print(f'  {name:<12}{a:>10.3f}{b:>10.3f}{a / b:>8.2f}' + ('  WRONG' if failed else ''), flush=True)
    finally:
        driver.quit()
        server.shutdown()
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
