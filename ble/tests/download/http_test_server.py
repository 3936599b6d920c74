#!/usr/bin/env python3
"""Loopback HTTP server for the download tests and benchmark.

Usage: http_test_server.py [--files DIR] LOG_FILE [CERT_FILE KEY_FILE]
Listens on 127.0.0.1, port chosen by the system, and prints the port on the
first line of standard output. With a certificate and its key (PEM) it
speaks HTTPS instead of HTTP. Every request is appended to LOG_FILE as
"<path and query> range=<Range header or ->".

With --files DIR, a request whose path names a file in DIR (by its last
segment) gets that file's bytes, and a request for a missing *.minisig gets
404; every other request is answered as below.

The query of a request says how to answer it:
  size=N      body length (default 0); body byte i is i % 251
  status=S    status code (default 200); 206 adds a Content-Range for the
              whole body
  length=M    yes (Content-Length, default), chunked, or none (the body
              ends when the connection closes)
  cut=K       announce the full length but close after K body bytes
  hold=K      send K body bytes, then keep the connection open and silent
              until the client goes away
  cd=V        send "Content-Disposition: V"
  range=V     send "Content-Range: V" (in place of the whole-body one)
  redirect=P  answer 302 with "Location: P"
"""

import os
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PERIOD = 251
BLOCK = bytes(i % PERIOD for i in range(PERIOD * 256))
STEP = len(BLOCK) - PERIOD

LOG_LOCK = threading.Lock()
LOG_PATH = None
FILES = None


def pattern(offset, count):
    """Body bytes offset .. offset+count-1, in pieces of at most STEP."""
    while count > 0:
        n = min(count, STEP)
        start = offset % PERIOD
        yield BLOCK[start:start + n]
        offset += n
        count -= n


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        with LOG_LOCK, open(LOG_PATH, "a") as log:
            log.write("%s range=%s\n" % (self.path, self.headers.get("Range", "-")))
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query)

        def arg(name, default=None):
            return query[name][0] if name in query else default

        if FILES is not None and self.serve_file():
            return
        size = int(arg("size", "0"))
        status = int(arg("status", "200"))
        length = arg("length", "yes")
        cut = arg("cut")
        hold = arg("hold")
        self.close_connection = True
        try:
            if arg("redirect"):
                self.send_response(302)
                self.send_header("Location", arg("redirect"))
                self.send_header("Content-Length", "0")
                self.send_header("Connection", "close")
                self.end_headers()
                return
            self.send_response(status)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Connection", "close")
            if arg("range") is not None:
                self.send_header("Content-Range", arg("range"))
            elif status == 206 and size > 0:
                self.send_header("Content-Range", "bytes 0-%d/%d" % (size - 1, size))
            if arg("cd") is not None:
                self.send_header("Content-Disposition", arg("cd"))
            if length == "yes":
                self.send_header("Content-Length", str(size))
            elif length == "chunked":
                self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            send = size
            if cut is not None:
                send = min(size, int(cut))
            if hold is not None:
                send = min(size, int(hold))
            for piece in pattern(0, send):
                if length == "chunked":
                    self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
                else:
                    self.wfile.write(piece)
            if hold is not None:
                self.wfile.flush()
                self.wait_for_client_to_leave()
                return
            if length == "chunked" and cut is None:
                self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            pass

    def serve_file(self):
        """Answers from FILES; False when the request is not for a file."""
        name = os.path.basename(urllib.parse.unquote(urllib.parse.urlsplit(self.path).path))
        path = os.path.join(FILES, name)
        if not os.path.isfile(path):
            if not name.endswith(".minisig"):
                return False
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            return True
        with open(path, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        try:
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            pass
        return True

    def wait_for_client_to_leave(self):
        self.connection.settimeout(0.2)
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            try:
                if not self.connection.recv(4096):
                    return
            except socket.timeout:
                continue
            except OSError:
                return


class TlsServer(ThreadingHTTPServer):
    """HTTPS: the handshake runs in the request's own thread, so a client
    that refuses the certificate holds up nobody else."""

    def __init__(self, address, handler, cert, key):
        super().__init__(address, handler)
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)

    def get_request(self):
        connection, address = super().get_request()
        return self.context.wrap_socket(connection, server_side=True, do_handshake_on_connect=False), address

    def handle_error(self, request, client_address):
        pass  # a refused handshake is what some tests want


def main():
    global LOG_PATH, FILES
    args = sys.argv[1:]
    if args[:1] == ["--files"]:
        FILES = args[1]
        args = args[2:]
    sys.argv = sys.argv[:1] + args
    LOG_PATH = sys.argv[1]
    open(LOG_PATH, "w").close()
    if len(sys.argv) >= 4:
        server = TlsServer(("127.0.0.1", 0), Handler, sys.argv[2], sys.argv[3])
    else:
        server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
