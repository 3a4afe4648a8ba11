#!/usr/bin/env python3
"""A web server for the updater's tests: serves a folder on 127.0.0.1 as a static host does
(ETag, Last-Modified, 304, one "Range: bytes=N-") and injects the faults a rules file names.
    fault_server.py ROOT RULES LOG [--lifetime SECONDS]
Prints its port on standard output once it listens. RULES is a JSON object read at each request:
{"<glob of the request path>": {"status": 503, "cut": N, "ignoreRange": true, "html": true,
"stall": SECONDS, "rate": BYTES, "gzip": true, "misrange": true, "headerRate": BYTES, "redirect": URL,
"framing": "chunked" | "none", "times": K}}: answer with that status, send only the first N bytes of
the body and close, send the body in chunks or without a Content-Length (ending with the
connection), send the
whole object to a range request, send an HTML page, send half the body and then nothing for
SECONDS, send BYTES a second, send the body gzip-encoded, answer 206 with the object's first half
whatever was asked, trickle the status line and headers at BYTES a second, redirect (302) to URL;
"times" applies the rule to the first K matching requests only. LOG gets one JSON line per request: its path, its Range, its
validators, its Accept-Encoding, the status and the bytes sent.
The server ends by itself after its lifetime (default 300 s)."""

import email.utils
import fnmatch
import gzip
import hashlib
import http.server
import json
import os
import sys
import threading
import time

ROOT, RULES, LOG = sys.argv[1], sys.argv[2], sys.argv[3]
LIFETIME = float(sys.argv[sys.argv.index("--lifetime") + 1]) if "--lifetime" in sys.argv else 300.0
lock = threading.Lock()
used = {}


def rule_for(path):
    try:
        with open(RULES) as file:
            rules = json.load(file)
    except (OSError, ValueError):
        return {}
    for pattern, rule in rules.items():
        if fnmatch.fnmatch(path, pattern):
            with lock:
                count = used.get(pattern, 0)
                if "times" in rule and count >= rule["times"]:
                    continue
                used[pattern] = count + 1
            return rule
    return {}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self, status, sent):
        entry = {"path": self.path, "range": self.headers.get("Range"), "ifNoneMatch": self.headers.get("If-None-Match"),
                 "acceptEncoding": self.headers.get("Accept-Encoding"), "status": status, "sent": sent}
        with lock, open(LOG, "a") as log:
            log.write(json.dumps(entry) + "\n")

    def reply(self, status, body=b"", headers=None, send=None, rate=None, framing="length"):
        """The body framed by its Content-Length, by chunks (the last, empty one only when all of it
        is sent) or by nothing (it ends with the connection)."""
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if framing == "length":
            self.send_header("Content-Length", str(len(body)))
        if framing == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        payload = body if send is None else body[:send]
        # Written down first: the client may be gone, and its test reading the log, once it has it all.
        self.record(status, len(payload))
        try:
            step = max(1, int(rate) // 10) if rate else min(len(payload), 1 << 16) or 1
            for start in range(0, len(payload), step):
                piece = payload[start:start + step]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if framing == "chunked" else piece)
                self.wfile.flush()
                if rate:
                    time.sleep(0.1)
            if framing == "chunked" and send is None:
                self.wfile.write(b"0\r\n\r\n")
        except OSError:
            pass

    def trickle_headers(self, rate):
        """A status line and header lines a few bytes at a time, never ending before the client does."""
        head = b"HTTP/1.1 200 OK\r\n" + b"".join(b"X-Pad-%d: %s\r\n" % (n, b"x" * 40) for n in range(200))
        self.record(200, 0)
        try:
            for start in range(0, len(head), rate):
                self.wfile.write(head[start:start + rate])
                self.wfile.flush()
                time.sleep(1)
        except OSError:
            pass
        self.close_connection = True

    def do_GET(self):
        rule = rule_for(self.path)
        if "headerRate" in rule:
            return self.trickle_headers(int(rule["headerRate"]))
        if "redirect" in rule:
            return self.reply(302, b"", {"Location": rule["redirect"]})
        if "status" in rule:
            return self.reply(rule["status"], b"<html><body>unavailable</body></html>", {"Content-Type": "text/html"})
        if rule.get("html"):
            return self.reply(200, b"<!DOCTYPE html><html><body>Sign in to the network</body></html>",
                              {"Content-Type": "text/html"})
        file = os.path.normpath(os.path.join(ROOT, self.path.lstrip("/")))
        if not file.startswith(os.path.abspath(ROOT) + os.sep) or not os.path.isfile(file):
            return self.reply(404, b"not found")
        with open(file, "rb") as opened:
            body = opened.read()
        stat = os.stat(file)
        etag = '"' + hashlib.sha256(body).hexdigest()[:16] + '"'
        headers = {"ETag": etag, "Last-Modified": email.utils.formatdate(stat.st_mtime, usegmt=True),
                   "Accept-Ranges": "bytes", "Content-Type": "application/octet-stream"}
        if self.headers.get("If-None-Match") == etag:
            self.send_response(304)
            self.send_header("ETag", etag)
            self.send_header("Content-Length", "0")
            self.record(304, 0)
            return self.end_headers()
        status = 200
        if rule.get("misrange"):
            half = len(body) // 2
            headers["Content-Range"] = f"bytes 0-{half - 1}/{len(body)}"
            return self.reply(206, body[:half], headers)
        if rule.get("gzip"):
            headers["Content-Encoding"] = "gzip"
            return self.reply(200, gzip.compress(body), headers)
        asked = self.headers.get("Range", "")
        if asked.startswith("bytes=") and asked.endswith("-") and not rule.get("ignoreRange"):
            start = int(asked[6:-1])
            if start >= len(body):
                return self.reply(416, b"", {"Content-Range": f"bytes */{len(body)}"})
            headers["Content-Range"] = f"bytes {start}-{len(body) - 1}/{len(body)}"
            body, status = body[start:], 206
        if "stall" in rule:
            self.send_response(status)
            for name, value in headers.items():
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            half = len(body) // 2
            try:
                self.wfile.write(body[:half])
                self.wfile.flush()
                self.record(status, half)
                time.sleep(min(float(rule["stall"]), 60))
            except OSError:
                pass
            self.close_connection = True
            return
        if "cut" in rule:
            self.close_connection = True
        if rule.get("framing", "length") != "length":
            self.close_connection = True
        self.reply(status, body, headers, rule.get("cut"), rule.get("rate"), rule.get("framing", "length"))


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a client that hung up (a killed updater, a cut) is what the tests make happen


server = Server(("127.0.0.1", 0), Handler)
stopper = threading.Timer(LIFETIME, server.shutdown)
stopper.daemon = True
stopper.start()
print(server.server_address[1], flush=True)
server.serve_forever()
