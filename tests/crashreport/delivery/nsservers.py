#!/usr/bin/python3
"""The peers of the end-to-end send test, run inside the test's network namespace.
Usage: nsservers.py DIR DOMAIN

127.0.0.1:53 UDP   DNS (dnslib): MX for DOMAIN and second.DOMAIN names mail. + that
                   name, whose A record is 127.0.0.1; everything else an empty answer.
127.0.0.1:25       SMTP (aiosmtpd), no authentication: stores N.eml / N.env in DIR.
127.0.0.1:2525     SMTP relay that requires AUTH LOGIN (user "relay", password "s3cret").
127.0.0.1:8080     HTTP: stores each POST as N.post with its head in N.head; answers 200.
127.0.0.1:2600     closes every connection at once.
127.0.0.1:2601     greets with "554 no service here".
127.0.0.1:2602     accepts and never says anything.
127.0.0.1:2603     a full accept queue: connections to it never complete.
127.0.0.1:8081     HTTP that answers 500.
127.0.0.1:8082     HTTP that answers 302 with Location: http://127.0.0.1:8080/thanks.
Every question goes to DIR/dns.log. Writes DIR/ready when everything listens; ends on SIGTERM."""
import logging
import os
import signal
import socket
import sys
import threading
import warnings
from http.server import BaseHTTPRequestHandler, HTTPServer

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult
from dnslib import A, MX, QTYPE, RR
from dnslib.server import BaseResolver, DNSLogger, DNSServer

warnings.simplefilter("ignore")
logging.disable(logging.CRITICAL)
folder, domain = sys.argv[1:3]
mailhost = "mail." + domain
lock = threading.Lock()
counter = [0]


def next_name():
    with lock:
        counter[0] += 1
        return os.path.join(folder, str(counter[0]))


class Resolver(BaseResolver):
    def resolve(self, request, handler):
        reply = request.reply()
        q = request.q
        name = str(q.qname).rstrip(".").lower()
        with lock, open(os.path.join(folder, "dns.log"), "a") as f:
            f.write(f"{QTYPE[q.qtype]} {name}\n")
        if name in (domain, "second." + domain) and q.qtype == QTYPE.MX:
            reply.add_answer(RR(q.qname, QTYPE.MX, rdata=MX("mail." + name, 10), ttl=60))
        elif name in (mailhost, "mail.second." + domain) and q.qtype == QTYPE.A:
            reply.add_answer(RR(q.qname, QTYPE.A, rdata=A("127.0.0.1"), ttl=60))
        return reply


class Store:
    async def handle_DATA(self, server, session, envelope):
        base = next_name()
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".env", "w") as f:
            f.write(f"port {server.event_handler_port}\nfrom {envelope.mail_from}\n" +
                    "".join(f"rcpt {r}\n" for r in envelope.rcpt_tos))
        return "250 stored"


class StoreAt(Store):
    def __init__(self, port):
        self.port = port

    async def handle_DATA(self, server, session, envelope):
        server.event_handler_port = self.port
        return await Store.handle_DATA(self, server, session, envelope)


def relay_login(server, session, envelope, mechanism, auth_data):
    ok = (mechanism == "LOGIN" and auth_data.login == b"relay"
          and auth_data.password == b"s3cret")
    with open(os.path.join(folder, "auth.log"), "a") as f:
        f.write(f"{mechanism} {auth_data.login!r} {'ok' if ok else 'refused'}\n")
    return AuthResult(success=ok, handled=False)


class Upload(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        if self.server.server_address[1] == 8081:
            self.send_response(500)
        elif self.server.server_address[1] == 8082:
            self.send_response(302)
            self.send_header("Location", "http://127.0.0.1:8080/thanks")
        else:
            base = next_name()
            with open(base + ".head", "w") as f:
                f.write(f"{self.command} {self.path}\n{self.headers}")
            with open(base + ".post", "wb") as f:
                f.write(body)
            self.send_response(200)
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.end_headers()

    def log_message(self, *args):
        pass


def misbehave(port, greeting):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(8)
    held = []

    def run():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            if greeting is None:
                held.append(conn)  # silent: keep it open, say nothing
            else:
                if greeting:
                    conn.sendall(greeting)
                conn.close()

    threading.Thread(target=run, daemon=True).start()
    return listener


dns = DNSServer(Resolver(), address="127.0.0.1", port=53,
                logger=DNSLogger(log="-request,-reply,-truncated,-error,-recv,-send,-data",
                                 prefix=False))
dns.start_thread()
direct = Controller(StoreAt(25), hostname="127.0.0.1", port=25)
direct.start()
relay = Controller(StoreAt(2525), hostname="127.0.0.1", port=2525, auth_required=True,
                   auth_require_tls=False, authenticator=relay_login)
relay.start()
http_ok = HTTPServer(("127.0.0.1", 8080), Upload)
http_bad = HTTPServer(("127.0.0.1", 8081), Upload)
http_moved = HTTPServer(("127.0.0.1", 8082), Upload)
for h in (http_ok, http_bad, http_moved):
    threading.Thread(target=h.serve_forever, daemon=True).start()
odd = [misbehave(2600, b""), misbehave(2601, b"554 no service here\r\n"), misbehave(2602, None)]
# Never accepted and filled up: the kernel drops further SYNs, so a connect hangs.
full = socket.socket()
full.bind(("127.0.0.1", 2603))
full.listen(0)
fillers = []
for _ in range(4):
    c = socket.socket()
    c.setblocking(False)
    c.connect_ex(("127.0.0.1", 2603))
    fillers.append(c)
open(os.path.join(folder, "ready"), "w").close()
signal.sigwait({signal.SIGTERM, signal.SIGINT})
for h in (http_ok, http_bad, http_moved):
    h.shutdown()
    h.server_close()
for s in odd + fillers + [full]:
    s.close()
relay.stop()
direct.stop()
dns.stop()
