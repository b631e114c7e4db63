#!/usr/bin/python3
"""DNS packets made by dnslib, printed as hex, for the C++ tests.

  dnsoracle.py query NAME TYPE            the question with id 1 and recursion desired
  dnsoracle.py mx NAME HOST:PREF ...      an answer to that question with MX records
  dnsoracle.py ns NAME NS... -- AUTH...   an NS answer with answer and authority records
"""
import sys
from dnslib import DNSRecord, DNSHeader, DNSQuestion, RR, MX, NS, CNAME, QTYPE

def question(name, qtype):
    return DNSRecord(DNSHeader(id=1, rd=1), q=DNSQuestion(name, getattr(QTYPE, qtype)))

mode = sys.argv[1]
if mode == "query":
    print(question(sys.argv[2], sys.argv[3]).pack().hex())
elif mode == "mx":
    name = sys.argv[2]
    reply = question(name, "MX").reply()
    # A CNAME among the answers must be passed over by a reader asking for MX.
    reply.add_answer(RR(name, QTYPE.CNAME, rdata=CNAME("alias." + name), ttl=60))
    for item in sys.argv[3:]:
        host, pref = item.rsplit(":", 1)
        reply.add_answer(RR(name, QTYPE.MX, rdata=MX(host, int(pref)), ttl=300))
    print(reply.pack().hex())
elif mode == "ns":
    name = sys.argv[2]
    split = sys.argv.index("--")
    reply = question(name, "NS").reply()
    for host in sys.argv[3:split]:
        reply.add_answer(RR(name, QTYPE.NS, rdata=NS(host), ttl=300))
    for host in sys.argv[split + 1:]:
        reply.add_auth(RR(name, QTYPE.NS, rdata=NS(host), ttl=300))
    print(reply.pack().hex())
