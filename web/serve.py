"""Serves the playground on localhost with the two headers that make the page
cross-origin isolated, which console input typed while the program waits
needs. A plain static server cannot set them.

    python3 web/serve.py SITE_DIR [PORT]     (PORT 0 picks a free one)
"""
import functools
import http.server
import sys


# The page runs no inline script and loads nothing from elsewhere; workers
# and WebAssembly come from its own origin; blob: URLs are the downloads and
# the stop signal of a host without isolation. Only this origin may frame it.
CSP = ("default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; worker-src 'self' blob:; "
       "connect-src 'self' blob:; img-src 'self' data:; style-src 'self' 'unsafe-inline'; "
       "object-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'self'")


class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      '.wasm': 'application/wasm', '.js': 'text/javascript'}
    isolate = True

    def end_headers(self):
        if self.isolate:
            self.send_header('Cross-Origin-Opener-Policy', 'same-origin')
            self.send_header('Cross-Origin-Embedder-Policy', 'require-corp')
        self.send_header('Content-Security-Policy', CSP)
        self.send_header('X-Content-Type-Options', 'nosniff')
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
