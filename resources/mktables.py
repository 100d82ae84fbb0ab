#!/usr/bin/env python3
"""Writes the character translation tables Mac2ISO and ISO2Mac (256 bytes each) beside this script.

Usage: mktables.py [FOLDER]   (default: the folder of this script)

The two tables are inverse bijections between Mac Roman and ISO-8859-1, built in three steps:
1. Every Mac Roman character that ISO-8859-1 also has maps to it (the mac_roman and latin-1 codecs
   give the correspondence): all of 0x00-0x7F and 80 of the high characters.
2. The 48 Mac Roman characters left and the 48 ISO-8859-1 codes left are paired:
   a. the pairs the HTML entity table implies, so that decoding a numeric reference gives the byte
      the named entity gives (Mac dagger 0xA0 with Y acute 0xDD, double dagger 0xE0 with y acute 0xFD,
      0xDC with ETH 0xD0, 0xDD with eth 0xF0, fi ligature 0xDE with THORN 0xDE, fl ligature 0xDF with
      thorn 0xFE, euro/currency 0xDB with currency 0xA4, en dash 0xD0 with soft hyphen 0xAD);
   b. every Mac character still unpaired that Windows-1252 places in 0x80-0x9F goes to that code,
      so that the numeric references the HTML encoder writes show the right character in browsers
      (bullet, trade mark, ellipsis, curly and low quotes, em dash, OE ligatures, Y diaeresis, florin,
      per mille, circumflex, tilde: 17 characters);
   c. the remaining 23 Mac characters, in ascending order of their Mac byte, take the remaining 23
      ISO-8859-1 codes in ascending order.
The output is the same on every run.
"""
import os
import sys

ENTITY_PAIRS = [(0xA0, 0xDD), (0xE0, 0xFD), (0xDC, 0xD0), (0xDD, 0xF0),
                (0xDE, 0xDE), (0xDF, 0xFE), (0xDB, 0xA4), (0xD0, 0xAD)]


def build():
    mac_to_iso = {}
    for m in range(256):
        ch = bytes([m]).decode("mac_roman")
        if ord(ch) < 256:
            mac_to_iso[m] = ord(ch)
    common = len(mac_to_iso)
    assert common == 256 - 48, common

    def pair(m, i):
        assert m not in mac_to_iso, hex(m)
        assert i not in mac_to_iso.values(), hex(i)
        mac_to_iso[m] = i

    for m, i in ENTITY_PAIRS:
        pair(m, i)

    windows = 0
    for m in range(0x80, 0x100):
        if m in mac_to_iso:
            continue
        try:
            w = bytes([m]).decode("mac_roman").encode("cp1252")
        except UnicodeEncodeError:
            continue
        if 0x80 <= w[0] <= 0x9F and w[0] not in mac_to_iso.values():
            pair(m, w[0])
            windows += 1
    assert windows == 17, windows

    rest_mac = [m for m in range(256) if m not in mac_to_iso]
    taken = set(mac_to_iso.values())
    rest_iso = [i for i in range(256) if i not in taken]
    assert len(rest_mac) == len(rest_iso) == 23
    for m, i in zip(rest_mac, rest_iso):
        pair(m, i)

    mac2iso = bytes(mac_to_iso[m] for m in range(256))
    iso2mac = bytearray(256)
    for m, i in mac_to_iso.items():
        iso2mac[i] = m
    assert sorted(mac2iso) == list(range(256))
    assert all(iso2mac[mac2iso[m]] == m for m in range(256))
    return mac2iso, bytes(iso2mac)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    mac2iso, iso2mac = build()
    with open(os.path.join(folder, "Mac2ISO.bin"), "wb") as f:
        f.write(mac2iso)
    with open(os.path.join(folder, "ISO2Mac.bin"), "wb") as f:
        f.write(iso2mac)


if __name__ == "__main__":
    main()
