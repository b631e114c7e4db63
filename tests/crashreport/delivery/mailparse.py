#!/usr/bin/python3
"""Reads a mail message with Python's email package and prints what it found, one fact
per line, so the C++ tests can compare it with what they put in."""
import sys
from email import message_from_bytes, policy

data = open(sys.argv[1], "rb").read()
msg = message_from_bytes(data, policy=policy.default)
print(f"defects {len(msg.defects)}")
for name in ("To", "From", "Subject", "Date", "Message-ID", "MIME-Version"):
    if msg[name] is not None:
        print(f"header {name}: {msg[name]}")
if msg.is_multipart():
    print(f"boundary {msg.get_boundary()}")
    for part in msg.iter_parts():
        payload = part.get_payload(decode=True)
        print(f"part {part.get_content_type()} charset={part.get_content_charset()} "
              f"cte={part['Content-Transfer-Encoding']} filename={part.get_filename()} "
              f"disposition={part.get_content_disposition()} defects={len(part.defects)} "
              f"hex={payload.hex()}")
else:
    print(f"body hex={msg.get_payload(decode=True).hex()}")
