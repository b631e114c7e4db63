#!/usr/bin/python3
"""A loopback SMTP server (aiosmtpd) for the session tests.

  smtpserver.py DIR [USER PASSWORD]

Listens on 127.0.0.1 on a free port, writes the port to DIR/port, and stores each
message as DIR/N.eml (the data as received, after the server removed the dot-stuffing)
with its envelope in DIR/N.env. With USER and PASSWORD it wants AUTH LOGIN first.
Ends on SIGTERM."""
import logging
import os
import signal
import socket
import sys
import warnings
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

# AUTH without TLS is the point of the relay test, not a mistake to warn about.
warnings.simplefilter("ignore")
logging.disable(logging.CRITICAL)

folder = sys.argv[1]
credentials = (sys.argv[2].encode(), sys.argv[3].encode()) if len(sys.argv) > 3 else None
count = 0

class Store:
    async def handle_DATA(self, server, session, envelope):
        global count
        count += 1
        with open(os.path.join(folder, f"{count}.eml"), "wb") as f:
            f.write(envelope.original_content)
        with open(os.path.join(folder, f"{count}.env"), "w") as f:
            f.write(f"from {envelope.mail_from}\n")
            for rcpt in envelope.rcpt_tos:
                f.write(f"rcpt {rcpt}\n")
        return "250 stored"

def authenticator(server, session, envelope, mechanism, auth_data):
    ok = (mechanism == "LOGIN" and isinstance(auth_data, LoginPassword)
          and (auth_data.login, auth_data.password) == credentials)
    return AuthResult(success=ok, handled=False)

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

for attempt in range(5):
    port = free_port()
    kwargs = dict(hostname="127.0.0.1", port=port)
    if credentials:
        kwargs.update(authenticator=authenticator, auth_required=True, auth_require_tls=False)
    controller = Controller(Store(), **kwargs)
    try:
        controller.start()
        break
    except OSError:
        continue
with open(os.path.join(folder, "port.tmp"), "w") as f:
    f.write(str(port))
os.rename(os.path.join(folder, "port.tmp"), os.path.join(folder, "port"))
signal.sigwait({signal.SIGTERM, signal.SIGINT})
controller.stop()
