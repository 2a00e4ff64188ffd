#!/usr/bin/env python3
"""An update server that tries to exhaust the program, on 127.0.0.1.

    hostile-server.py PORT-FILE

Prints the port it listens on into PORT-FILE and serves, below
/<case>/ZUVUpdater/TheOrvik//PrimaryFirmware/4/:

  bomb/  manifest.txt: 1 GiB of zeros, gzip-compressed to about 1 MB, sent
         with "Content-Encoding: gzip" whatever the client asked for
  line/  manifest.txt: one line of 300 MB, with its Content-Length
  body/  manifest.txt: a real manifest of one 512 KiB file F.BIN;
         F.BIN: 600 MB of bytes without Content-Length, ended by closing

All bodies are made as they are sent, never held whole.
"""
import gzip
import hashlib
import http.server
import io
import sys

MIB = 1024 * 1024
FILE = bytes(512 * 1024)
MANIFEST = hashlib.md5(FILE).hexdigest().encode() + b"  F.BIN\n"


def gzip_bomb():
    out = io.BytesIO()
    with gzip.GzipFile(fileobj=out, mode="wb", compresslevel=9) as packed:
        block = bytes(MIB)
        for _ in range(1024):
            packed.write(block)
    return out.getvalue()


BOMB = gzip_bomb()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def stream(self, size, byte=b"a"):
        block = byte * MIB
        sent = 0
        try:
            while sent < size:
                n = min(len(block), size - sent)
                self.wfile.write(block[:n])
                sent += n
        except (BrokenPipeError, ConnectionResetError):
            pass

    def do_GET(self):
        path = self.path
        if path.endswith("bomb/ZUVUpdater/TheOrvik//PrimaryFirmware/4/manifest.txt"):
            self.answer(BOMB, [("Content-Encoding", "gzip")])
        elif path.endswith("line/ZUVUpdater/TheOrvik//PrimaryFirmware/4/manifest.txt"):
            self.send_response(200)
            self.send_header("Content-Length", str(300 * 1000 * 1000))
            self.end_headers()
            self.stream(300 * 1000 * 1000)
        elif path.endswith("body/ZUVUpdater/TheOrvik//PrimaryFirmware/4/manifest.txt"):
            self.answer(MANIFEST, [])
        elif path.endswith("body/ZUVUpdater/TheOrvik//PrimaryFirmware/4/F.BIN"):
            self.send_response(200)
            self.end_headers()
            self.stream(600 * 1000 * 1000, b"\0")
        else:
            self.send_error(404)

    def answer(self, body, headers):
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        try:
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            pass


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    with open(sys.argv[1], "w") as port_file:
        port_file.write(str(server.server_address[1]))
    server.serve_forever()


if __name__ == "__main__":
    main()
