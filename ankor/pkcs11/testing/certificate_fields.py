#!/usr/bin/env python3
"""Prints the hexadecimal DER of a certificate's subject, issuer and serial number
(the whole INTEGER element), space-separated: what a token's certificate object
carries as CKA_SUBJECT, CKA_ISSUER and CKA_SERIAL_NUMBER. The certificate: a DER or
PEM file."""
import base64
import sys


def element(der, at):
    """Where the value of the DER element at `at` starts, and where it ends."""
    length, start = der[at + 1], at + 2
    if length & 0x80:
        digits = length & 0x7F
        length, start = int.from_bytes(der[start:start + digits], "big"), start + digits
    return start, start + length


data = open(sys.argv[1], "rb").read()
if data.startswith(b"-----"):
    data = base64.b64decode(b"".join(l for l in data.splitlines() if not l.startswith(b"-----")))
tbs, _ = element(data, 0)
at, end = element(data, tbs)
fields = []
while at < end:
    _, after = element(data, at)
    fields.append(data[at:after])
    at = after
if fields[0][0] == 0xA0:  # the version
    fields = fields[1:]
serial, _, issuer, _, subject = fields[:5]
print(subject.hex(), issuer.hex(), serial.hex())
