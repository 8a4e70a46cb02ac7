#!/usr/bin/python3
"""Recording stand-in for the cloud analytics service (standard library only).

Listens on 127.0.0.1 (a free port, written to --port-file once listening),
optionally with TLS, and appends one line per request to --log: method, path
with query, decoded Basic credentials, the headers and every multipart part
(disposition, name, file name, content type and exact contents). Every text
is written as "x" and its latin-1 bytes in hex, a missing one as "-"; the
header and part lists are preceded by their counts; the client's port, which
names the connection, ends the line. Connections are kept (HTTP/1.1).
--mode chooses the answer: "ok" (200), "error" (500), "close" (closes without
answering), "drop" (200, then closes the connection without announcing it),
"redirect" (302 to /elsewhere on the same server) or "hang" (never answers).
"""
import argparse
import base64
import ctypes
import email.parser
import email.policy
import http.server
import os
import signal
import ssl
import threading
import time

LOCK = threading.Lock()
POLICY = email.policy.HTTP


def enc(text):
    return "-" if text is None else "x" + text.encode("latin-1").hex()


def parse_multipart(content_type, body):
    """Splits a multipart body at its boundary delimiters, byte for byte."""
    header = email.parser.HeaderParser(policy=POLICY).parsestr("Content-Type: %s\r\n\r\n" % content_type)
    boundary = header.get_param("boundary")
    if not boundary:
        return []
    parts = []
    for chunk in (b"\r\n" + body).split(b"\r\n--" + boundary.encode("latin-1"))[1:]:
        if chunk.startswith(b"--"):
            break
        head, _, data = chunk.partition(b"\r\n\r\n")
        msg = email.parser.BytesHeaderParser(policy=POLICY).parsebytes(head.lstrip(b"\r\n") + b"\r\n\r\n")
        parts += [msg.get_content_disposition(), msg.get_param("name", header="content-disposition"),
                  msg.get_param("filename", header="content-disposition"), msg.get("Content-Type"),
                  data.decode("latin-1")]
    return parts


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        auth = self.headers.get("Authorization")
        if auth and auth.startswith("Basic "):
            auth = base64.b64decode(auth[6:]).decode("latin-1")
        parts = parse_multipart(self.headers.get("Content-Type", ""), body)
        fields = [self.command, self.path, auth, len(self.headers)]
        for key, value in self.headers.items():
            fields += [key, value]
        fields += [len(parts) // 5] + parts + [self.client_address[1]]
        if self.server.log:
            with LOCK, open(self.server.log, "a", encoding="ascii") as log:
                log.write(" ".join(str(f) if isinstance(f, int) else enc(f) for f in fields) + "\n")
        if self.server.mode == "close":
            self.close_connection = True
            return
        if self.server.mode == "hang":
            time.sleep(3600)
        if self.server.mode == "redirect" and not self.path.startswith("/elsewhere"):
            self.send_response(302)
            self.send_header("Location", "/elsewhere")
        else:
            self.send_response(500 if self.server.mode == "error" else 200)
        self.send_header("Content-Length", "0")
        self.end_headers()
        if self.server.mode == "drop":
            self.close_connection = True

    do_GET = do_POST  # what a client that followed a redirect would send

    def log_message(self, *args):
        pass


def main():
    # End with the test process, even when it dies without stopping us.
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log")
    parser.add_argument("--mode", default="ok", choices=["ok", "error", "close", "drop", "redirect", "hang"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.mode, server.log = args.mode, args.log
    if args.cert:
        # The handshake runs when a connection is accepted; a failed one
        # (a client that rejects the certificate) only drops that connection.
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.cert, args.key)
        server.socket = tls.wrap_socket(server.socket, server_side=True)
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(args.port_file + ".tmp", args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
