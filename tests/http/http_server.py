"""A local HTTP server for the url! tests: binds 127.0.0.1 on a free port, runs the Kel
script given as its child with the base URL in KEL_HTTP_BASE, and exits with its status.

    python3 http_server.py KEL SCRIPT
"""
import http.server
import os
import subprocess
import sys
import threading


# Paths asked for so far, for tests that count network reads (GET /log?PATH).
requests = []


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body, headers=(), raw=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        for line in raw:
            self._headers_buffer.append(line)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def echo(self):
        length = int(self.headers.get("Content-Length", 0))
        body = self.rfile.read(length) if length else b""
        text = "%s %s\n" % (self.command, self.path)
        text += "".join("%s: %s\n" % (k, v) for k, v in self.headers.items())
        return text.encode() + b"\n" + body

    def route(self):
        path = self.path
        if path.startswith("/log?"):
            return self.reply(200, str(requests.count(path[5:])).encode())
        requests.append(path)
        if path.startswith("/typed/"):
            # /typed/TYPE/SUBTYPE/NAME?HEX: the body's bytes with that type, its header
            # written "Content-type" as some servers do.
            kind, _, rest = path[7:].partition("?")
            kind = "/".join(kind.split("/")[:2])
            return self.reply(200, bytes.fromhex(rest),
                              raw=[("Content-type: %s\r\n" % kind).encode()])
        if path.startswith("/counter"):
            return self.reply(200, str(requests.count(path)).encode())
        if path.startswith("/redirect"):
            return self.reply(302, b"moved", [("Location", "/echo?from=redirect")])
        if path.startswith("/status/"):
            code = int(path.split("/")[2])
            return self.reply(code, ("status %d" % code).encode())
        if path == "/cookies":
            return self.reply(200, b"ok", [("Set-Cookie", "a=1"), ("Set-Cookie", "b=2")], [b"X:abc\r\n"])
        if path == "/binary":
            return self.reply(200, bytes(range(256)), [("Content-Type", "application/octet-stream")])
        if path == "/utf8":
            return self.reply(200, "h\u00e9llo \U0001F600".encode())
        if path == "/lines":
            return self.reply(200, b"a\r\nb\nc")
        if path == "/latin1":
            return self.reply(200, b"caf\xe9")
        return self.reply(200, self.echo())

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = route


def main():
    kel, script = sys.argv[1], sys.argv[2]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    env = dict(os.environ, KEL_HTTP_BASE="http://127.0.0.1:%d" % server.server_address[1])
    try:
        status = subprocess.run([kel, script], env=env, timeout=120).returncode
    except subprocess.TimeoutExpired:
        status = 1
    server.shutdown()
    sys.exit(status)


main()
