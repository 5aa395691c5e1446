#!/usr/bin/env python3
"""HTTPS server for the update client's tests.

usage: https_server.py ROOT CERT KEY PORT_FILE

Serves the files under ROOT. "/status/N" answers status N with an empty body,
"/redirect?to=URL" answers 302 to URL, "/slow/NAME" serves NAME after one second.
Answers that never end: "/drip" sends two bytes a second, "/endless" as fast as it can,
"/huge" announces 64 GiB and then sends as fast as it can.
Appends "PATH ACCEPT" for every request to ROOT/requests.log, and writes its port
to PORT_FILE once it listens.
"""
import http.server
import os
import ssl
import sys
import time
import urllib.parse

root, cert, key, port_file = sys.argv[1:5]


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def stream(self, kind):
        self.send_response(200)
        if kind == "/huge":
            self.send_header("Content-Length", str(64 << 30))
        self.end_headers()
        chunk = b"x" if kind == "/drip" else b"x" * 65536
        try:
            while True:
                self.wfile.write(chunk)
                self.wfile.flush()
                if kind == "/drip":
                    time.sleep(0.5)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        with open(os.path.join(root, "requests.log"), "a") as log:
            log.write(f"{url.path} {self.headers.get('Accept', '')}\n")
        if url.path.startswith("/status/"):
            return self.answer(int(url.path.split("/")[2]))
        if url.path in ("/drip", "/endless", "/huge"):
            return self.stream(url.path)
        if url.path == "/redirect":
            target = urllib.parse.parse_qs(url.query)["to"][0]
            return self.answer(302, headers=[("Location", target)])
        name = url.path
        if name.startswith("/slow/"):
            time.sleep(1)
            name = name[len("/slow"):]
        path = os.path.join(root, name.lstrip("/"))
        if not os.path.isfile(path):
            return self.answer(404)
        with open(path, "rb") as file:
            self.answer(200, file.read(), [("Content-Type", "application/octet-stream")])


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
with open(port_file + ".tmp", "w") as file:
    file.write(str(server.server_address[1]))
os.replace(port_file + ".tmp", port_file)
server.serve_forever()
