"""Object-storage servers on loopback for the remote tests and the benchmark.

    python tests/servers.py s3 [--lifetime SECONDS]
    python tests/servers.py http ROOT [--lifetime SECONDS]

`s3` is moto's S3 server; `http` serves the files under ROOT with Range
requests honoured (one range per request, as fsspec asks) except under
/norange/ (which serves ROOT again, whole, as servers without Range do), 404
for a missing file and 403 for anything under /forbidden/. Both listen on 127.0.0.1 only,
print "port N" once listening, count every request they answer (method,
path, query, Range, body bytes received and sent, when it started and
ended on the server's monotonic clock) and stop by themselves
after --lifetime seconds. GET /__counts__ returns the requests counted since
the last GET /__counts__?reset=1 as JSON, and is not counted itself.
"""

import argparse
import json
import os
import re
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

COUNTS_PATH = "/__counts__"


class Counter:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.records: list[dict] = []

    def add(self, record: dict) -> None:
        with self.lock:
            self.records.append(record)

    def take(self, reset: bool) -> bytes:
        with self.lock:
            out = json.dumps(self.records).encode()
            if reset:
                self.records = []
        return out


def counting(app, counter: Counter):
    """A WSGI middleware that counts requests and the body bytes they moved."""

    def wrapped(environ, start_response):
        path = environ.get("PATH_INFO", "")
        if path == COUNTS_PATH:
            reset = "reset=1" in environ.get("QUERY_STRING", "")
            body = counter.take(reset)
            start_response("200 OK", [("Content-Length", str(len(body)))])
            return [body]
        record = {
            "method": environ.get("REQUEST_METHOD"),
            "path": path,
            "query": environ.get("QUERY_STRING", ""),
            "range": environ.get("HTTP_RANGE"),
            "received": int(
                environ.get("HTTP_X_AMZ_DECODED_CONTENT_LENGTH")
                or environ.get("CONTENT_LENGTH")
                or 0
            ),
            "sent": 0,
            "start": time.monotonic(),
        }
        counter.add(record)  # now: its bytes are counted before the client has them
        status = []

        def start(code, headers, exc_info=None):
            status.append(code)
            return start_response(code, headers, exc_info)

        return body_of(app(environ, start), record, status)

    def body_of(chunks, record, status):
        try:
            for chunk in chunks:
                record["sent"] += len(chunk)
                yield chunk
        finally:
            close = getattr(chunks, "close", None)
            if close is not None:
                close()
            record["status"] = int(status[0].split()[0]) if status else 0
            record["end"] = time.monotonic()

    return wrapped


def serve_s3(counter: Counter):
    from moto.moto_server.werkzeug_app import (
        DomainDispatcherApplication,
        MotoRequestHandler,
        create_backend_app,
    )
    from werkzeug.serving import make_server

    class Quiet(MotoRequestHandler):
        def log_request(self, *args, **kwargs):
            pass

    app = counting(DomainDispatcherApplication(create_backend_app), counter)
    return make_server("127.0.0.1", 0, app, True, request_handler=Quiet)


_RANGE = re.compile(r"bytes=(\d*)-(\d*)$")


def serve_http(root: str, counter: Counter):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def _file(self):
            parsed = urllib.parse.urlsplit(self.path)
            path = urllib.parse.unquote(parsed.path)
            if path.startswith("/forbidden/"):
                return path, None, 403
            if path.startswith("/norange/"):
                path = path[len("/norange") :]
            local = os.path.normpath(os.path.join(root, path.lstrip("/")))
            if not local.startswith(os.path.normpath(root)) or not os.path.isfile(local):
                return path, None, 404
            return path, local, 200

        def _reply(self, code, body=b"", headers=(), head=False, record=None):
            self.send_response(code)
            for name, value in headers:
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if not head:
                self.wfile.write(body)
                if record is not None:
                    record["sent"] += len(body)

        def do_HEAD(self):
            self.do_GET(head=True)

        def do_GET(self, head=False):
            if self.path.startswith(COUNTS_PATH):
                self._reply(200, counter.take("reset=1" in self.path))
                return
            path, local, code = self._file()
            record = {
                "method": self.command,
                "path": path,
                "query": "",
                "range": self.headers.get("Range"),
                "received": 0,
                "sent": 0,
                "status": code,
                "start": time.monotonic(),
            }
            counter.add(record)
            try:
                if local is None:
                    self._reply(code, b"", head=head, record=record)
                    return
                size = os.path.getsize(local)
                wanted = None if self.path.startswith("/norange/") else self.headers.get("Range")
                start, end = 0, size
                status = 200
                if wanted:
                    match = _RANGE.match(wanted.strip())
                    if match and (match.group(1) or match.group(2)):
                        if match.group(1):
                            start = int(match.group(1))
                            end = min(size, int(match.group(2)) + 1) if match.group(2) else size
                        else:
                            start = max(0, size - int(match.group(2)))
                        if start >= size:
                            record["status"] = 416
                            self._reply(416, b"", [("Content-Range", f"bytes */{size}")], head)
                            return
                        status = 206
                headers = [("Accept-Ranges", "bytes"), ("Content-Type", "application/octet-stream")]
                if status == 206:
                    headers.append(("Content-Range", f"bytes {start}-{end - 1}/{size}"))
                record["status"] = status
                self.send_response(status)
                for name, value in headers:
                    self.send_header(name, value)
                self.send_header("Content-Length", str(end - start))
                self.end_headers()
                if head:
                    return
                with open(local, "rb") as handle:
                    handle.seek(start)
                    left = end - start
                    while left:
                        piece = handle.read(min(left, 1 << 20))
                        if not piece:
                            break
                        self.wfile.write(piece)
                        record["sent"] += len(piece)
                        left -= len(piece)
            except (BrokenPipeError, ConnectionResetError):
                pass
            finally:
                record["end"] = time.monotonic()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    return server


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["s3", "http"])
    parser.add_argument("root", nargs="?")
    parser.add_argument("--lifetime", type=float, default=900.0)
    args = parser.parse_args()
    counter = Counter()
    server = serve_s3(counter) if args.kind == "s3" else serve_http(args.root, counter)
    # Never outlives its lifetime, whatever happens to the process that started it.
    threading.Timer(args.lifetime, lambda: os._exit(0)).start()
    print(f"port {server.server_address[1]}", flush=True)
    sys.stdout.close()
    server.serve_forever()


if __name__ == "__main__":
    main()
