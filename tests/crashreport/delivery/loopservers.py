#!/usr/bin/python3
"""DNS (dnslib), SMTP (aiosmtpd) and HTTP (http.server) on 127.0.0.1, for the network
run tests. Usage: loopservers.py DIR DOMAIN MAILHOST

The DNS server answers MX questions for DOMAIN with MAILHOST (preference 10) and
anything else with an empty answer. SMTP stores each message as DIR/N.eml with its
envelope in DIR/N.env; HTTP stores each POST body as DIR/N.post (headers in N.head) and
answers 200. The ports go to DIR/ports as "dns smtp http". Ends on SIGTERM."""
import logging
import os
import signal
import socket
import sys
import threading
import warnings
from http.server import BaseHTTPRequestHandler, HTTPServer

from aiosmtpd.controller import Controller
from dnslib import MX, QTYPE, RR
from dnslib.server import BaseResolver, DNSLogger, DNSServer

warnings.simplefilter("ignore")
logging.disable(logging.CRITICAL)
folder, domain, mailhost = sys.argv[1:4]
counter = {"mail": 0, "post": 0}


class Resolver(BaseResolver):
    def resolve(self, request, handler):
        reply = request.reply()
        q = request.q
        if str(q.qname).rstrip(".").lower() == domain and q.qtype == QTYPE.MX:
            reply.add_answer(RR(q.qname, QTYPE.MX, rdata=MX(mailhost, 10), ttl=60))
        return reply


class Store:
    async def handle_DATA(self, server, session, envelope):
        counter["mail"] += 1
        n = counter["mail"]
        with open(os.path.join(folder, f"{n}.eml"), "wb") as f:
            f.write(envelope.original_content)
        with open(os.path.join(folder, f"{n}.env"), "w") as f:
            f.write(f"from {envelope.mail_from}\n" + "".join(f"rcpt {r}\n" for r in envelope.rcpt_tos))
        return "250 stored"


class Upload(BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        counter["post"] += 1
        n = counter["post"]
        with open(os.path.join(folder, f"{n}.head"), "w") as f:
            f.write(f"{self.command} {self.path}\n{self.headers}")
        with open(os.path.join(folder, f"{n}.post"), "wb") as f:
            f.write(body)
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


dns = DNSServer(Resolver(), address="127.0.0.1", port=0,
                logger=DNSLogger(log="-request,-reply,-truncated,-error,-recv,-send,-data",
                                 prefix=False))
dns.start_thread()
for attempt in range(5):
    smtp = Controller(Store(), hostname="127.0.0.1", port=free_port())
    try:
        smtp.start()
        break
    except OSError:
        continue
http = HTTPServer(("127.0.0.1", 0), Upload)
threading.Thread(target=http.serve_forever, daemon=True).start()
with open(os.path.join(folder, "ports.tmp"), "w") as f:
    f.write(f"{dns.server.server_address[1]} {smtp.port} {http.server_address[1]}")
os.rename(os.path.join(folder, "ports.tmp"), os.path.join(folder, "ports"))
signal.sigwait({signal.SIGTERM, signal.SIGINT})
http.shutdown()
smtp.stop()
dns.stop()
