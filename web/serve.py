"""Serves the playground on localhost with the headers of web/headers.json:
the two that make the page cross-origin isolated, which console input typed
while the program waits needs, and the Content-Security-Policy the page
runs under. A plain static server cannot set them.

    python3 web/serve.py SITE_DIR [PORT]     (PORT 0 picks a free one)
"""
import functools
import http.server
import json
import os
import sys


# The headers, shared with the static hosts' files that make web writes.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'headers.json')) as f:
    HEADERS = json.load(f)


class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      '.wasm': 'application/wasm', '.js': 'text/javascript'}
    isolate = True

    def end_headers(self):
        for name, value in {**(HEADERS['isolation'] if self.isolate else {}), **HEADERS['always']}.items():
            self.send_header(name, value)
        self.send_header('Cache-Control', 'no-cache')
        super().end_headers()

    def log_message(self, *args):
        pass


def make_server(site, port=0, isolate=True):
    """A server bound to localhost only; its port is server.server_address[1].
    isolate=False leaves out the two isolation headers, as a host that cannot
    set them would."""
    handler = functools.partial(type('SiteHandler', (Handler,), {'isolate': isolate}), directory=site)
    return http.server.ThreadingHTTPServer(('127.0.0.1', port), handler)


if __name__ == '__main__':
    server = make_server(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 8000)
    print(f'rill playground on http://localhost:{server.server_address[1]}/ (Ctrl-C ends)', flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
