#!/usr/bin/env python3
"""Writes a certificate object holding the given bytes (not checked) with CKA_ID and
CKA_LABEL to the first token of a module, through the module's own functions: what
an application that checks nothing stores, for the listings' handling of objects that
are no certificate. Usage: raw_certificate.py MODULE PIN VALUE_HEX ID_HEX LABEL"""
import ctypes
import sys

module, pin, value, key_id, label = sys.argv[1:6]
lib = ctypes.CDLL(module)
ULONG = ctypes.c_ulong


class Attribute(ctypes.Structure):
    _fields_ = [("type", ULONG), ("value", ctypes.c_void_p), ("length", ULONG)]


def check(rv, call):
    if rv != 0:
        sys.exit("%s: 0x%x" % (call, rv))


check(lib.C_Initialize(None), "C_Initialize")
count = ULONG(16)
slots = (ULONG * 16)()
check(lib.C_GetSlotList(ctypes.c_ubyte(1), slots, ctypes.byref(count)), "C_GetSlotList")
session = ULONG()
check(lib.C_OpenSession(slots[0], ULONG(6), None, None, ctypes.byref(session)), "C_OpenSession")
check(lib.C_Login(session, ULONG(1), pin.encode(), ULONG(len(pin))), "C_Login")
buffers = []


def attribute(kind, data):
    buffer = ctypes.create_string_buffer(data, len(data))
    buffers.append(buffer)
    return Attribute(kind, ctypes.cast(buffer, ctypes.c_void_p), len(data))


ulong = lambda v: v.to_bytes(ctypes.sizeof(ULONG), sys.byteorder)
template = [attribute(0x0, ulong(1)), attribute(0x80, ulong(0)), attribute(0x1, b"\x01"),
            attribute(0x11, bytes.fromhex(value)), attribute(0x101, b"\x30\x00"),
            attribute(0x102, bytes.fromhex(key_id)), attribute(0x3, label.encode())]
array = (Attribute * len(template))(*template)
handle = ULONG()
check(lib.C_CreateObject(session, array, ULONG(len(template)), ctypes.byref(handle)), "C_CreateObject")
lib.C_Logout(session)
lib.C_CloseSession(session)
lib.C_Finalize(None)
