#!/usr/bin/python3
"""Reads an HTTP multipart/form-data request with Python's email parser (given the
request's own Content-Type) and prints the request line, the length check and every
part, one fact per line."""
import sys
from email.parser import BytesParser
from email import policy

data = open(sys.argv[1], "rb").read()
head, sep, body = data.partition(b"\r\n\r\n")
lines = head.decode("latin-1").split("\r\n")
print(f"request {lines[0]}")
headers = {}
for line in lines[1:]:
    name, _, value = line.partition(":")
    headers[name.strip().lower()] = value.strip()
    print(f"header {name.strip()}: {value.strip()}")
print(f"length announced={headers.get('content-length')} actual={len(body)}")
msg = BytesParser(policy=policy.HTTP).parsebytes(
    b"Content-Type: " + headers["content-type"].encode() + b"\r\n\r\n" + body)
print(f"defects {len(msg.defects)}")
for part in msg.iter_parts():
    payload = part.get_payload(decode=True)
    params = dict(part.get_params(header="content-disposition")[1:])
    print(f"part name={params.get('name')} filename={params.get('filename')} "
          f"type={part.get_content_type() if part['Content-Type'] else None} "
          f"defects={len(part.defects)} hex={payload.hex()}")
