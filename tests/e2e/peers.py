"""Real peers for the end-to-end tests: the database and cache servers of scripts/peers/peers.sh
and a small HTTP server on 127.0.0.1, all started and stopped by the tests themselves."""

import os
import subprocess
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PEERS_SCRIPT = os.path.join(REPO, "scripts", "peers", "peers.sh")
ALL_SERVERS = ("postgres", "redis", "mariadb")
# The password every server is given (DB_PASSWORD in peers.sh); tests look for it in output.
DB_PASSWORD = "qx-secret"


class PeersUnavailable(RuntimeError):
    pass


class Servers:
    """PostgreSQL, Redis and MariaDB in one temporary folder. A watcher started by the script
    stops them if this process dies without calling stop()."""

    def __init__(self, names=ALL_SERVERS, timeout=240):
        self.base = os.path.join(tempfile.gettempdir(), "qx-peers-%d-%s" % (os.getpid(), os.urandom(4).hex()))
        self.env = {}
        cmd = [PEERS_SCRIPT, "start", self.base, "--owner", str(os.getpid())] + list(names)
        try:
            done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired as e:
            self.stop()
            raise PeersUnavailable("starting the servers took more than %ds: %s" % (timeout, e.stderr))
        if done.returncode != 0:
            self.stop()
            raise PeersUnavailable("could not start %s (scripts/setup.sh installs them):\n%s"
                                   % (", ".join(names), done.stderr[-6000:]))
        for line in done.stdout.splitlines():
            key, sep, value = line.partition("=")
            if sep:
                self.env[key] = value

    def stop(self):
        if os.path.isdir(self.base):
            subprocess.run([PEERS_SCRIPT, "stop", self.base], capture_output=True, text=True, timeout=120)


class _Handler(BaseHTTPRequestHandler):
    """Answers every request with a short text that names it, so the app's output shows that the
    request and its body really arrived."""

    protocol_version = "HTTP/1.1"

    def _answer(self, status, text):
        body = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.server.requests.append((self.command, self.path))

    def _body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length).decode("utf-8", "replace") if length else ""

    def do_GET(self):
        if self.path == "/bytes":
            self._answer(200, "0123456789abcdef")
        else:
            self._answer(200, "item " + self.path)

    def do_POST(self):
        self._answer(201, "created " + self._body())

    def do_PUT(self):
        self._answer(200, "stored " + self._body())

    def do_DELETE(self):
        self._answer(204, "")

    def log_message(self, *args):
        pass


class HttpServer:
    """A threaded HTTP/1.1 server on a free loopback port."""

    def __init__(self):
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self.server.daemon_threads = True
        self.server.requests = []
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    @property
    def requests(self):
        return list(self.server.requests)

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
