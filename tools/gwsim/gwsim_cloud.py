#!/usr/bin/python3
"""Local cloud endpoint of the gateway simulator.

serve: answers HTTP and HTTPS POSTs of multipart forms on 127.0.0.1 and
stores every request as a report directory:
    <dir>/reports/<seq>/meta.txt       "key: value" lines (scheme, path, query, user, ...)
    <dir>/reports/<seq>/part-<n>.name  the form part's name
    <dir>/reports/<seq>/part-<n>.body  the part's contents
For HTTPS it makes a CA and a server certificate for 127.0.0.1 with the
openssl command and writes the CA to $ZELMO_ROOT/usr/configs/kro_cacert.pem
(or --ca-out).

list: prints the stored reports, one line each (--show adds the parts' text,
--rows their rows without the header line).
Standard library only.
"""
import argparse
import base64
import email.parser
import email.policy
import http.server
import os
import signal
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

MAX_BODY = 16 * 1024 * 1024


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def make_certificates(tls_dir):
    """CA and server certificate (127.0.0.1, localhost) made with openssl."""
    os.makedirs(tls_dir, exist_ok=True)
    ca_key, ca_pem = os.path.join(tls_dir, "ca.key"), os.path.join(tls_dir, "ca.pem")
    key, csr, pem = (os.path.join(tls_dir, n) for n in ("server.key", "server.csr", "server.pem"))
    ext = os.path.join(tls_dir, "server.ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                "subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run = lambda args: subprocess.run(["openssl"] + args, check=True,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    run(["req", "-x509"] + ec + ["-keyout", ca_key, "-out", ca_pem, "-days", "30",
                                 "-subj", "/CN=gwsim cloud CA",
                                 "-addext", "basicConstraints=critical,CA:TRUE",
                                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
    run(["req"] + ec + ["-keyout", key, "-out", csr, "-subj", "/CN=127.0.0.1"])
    run(["x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial",
         "-out", pem, "-days", "30", "-extfile", ext])
    return ca_pem, pem, key


def parse_form(content_type, body):
    """[(name, content type, bytes)] of a multipart/form-data body."""
    head = b"Content-Type: " + content_type.encode("latin-1", "replace") + b"\r\n\r\n"
    msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(head + body)
    parts = []
    if not msg.is_multipart():
        return parts
    for part in msg.iter_parts():
        name = part.get_param("name", header="content-disposition") or ""
        payload = part.get_payload(decode=True)
        if payload is None:
            raw = part.get_payload()
            payload = raw.encode("utf-8", "replace") if isinstance(raw, str) else b""
        parts.append((str(name), part.get_content_type(), payload))
    return parts


class Store:
    def __init__(self, directory):
        self.dir = os.path.join(directory, "reports")
        os.makedirs(self.dir, exist_ok=True)
        self.lock = threading.Lock()
        existing = [int(n) for n in os.listdir(self.dir) if n.isdigit()]
        self.seq = max(existing, default=0)

    def save(self, meta, parts):
        with self.lock:
            self.seq += 1
            seq = self.seq
            tmp = os.path.join(self.dir, ".tmp-%06d" % seq)
            os.makedirs(tmp)
            with open(os.path.join(tmp, "meta.txt"), "w") as f:
                f.write("seq: %d\n" % seq)
                for key, value in meta:
                    f.write("%s: %s\n" % (key, value.replace("\n", " ")))
            for i, (name, ctype, payload) in enumerate(parts, 1):
                with open(os.path.join(tmp, "part-%d.name" % i), "w") as f:
                    f.write(name)
                with open(os.path.join(tmp, "part-%d.type" % i), "w") as f:
                    f.write(ctype)
                with open(os.path.join(tmp, "part-%d.body" % i), "wb") as f:
                    f.write(payload)
            os.rename(tmp, os.path.join(self.dir, "%06d" % seq))
            return seq


def row_count(payload):
    lines = [l for l in payload.decode("utf-8", "replace").split("\n") if l]
    return max(len(lines) - 1, 0)


def make_handler(store, scheme, status):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def answer(self, code, text):
            data = text.encode()
            self.send_response(code)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self):
            self.answer(200, "gwsim cloud\n")

        def do_POST(self):
            try:
                length = int(self.headers.get("Content-Length", "0"))
            except ValueError:
                length = -1
            if length < 0 or length > MAX_BODY:
                self.answer(413, "too large\n")
                return
            body = self.rfile.read(length)
            url = urllib.parse.urlsplit(self.path)
            meta = [("scheme", scheme), ("method", "POST"), ("path", url.path), ("query", url.query)]
            auth = self.headers.get("Authorization", "")
            if auth.lower().startswith("basic "):
                try:
                    user, _, password = base64.b64decode(auth[6:]).decode("utf-8", "replace").partition(":")
                    meta += [("user", user), ("password", password)]
                except ValueError:
                    meta.append(("user", "?"))
            for header in ("timestamp", "Expect", "Content-Type"):
                if header in self.headers:
                    meta.append((header.lower(), self.headers[header]))
            try:
                parts = parse_form(self.headers.get("Content-Type", ""), body)
            except Exception as e:  # a malformed body is stored without parts
                meta.append(("parse-error", str(e)))
                parts = []
            seq = store.save(meta, parts)
            summary = " ".join("%s[%d rows]" % (n, row_count(p)) for n, _, p in parts)
            say("cloud: #%d %s POST %s?%s %s" % (seq, scheme, url.path, url.query, summary))
            self.answer(status, "OK\n")

        def log_message(self, fmt, *args):
            pass

    return Handler


class TLSServer(http.server.ThreadingHTTPServer):
    """HTTPS server: the TLS handshake runs in the request's own thread."""
    daemon_threads = True
    context = None

    def finish_request(self, request, client_address):
        try:
            request = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)


class PlainServer(http.server.ThreadingHTTPServer):
    daemon_threads = True


def serve(args):
    os.makedirs(args.dir, exist_ok=True)
    store = Store(args.dir)
    servers = []
    ports = []
    if args.http is not None:
        s = PlainServer((args.bind, args.http), make_handler(store, "http", args.status))
        servers.append(s)
        ports.append("http=%d" % s.server_address[1])
    if args.https is not None:
        ca_pem, pem, key = make_certificates(os.path.join(args.dir, "tls"))
        ca_out = args.ca_out
        if not ca_out and os.environ.get("ZELMO_ROOT"):
            ca_out = os.path.join(os.environ["ZELMO_ROOT"], "usr/configs/kro_cacert.pem")
        if ca_out:
            os.makedirs(os.path.dirname(ca_out), exist_ok=True)
            with open(ca_pem, "rb") as src, open(ca_out + ".tmp", "wb") as dst:
                dst.write(src.read())
            os.rename(ca_out + ".tmp", ca_out)
            say("cloud: CA written to %s" % ca_out)
        s = TLSServer((args.bind, args.https), make_handler(store, "https", args.status))
        s.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        s.context.load_cert_chain(pem, key)
        servers.append(s)
        ports.append("https=%d" % s.server_address[1])
    if not servers:
        sys.exit("gwsim cloud: give --http PORT and/or --https PORT")
    with open(os.path.join(args.dir, "ports.tmp"), "w") as f:
        f.write("\n".join(ports) + "\n")
    os.rename(os.path.join(args.dir, "ports.tmp"), os.path.join(args.dir, "ports"))
    threads = [threading.Thread(target=s.serve_forever, daemon=True) for s in servers]
    for t in threads:
        t.start()
    say("cloud: listening on %s %s, reports in %s" % (args.bind, " ".join(ports), store.dir))
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    while not stop.wait(0.2):
        pass
    for s in servers:
        s.shutdown()
        s.server_close()
    say("cloud: stopped")


def read_report(path):
    meta = {}
    with open(os.path.join(path, "meta.txt")) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition(": ")
            meta[key] = value
    parts = []
    i = 1
    while os.path.exists(os.path.join(path, "part-%d.name" % i)):
        with open(os.path.join(path, "part-%d.name" % i)) as f:
            name = f.read()
        with open(os.path.join(path, "part-%d.body" % i), "rb") as f:
            body = f.read()
        parts.append((name, body))
        i += 1
    return meta, parts


def list_reports(args):
    base = os.path.join(args.dir, "reports")
    names = sorted(n for n in os.listdir(base) if n.isdigit()) if os.path.isdir(base) else []
    for n in names:
        if int(n) <= args.since:
            continue
        meta, parts = read_report(os.path.join(base, n))
        who = (" user=" + meta["user"]) if "user" in meta else ""
        summary = " ".join("%s[%d rows]" % (name, row_count(body)) for name, body in parts)
        say("#%d %s %s?%s%s %s" % (int(n), meta.get("scheme", "?"), meta.get("path", ""),
                                   meta.get("query", ""), who, summary))
        if args.show or args.rows:
            for name, body in parts:
                lines = [l.rstrip("\r") for l in body.decode("utf-8", "replace").split("\n")]
                lines = [l for l in lines if l]
                if args.rows:
                    lines = lines[1:]
                if len(parts) > 1:
                    say("    [%s]" % name)
                for line in lines:
                    say("    " + line)


def main():
    parser = argparse.ArgumentParser(prog="gwsim cloud")
    sub = parser.add_subparsers(dest="command", required=True)
    s = sub.add_parser("serve")
    s.add_argument("--dir", required=True)
    s.add_argument("--http", type=int)
    s.add_argument("--https", type=int)
    s.add_argument("--bind", default="127.0.0.1")
    s.add_argument("--ca-out", default="")
    s.add_argument("--status", type=int, default=200, help="HTTP status of every answer")
    l = sub.add_parser("list")
    l.add_argument("--dir", required=True)
    l.add_argument("--since", type=int, default=0)
    l.add_argument("--show", action="store_true", help="print each part's text")
    l.add_argument("--rows", action="store_true", help="print each part's rows without the header")
    args = parser.parse_args()
    if args.command == "serve":
        serve(args)
    else:
        list_reports(args)


if __name__ == "__main__":
    main()
