"""Loopback HTTP servers for the tests: a download server and a proxy.

DownloadServer serves the files of a folder under /EX/. A file NAME may have
a sidecar NAME.rule with key=value lines that change how it is answered:

  status=N       answer with status N (body: the file, or a small error page)
  fail_first=N   the first N requests close the connection without an answer
  close_after=N  send the headers, then N bytes of the body, then close
  no_length=1    no Content-Length: the end of the body is the closed connection
  stall=S        after the headers and close_after bytes (or the whole body),
                 wait S seconds, then close
  hold=FILE      like stall, but until FILE (in the folder) exists, at most
                 120 s: the test says when the answer may go on
  cut_first=N    the first request gets the headers and N bytes, then the
                 connection closes; later requests are answered whole
  trickle=S      the body goes one byte every S seconds
  rate=B         the body goes at B bytes a second (a line of that speed)
  ranges=1       answer "Range: bytes=N-" with 206 and the rest, when
                 If-Range names the file's ETag (sent on every answer);
                 without it Range is ignored, as many servers do. A single
                 "bytes=FIRST-LAST" is answered with 206 and those bytes
                 (LAST past the end: to the end) without If-Range or with
                 the ETag in it, and with 416 when FIRST is past the end;
                 several ranges ("a-b,c-d") get the whole file
  ranges=ignore  send the ETag, but answer every request whole
  range_shift=N  a 206 for FIRST-LAST says FIRST-LAST, but its bytes start
                 N further on (N < 0: earlier), as many as asked while the
                 file lasts: a server or cache that lies about a range
  range_extra=N  a 206 for FIRST-LAST carries N bytes more than asked
                 (N < 0: fewer), its Content-Length the body's
  range_moved=N  a 206 for FIRST-LAST names and carries FIRST+N-LAST+N
                 instead: another range than asked, said honestly
  content_type=T the answer's Content-Type (else application/octet-stream)
  log=1          append "range=... if-range=... auth=..." for each request
                 to NAME.requests (the headers' values, "-" when absent;
                 auth: which of Authorization and Proxy-Authorization came),
                 and keep in NAME.sent the bytes of all bodies sent for NAME
                 (a decimal number and LF)

DownloadServer(root, port, rules, cache) takes rules every file gets unless its
sidecar sets them (its .rules, changeable between runs). It counts what it
sends: .sent[NAME] the bytes of every body answered for NAME, .answers[NAME]
(status, Content-Range or None, body bytes) for each answer, in order;
.ranges[NAME] the Range header of each request. A body is counted as its
answer starts, so a client that drops it still counts it whole. With cache
true each file is read once (the bench: files that do not change).

A missing file is a 404 with an error page. ProxyServer demands Basic
credentials with 407 (unless made without a user) and forwards good requests, with their end-to-end
headers, to the download server only, whatever host the request names; it
appends one line per request to a log.
"""

import base64
import http.client
import http.server
import os
import socket
import threading
import time
import urllib.parse
import zlib

LOOPBACK = "127.0.0.1"


def read_rules(path):
    rules = {}
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                key, sep, value = line.strip().partition("=")
                if sep:
                    rules[key.strip()] = value.strip()
    except FileNotFoundError:
        pass
    return rules


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, handler, port=0):
        super().__init__((LOOPBACK, port), handler)
        self.port = self.server_address[1]
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.shutdown()
        self.server_close()


