#!/usr/bin/python3
"""Recording stand-in for the cloud analytics service (standard library only).

Listens on 127.0.0.1 (a free port, written to --port-file once listening),
optionally with TLS, and appends one JSON line per request to --log: method,
path with query, headers, decoded Basic credentials and every multipart part
(disposition parameters, content type and exact contents). --mode chooses the
answer: "ok" (200), "error" (500), "close" (closes without answering) or
"hang" (never answers).
"""
import argparse
import base64
import ctypes
import email.parser
import email.policy
import http.server
import json
import os
import signal
import ssl
import threading
import time

LOCK = threading.Lock()


def parse_multipart(content_type, body):
    """Splits a multipart body at its boundary delimiters, byte for byte."""
    header = email.parser.HeaderParser(policy=email.policy.HTTP).parsestr(
        "Content-Type: %s\r\n\r\n" % content_type)
    boundary = header.get_param("boundary")
    if not boundary:
        return None
    parts = []
    chunks = (b"\r\n" + body).split(b"\r\n--" + boundary.encode("latin-1"))
    for chunk in chunks[1:]:
        if chunk.startswith(b"--"):
            break
        head, _, data = chunk.partition(b"\r\n\r\n")
        msg = email.parser.BytesHeaderParser(policy=email.policy.HTTP).parsebytes(
            head.lstrip(b"\r\n") + b"\r\n\r\n")
        parts.append({
            "disposition": msg.get_content_disposition(),
            "name": msg.get_param("name", header="content-disposition"),
            "filename": msg.get_param("filename", header="content-disposition"),
            "content_type": msg.get("Content-Type"),
            "data": data.decode("latin-1"),
        })
    return parts


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        if self.server.tls is not None:
            self.request = self.server.tls.wrap_socket(self.request, server_side=True)
        super().setup()

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0], 16)
                chunk = self.rfile.read(size + 2)
                if size == 0:
                    return body
                body += chunk[:-2]
        return self.rfile.read(int(self.headers.get("Content-Length", "0")))

    def do_POST(self):
        body = self.read_body()
        auth = self.headers.get("Authorization")
        if auth and auth.startswith("Basic "):
            auth = base64.b64decode(auth[6:]).decode("latin-1")
        record = {
            "method": self.command,
            "path": self.path,
            "headers": [[k, v] for k, v in self.headers.items()],
            "authorization": auth,
            "parts": parse_multipart(self.headers.get("Content-Type", ""), body),
        }
        if self.server.log:
            with LOCK, open(self.server.log, "a", encoding="utf-8") as log:
                log.write(json.dumps(record) + "\n")
        mode = self.server.mode
        if mode == "close":
            self.close_connection = True
            return
        if mode == "hang":
            time.sleep(3600)
        self.send_response(500 if mode == "error" else 200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # failed TLS handshakes are part of the tests


def main():
    # End with the test process, even when it dies without stopping us.
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log")
    parser.add_argument("--mode", default="ok", choices=["ok", "error", "close", "hang"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    server.mode, server.log, server.tls = args.mode, args.log, None
    if args.cert:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(args.cert, args.key)
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(args.port_file + ".tmp", args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
