#!/usr/bin/env python3
"""Writes the starting corpus of the DIFF fuzz target into fuzz/corpus/diff/.

The seeds are the two worked examples of the wire format and small variations
of them: a fresh chunk, two chunks back to back, every kind of block, a few
inputs each loader check rejects, and a recipe that builds a chain at the
nesting bound. Run it again after changing it; the files are committed.
"""
import os
import struct

ALPHABET = (b"\x00 ()[]\\|/?!\x95;:,." + b"0123456789" + b"ABCDEFGHIJKLMNOPQRSTUVWXYZ"
            + b"+\xb1-=" + b"~" * 8)
CODE = {}
for code, byte in enumerate(ALPHABET):
    CODE[byte] = code


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def pack_tag(tag, has_list, has_header):
    word = 0
    for byte in reversed(tag):
        word = (word << 6) | CODE.get(byte, 0)
    return (((word << 1) | has_list) << 1) | has_header


def lp(b):
    return u32(len(b)) + b


def chunk(tag, headers=(), children=(), payload=b""):
    body = b""
    if headers:
        block = u32(len(headers)) + b"".join(lp(n) + lp(v) for n, v in headers)
        body += lp(block)
    if children:
        body += lp(u32(len(children)) + b"".join(children))
    body += payload
    return u32(pack_tag(tag, bool(children), bool(headers))) + lp(body)


def main():
    wfreq = chunk(b"WFREQ", [(b"Hz", u32(1000))])
    nested = chunk(b"AAAAA", children=[chunk(b"BBBBB", payload=b"\x01\x02")])
    assert len(wfreq) == 30 and len(nested) == 26
    seeds = {
        "wfreq": wfreq,
        "nested": nested,
        "fresh": b"\x00" * 8,
        "two-chunks": wfreq + nested,
        "everything": chunk(b"RDATA", [(b"Time", u32(12345)), (b"", b"")],
                            [chunk(b"RREQ?", [(b"Status", u32(3))], payload=b"inner"), nested],
                            b"payload bytes"),
        "empty-blocks": u32(pack_tag(b"WFREQ", 1, 1)) + lp(lp(u32(0)) + lp(u32(0)) + b"pay"),
        "payload-too-long": bytes.fromhex("C1DFEAA9 10000000 01020304"),
        "header-missing": bytes.fromhex("C1DFEAA9 07000000") + b"1234567",
        "frame-too-short": bytes.fromhex("C1DFEAA910"),
        # Recipe: 0xE8 asks for a chain of chunks ending at the nesting bound.
        "chain-recipe": bytes([0xE8]) + b"\x01" * 40,
    }
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "diff")
    os.makedirs(out, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, name + ".bin"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
