#!/usr/bin/python3
"""Splits a mailto URL with Python's urllib and prints recipients and the decoded
header fields as hex, one per line."""
import sys
from urllib.parse import urlsplit, parse_qsl

url = open(sys.argv[1], "rb").read().decode("latin-1")
parts = urlsplit(url)
print(f"scheme {parts.scheme}")
print(f"to {parts.path}")
for name, value in parse_qsl(parts.query, keep_blank_values=True, strict_parsing=True,
                             encoding="latin-1"):
    print(f"{name} {value.encode('latin-1').hex()}")
