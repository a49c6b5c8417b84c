#!/usr/bin/env python3
"""Loopback HTTP/1.1 server for the tests: static files with keep-alive, plus
fault routes that misbehave on purpose.

  /fault/status/<code>/<name>     answer with that status
  /fault/redirect/<n>/<name>      n redirects, then a 200 body
  /fault/cut/<name>               announce 1000 bytes, send 100, hang up
  /fault/empty/<name>             200 with an empty body
  /fault/stall/<name>             read the request, then say nothing
  /fault/stallbody/<name>         announce 1000 bytes, send 500, then say nothing
  /fault/hangup/<name>            close before any response
  /fault/slow/<bytes>/<name>      the body in 1 KiB pieces, 20 ms apart
  /fault/bytes/<bytes>/<name>     a generated body of that length, fast
  /fault/endless/<...>            200 with no length and a body that never ends
  /fault/partial/<name>           206 with a Content-Range, to a plain request
  /fault/gzip/<name>              200 with Content-Encoding: gzip, unasked

Static files answer Range requests (one range, "bytes=N-" or "bytes=N-M")
with 206, honour If-Range against their ETag and Last-Modified, and hang up
where marker files beside them say (each holds a number):
  NAME.cutat      every answer stops at that byte of the file
  NAME.cutonce    the first answer that passes that byte stops there; then the
                  marker goes, and NAME.next (if any) replaces NAME, so the
                  file has changed when the client comes back
  NAME.cutevery   every answer stops after that many bytes
  NAME.stallonce  the first answer that passes that byte goes silent there
                  (the connection stays open); then the marker goes
  NAME.goneafter  (empty) with NAME.cutonce: NAME is removed at the cut
  NAME.norange    (empty) Range is ignored: always the whole file, 200
  NAME.noifrange  (empty) If-Range is ignored
  NAME.badrange   (empty) a range is answered with 206 and the whole file,
                  its Content-Range starting at byte 0
  NAME.origin     a request with a query is answered with this file instead:
                  NAME is what a lagging cache holds, this what is behind it
Static files beside which a file of the same name plus ".stall" lies are
answered with nothing, as /fault/stall; plus ".stallbody", with their length
and the first half of their bytes, then nothing.
Static files whose name holds ".slow.", or beside which a file of the same
name plus ".slow" lies, are sent in 1 KiB pieces 20 ms apart;
those whose name holds ".cut." announce their length and stop half way;
those whose name holds ".endless.", or beside which a file of the same name
plus ".endless" lies, send no length and never stop after the file's bytes.

Prints the port on its first line of output. Every request is appended to the
--log file as "<connection> <method> <path>", followed by "\t<Range>\t<If-Range>"
when it asked for a range; one that asked caches to revalidate
(Cache-Control: no-cache) has "REVALIDATE-" before its method; one that came to it as a proxy
(an absolute address in the request line, for this server itself) has the
method "PROXY-GET". With --log-connections, each connection is logged as
it is accepted, before any request on it, as "<connection> CONNECTED -".
With --sent-log, the body bytes of every static answer
are appended to that file, one number a line. Binds 127.0.0.1 only and stops
by itself after --lifetime seconds.
"""
import argparse
import email.utils
import gzip
import http.server
import os
import re
import socket
import socketserver
import sys
import threading
import time
import urllib.parse

