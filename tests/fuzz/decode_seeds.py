#!/usr/bin/env python3
"""Writes a seed corpus for decode_fuzz into the directory given: one valid status
message of every value kind, plus a few near misses."""
import os
import struct
import sys

SIZE = 944


def header(op, item, kind, mtype=1, product=b"SNTR", subsys=b"STAT"):
    return struct.pack("=i4s4siii", mtype, product, subsys, ord(op), item, ord(kind))


def slot(text, cut=0, length=None):
    n = len(text) if length is None else length
    return struct.pack("=I", n) + text.ljust(450, b"\0")[:450] + b"\0\0" + struct.pack("=i", cut)


def field_text(text, trunc=0):
    return text.ljust(900, b"\0") + struct.pack("=iii", len(text), 899 - len(text), trunc)


def record(head, value=b""):
    return (head + value).ljust(SIZE, b"\0")[:SIZE]


SEEDS = {
    "int_item1": record(header("S", 1, "I"), struct.pack("=i", 7)),
    "int_item12_inc": record(header("I", 12, "I"), struct.pack("=i", -1)),
    "int64_item9": record(header("I", 9, "Z"), struct.pack("=q", 1 << 40)),
    "string_item4": record(header("S", 4, "S"), slot(b"/etc/scanner.conf")),
    "string_item6_cut": record(header("S", 6, "S"), slot(b"/home/u/\xe4\\x", cut=1)),
    "two_item5": record(header("S", 5, "2"), slot(b"/tmp/eicar.com") + slot(b"Eicar-Test")),
    "text_item5": record(header("S", 5, "s"),
                         field_text(b"\nSO=/home/user/report.doc\nBR=3\nAN=Test.Signature"
                                    b"\nAT=x\\x5Cy\nAC=deny\nUM=d1\nUR=http://h/")),
    "text_item1_hex": record(header("S", 1, "s"), field_text(b"\nI0=0x10")),
    "text_many": record(header("S", 7, "s"),
                        field_text(b"".join(b"\nF%d=%d" % (i % 10, i) for i in range(99)))),
    "wrong_type": record(header("S", 1, "I", mtype=2)),
    "bad_slot": record(header("S", 6, "S"), slot(b"abc", length=450)),
}


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