class _DownloadHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        server = self.server
        path = urllib.parse.urlsplit(self.path).path
        if not path.startswith("/EX/"):
            return self._answer(404, b"<html>not here</html>")
        name = path[len("/EX/"):]
        # Only plain names inside the folder: the tests never go elsewhere.
        if not name or "/" in name or "\\" in name or name in (".", ".."):
            return self._answer(404, b"<html>bad name</html>")
        file_path = os.path.join(server.root, name)
        rules = dict(server.rules)
        rules.update(read_rules(file_path + ".rule"))

        range_asked = self.headers.get("Range")
        if_range = self.headers.get("If-Range")
        auth = ",".join(h for h in ("Authorization", "Proxy-Authorization") if h in self.headers)
        with server.lock:
            server.counts[name] = server.counts.get(name, 0) + 1
            count = server.counts[name]
            server.ranges.setdefault(name, []).append(range_asked)
            if rules.get("log") == "1":
                with open(file_path + ".requests", "a", encoding="utf-8") as f:
                    f.write("range=%s if-range=%s auth=%s\n"
                            % (range_asked or "-", if_range or "-", auth or "-"))
        if count <= int(rules.get("fail_first", "0")):
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return

        try:
            body, etag = server.read(file_path)
            status = int(rules.get("status", "200"))
        except (FileNotFoundError, IsADirectoryError):
            body = b"<html><body>404 Not Found</body></html>"
            status = int(rules.get("status", "404"))
            etag = '"%x-%x"' % (len(body), zlib.crc32(body))
        content_range = None
        if rules.get("ranges") == "1" and status == 200 and range_asked:
            status, content_range, body = self._range(rules, range_asked, if_range, etag, body)
        self.send_response(status)
        self.send_header("Content-Type", rules.get("content_type", "application/octet-stream"))
        if rules.get("ranges") in ("1", "ignore"):
            self.send_header("ETag", etag)
            self.send_header("Accept-Ranges", "bytes")
        if content_range:
            self.send_header("Content-Range", content_range)
        no_length = rules.get("no_length") == "1"
        if no_length:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()

        cut = rules.get("close_after")
        if count == 1 and "cut_first" in rules:
            cut = rules["cut_first"]
        sent = body if cut is None else body[: int(cut)]
        server.count_sent(name, status, content_range, len(sent), rules.get("log") == "1")
        trickle = float(rules.get("trickle", "0"))
        rate = float(rules.get("rate", "0"))
        step = 1 if trickle else 65536 if rate else max(1, len(sent))
        started = time.monotonic()
        try:
            for i in range(0, len(sent), step):
                self.wfile.write(sent[i:i + step])
                self.wfile.flush()
                if trickle:
                    time.sleep(trickle)
                elif rate:
                    time.sleep(max(0.0, started + (i + step) / rate - time.monotonic()))
        except OSError:
            return  # the client gave up on a trickle
        stall = float(rules.get("stall", "0"))
        if stall:
            time.sleep(stall)
        hold = rules.get("hold")
        if hold:
            deadline = time.monotonic() + 120
            while not os.path.exists(os.path.join(server.root, hold)) and \
                    time.monotonic() < deadline:
                time.sleep(0.1)
        if cut is not None or stall or hold:
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)

    @staticmethod
    def _range(rules, asked, if_range, etag, body):
        """(status, Content-Range, body) of the answer to Range ASKED."""
        total = len(body)
        spec = asked[6:] if asked.startswith("bytes=") else ""
        first, dash, last = spec.partition("-")
        if not dash or not first.isdigit() or not (last == "" or last.isdigit()):
            return 200, None, body                  # also several ranges, or a suffix
        first = int(first)
        if last == "":
            # The resume the downloader makes: only on the same file (from 0:
            # a 206 of the whole body, without Content-Range, as ever).
            if if_range != etag or first >= total:
                return 200, None, body
            if not first:
                return 206, None, body
            return 206, "bytes %d-%d/%d" % (first, total - 1, total), body[first:]
        last = min(int(last), total - 1)
        if (last < first and first < total) or (if_range is not None and if_range != etag):
            return 200, None, body
        if first >= total:
            return 416, "bytes */%d" % total, b""
        start = max(0, first + int(rules.get("range_shift", "0")))
        length = last - first + 1 + int(rules.get("range_extra", "0"))
        moved = int(rules.get("range_moved", "0"))
        if moved:  # another range, named as such
            first, last = first + moved, last + moved
            start = first
        return (206, "bytes %d-%d/%d" % (first, last, total),
                body[start:start + max(0, length)])

    def _answer(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class DownloadServer(_Server):
    # port 0: one of the system's choosing; the end-to-end tests need the
    # fixed one their setup.exe was built for.
    def __init__(self, root, port=0, rules=None, cache=False):
        self.root = root
        self.rules = dict(rules or {})
        # path -> (body, ETag): a static server answers a range without
        # reading and summing the whole file, and the bench must not pay
        # that per request. Only for files that stay as they are.
        self.cache = {} if cache else None
        self.counts = {}
        # name -> the Range header of each request (None when absent)
        self.ranges = {}
        self.sent, self.answers = {}, {}
        self.lock = threading.Lock()
        super().__init__(_DownloadHandler, port)

    def read(self, path):
        """A file's bytes and ETag."""
        if self.cache is not None and path in self.cache:
            return self.cache[path]
        with open(path, "rb") as f:
            body = f.read()
        found = body, '"%x-%x"' % (len(body), zlib.crc32(body))
        if self.cache is not None:
            self.cache[path] = found
        return found

    def count_sent(self, name, status, content_range, nbytes, log):
        with self.lock:
            self.sent[name] = self.sent.get(name, 0) + nbytes
            self.answers.setdefault(name, []).append((status, content_range, nbytes))
            if log:
                with open(os.path.join(self.root, name + ".sent"), "w", encoding="ascii") as f:
                    f.write("%d\n" % self.sent[name])


HOP_BY_HOP = {"connection", "keep-alive", "proxy-authenticate", "proxy-authorization",
              "te", "trailers", "transfer-encoding", "upgrade", "proxy-connection"}


class _ProxyHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        server = self.server
        url = urllib.parse.urlsplit(self.path)
        target = url.path + ("?" + url.query if url.query else "")
        given = self.headers.get("Proxy-Authorization", "")
        if server.expected_auth is not None and given != server.expected_auth:
            server.record("407", given, target)
            body = b"<html>proxy authentication required</html>"
            self.send_response(407)
            self.send_header("Proxy-Authenticate", 'Basic realm="test proxy"')
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        server.record("forward", given, target)
        upstream = http.client.HTTPConnection(LOOPBACK, server.upstream_port, timeout=120)
        try:
            # What a real proxy passes on: everything but its own headers.
            headers = {k: v for k, v in self.headers.items() if k.lower() not in HOP_BY_HOP}
            headers["Host"] = url.netloc or LOOPBACK
            upstream.request("GET", target, headers=headers)
            resp = upstream.getresponse()
        except (OSError, http.client.HTTPException):
            body = b"<html>bad gateway</html>"
            self.send_response(502)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            upstream.close()
            return
        self.send_response(resp.status)
        length = resp.getheader("Content-Length")
        for key, value in resp.getheaders():
            if key.lower() not in HOP_BY_HOP:
                self.send_header(key, value)
        if length is None:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        try:
            while True:
                chunk = resp.read1(65536)
                if not chunk:
                    break
                self.wfile.write(chunk)
        except (OSError, http.client.HTTPException):
            pass
        finally:
            upstream.close()
        if length is not None and resp.length:
            # The upstream ended before its announced length: pass the cut on.
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)


class ProxyServer(_Server):
    def __init__(self, upstream_port, user, password, log_path):
        self.upstream_port = upstream_port
        # Without a user it asks nobody for anything and forwards all.
        token = base64.b64encode(f"{user}:{password}".encode("utf-8")).decode("ascii")
        self.expected_auth = "Basic " + token if user is not None else None
        self.log_path = log_path
        self.lock = threading.Lock()
        super().__init__(_ProxyHandler)

    def record(self, outcome, given, target):
        user = ""
        if given.startswith("Basic "):
            try:
                user = base64.b64decode(given[6:]).decode("utf-8").partition(":")[0]
            except ValueError:
                user = "?"
        with self.lock, open(self.log_path, "a", encoding="utf-8") as f:
            f.write(f"{time.monotonic():.3f} {outcome} {user} {target}\n")