STALL_LIMIT_S = 30
SLOW_LIMIT_BYTES = 64 * 1024 * 1024
ENDLESS_LIMIT_S = 30


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "vmrk-test-server"

    def setup(self):
        super().setup()
        # As nginx does (tcp_nodelay on): a body written after its headers
        # does not wait for the client's delayed ACK of them.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        log = self.server.log_path
        if log and self.server.log_connections:
            with self.server.log_lock, open(log, "a", encoding="utf-8") as f:
                f.write("%d CONNECTED -\n" % self.client_address[1])

    def log_message(self, fmt, *args):
        pass

    def record(self, how=""):
        log = self.server.log_path
        if log:
            with self.server.log_lock, open(log, "a", encoding="utf-8") as f:
                ranged = ""
                if "Range" in self.headers:
                    ranged = "\t%s\t%s" % (self.headers["Range"], self.headers.get("If-Range", ""))
                f.write("%d %s%s %s%s\n" % (self.client_address[1], how, self.command, self.path, ranged))

    def send_body(self, status, body, extra_headers=()):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        for k, v in extra_headers:
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        if self.path.startswith("http://"):
            # The absolute form: a client that takes this server for its
            # proxy. It proxies for itself alone, and logs "PROXY-GET".
            authority, _, rest = self.path[len("http://"):].partition("/")
            self.path = "/" + rest
            self.record("PROXY-")
            port = self.server.server_address[1]
            if authority not in ("127.0.0.1:%d" % port, "localhost:%d" % port):
                return self.send_body(502, b"this proxy serves only its own server\n")
        elif "no-cache" in self.headers.get("Cache-Control", ""):
            self.record("REVALIDATE-")
        else:
            self.record()
        path = urllib.parse.unquote(self.path.split("?", 1)[0])
        if "?" in self.path and self.server.root:
            origin = os.path.join(self.server.root, path.lstrip("/")) + ".origin"
            if os.path.isfile(origin):
                path += ".origin"
        parts = path.strip("/").split("/")
        if parts[0] == "fault" and len(parts) >= 2:
            return self.fault(parts[1:])
        return self.static(path)

    def static(self, path):
        root = self.server.root
        full = os.path.realpath(os.path.join(root, path.lstrip("/")))
        if not root or not full.startswith(os.path.realpath(root) + os.sep) or not os.path.isfile(full):
            return self.send_body(404, b"not found\n")
        size = os.path.getsize(full)
        if os.path.exists(full + ".stall"):
            return self.fault(["stall"])
        if os.path.exists(full + ".stallbody"):
            with open(full, "rb") as f:
                return self.stall_in_body(f.read())
        if ".endless." in os.path.basename(full) or os.path.exists(full + ".endless"):
            with open(full, "rb") as f:
                return self.endless(f.read())
        self.ranged(full, size)

    def marker(self, full, ext):
        """The number in NAME+ext, 0 for an empty marker, None without one."""
        try:
            with open(full + ext) as f:
                text = f.read().strip()
            return int(text) if text else 0
        except (OSError, ValueError):
            return None

    def ranged(self, full, size):
        mtime = int(os.path.getmtime(full))
        etag = '"%x-%x"' % (mtime, size)
        modified = email.utils.formatdate(mtime, usegmt=True)
        start, end, status = 0, size - 1, 200
        asked = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", "").strip())
        if asked and self.marker(full, ".norange") is None:
            if_range = self.headers.get("If-Range")
            if if_range is None or if_range in (etag, modified) or self.marker(full, ".noifrange") is not None:
                start = int(asked.group(1))
                end = min(int(asked.group(2)), size - 1) if asked.group(2) else size - 1
                if start >= size or end < start:
                    return self.send_body(416, b"", [("Content-Range", "bytes */%d" % size)])
                status = 206
        content_range = "bytes %d-%d/%d" % (start, end, size)
        if status == 206 and self.marker(full, ".badrange") is not None:
            start, end, content_range = 0, size - 1, "bytes 0-%d/%d" % (size - 1, size)
        stop = end + 1  # the byte after the last one sent
        name = os.path.basename(full)
        cut = self.marker(full, ".cutat")
        once = self.marker(full, ".cutonce")
        every = self.marker(full, ".cutevery")
        silent = self.marker(full, ".stallonce")
        if silent is not None and start <= silent < stop:
            stop = silent
        else:
            silent = None
        if ".cut." in name:
            cut = size // 2
        for at in (cut, once):
            if at is not None and start <= at < stop:
                stop = at
        if every is not None:
            stop = min(stop, start + every)
        self.send_response(status)
        self.send_header("Content-Length", str(end - start + 1))
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", modified)
        if self.marker(full, ".norange") is None:
            self.send_header("Accept-Ranges", "bytes")
        if status == 206:
            self.send_header("Content-Range", content_range)
        self.end_headers()
        if self.command == "HEAD":
            return
        slow = ".slow." in name or self.marker(full, ".slow") is not None
        sent = 0
        try:
            with open(full, "rb") as f:
                f.seek(start)
                while start + sent < stop:
                    chunk = f.read(min(1024 if slow else 256 * 1024, stop - start - sent))
                    if not chunk:
                        break
                    self.wfile.write(chunk)
                    sent += len(chunk)
                    if slow:
                        self.wfile.flush()
                        time.sleep(0.02)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        self.count_sent(sent)
        if silent is not None:
            os.remove(full + ".stallonce")
            self.wfile.flush()
            return self.stall()
        if stop <= end:
            if once is not None and stop == once:
                self.cut_once_done(full)
            self.close_hard()

    def cut_once_done(self, full):
        try:
            os.remove(full + ".cutonce")
        except OSError:
            pass
        if os.path.exists(full + ".goneafter"):
            os.remove(full)
        elif os.path.exists(full + ".next"):
            # A later time too: a change of the same length must show in the
            # validators.
            later = os.path.getmtime(full) + 10
            os.replace(full + ".next", full)
            os.utime(full, (later, later))

    def count_sent(self, sent):
        if self.server.sent_log:
            with self.server.log_lock, open(self.server.sent_log, "a") as f:
                f.write("%d\n" % sent)

    def fault(self, parts):
        kind = parts[0]
        if kind == "status":
            return self.send_body(int(parts[1]), b"status page\n")
        if kind == "redirect":
            n = int(parts[1])
            rest = "/".join(parts[2:])
            if n > 0:
                return self.send_body(302, b"", [("Location", "/fault/redirect/%d/%s" % (n - 1, rest))])
            return self.send_body(200, b"redirected body\n")
        if kind == "cut":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"x" * 100)
            self.wfile.flush()
            self.close_hard()
            return
        if kind == "endless":
            return self.endless(b"")
        if kind == "partial":
            return self.send_body(206, b"0123456789", [("Content-Range", "bytes 0-9/100")])
        if kind == "gzip":
            return self.send_body(200, gzip.compress(b"the file, compressed\n"), [("Content-Encoding", "gzip")])
        if kind == "empty":
            return self.send_body(200, b"")
        if kind == "stallbody":
            return self.stall_in_body(b"x" * 1000)
        if kind == "stall":
            return self.stall()
        if kind == "hangup":
            self.close_hard()
            return
        if kind in ("slow", "bytes"):
            total = min(int(parts[1]), SLOW_LIMIT_BYTES if kind == "slow" else 1 << 40)
            self.send_response(200)
            self.send_header("Content-Length", str(total))
            self.end_headers()
            piece = 1024 if kind == "slow" else 256 * 1024
            block = bytes(range(256)) * (piece // 256)
            sent = 0
            try:
                while sent < total:
                    n = min(piece, total - sent)
                    self.wfile.write(block[:n])
                    sent += n
                    if kind == "slow":
                        self.wfile.flush()
                        time.sleep(0.02)
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True
            return
        return self.send_body(404, b"no such fault\n")

    def stall(self):
        deadline = time.time() + STALL_LIMIT_S
        while time.time() < deadline and not self.server.stopping:
            time.sleep(0.05)
        self.close_hard()

    def stall_in_body(self, body):
        """The headers and the first half of body, then nothing."""
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body[: len(body) // 2])
        self.wfile.flush()
        self.stall()

    def endless(self, head):
        """head, then zeros until the client gives up (bounded in time)."""
        self.send_response(200)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        block = bytes(256 * 1024)
        deadline = time.time() + ENDLESS_LIMIT_S
        try:
            self.wfile.write(head)
            while time.time() < deadline and not self.server.stopping:
                self.wfile.write(block)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def close_hard(self):
        self.close_connection = True
        try:
            self.wfile.flush()
            self.connection.shutdown(2)
        except OSError:
            pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # Clients that abort mid-transfer are part of the tests.
        if isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            return
        super().handle_error(request, client_address)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", default="")
    ap.add_argument("--log", default="")
    ap.add_argument("--log-connections", action="store_true")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--lifetime", type=float, default=600)
    ap.add_argument("--sent-log", default="")
    args = ap.parse_args()
    server = Server(("127.0.0.1", args.port), Handler)
    server.root = args.root
    server.log_path = args.log
    server.log_connections = args.log_connections
    server.sent_log = args.sent_log
    server.log_lock = threading.Lock()
    server.stopping = False
    print(server.server_address[1], flush=True)

    def stop_later():
        time.sleep(args.lifetime)
        server.stopping = True
        server.shutdown()

    threading.Thread(target=stop_later, daemon=True).start()
    # Ends with the parent: a test that dies must not leave a server behind.
    def watch_parent(parent=os.getppid()):
        while os.getppid() == parent:
            time.sleep(0.5)
        server.stopping = True
        server.shutdown()

    threading.Thread(target=watch_parent, daemon=True).start()
    server.serve_forever(poll_interval=0.1)


if __name__ == "__main__":
    sys.exit(main())
