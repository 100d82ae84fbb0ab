#!/usr/bin/env python3
"""Writes a resource file in the classic resource-fork layout from a list of resources.

Usage: mkrsrc.py LIST OUTPUT
Each line of LIST (blank lines and lines starting with # are skipped) is
    TYPE NAME FILE
a four-character type, a resource name (no spaces) and a file, relative to LIST's folder,
holding the resource's bytes. IDs are given in order from 128.
"""
import os
import struct
import sys


def build(resources):
    """resources: list of (type bytes, name bytes, data bytes). Returns the file's bytes."""
    data = bytearray()
    offsets = []
    for _, _, payload in resources:
        offsets.append(len(data))
        data += struct.pack(">I", len(payload)) + payload

    names = bytearray()
    name_offsets = []
    for _, name, _ in resources:
        name_offsets.append(len(names))
        names += bytes([len(name)]) + name

    types = []
    for rtype, _, _ in resources:
        if rtype not in types:
            types.append(rtype)

    type_list = bytearray(struct.pack(">H", (len(types) - 1) & 0xFFFF))
    ref_lists = bytearray()
    ref_base = 2 + 8 * len(types)
    next_id = 128
    for rtype in types:
        members = [i for i, r in enumerate(resources) if r[0] == rtype]
        type_list += rtype + struct.pack(">HH", len(members) - 1, ref_base + len(ref_lists))
        for i in members:
            entry = struct.pack(">hH", next_id, name_offsets[i])
            entry += bytes([0]) + offsets[i].to_bytes(3, "big") + b"\0\0\0\0"
            ref_lists += entry
            next_id += 1

    data_offset = 256
    map_offset = data_offset + len(data)
    type_list_offset = 28
    name_list_offset = type_list_offset + len(type_list) + len(ref_lists)
    map_length = name_list_offset + len(names)
    header = struct.pack(">IIII", data_offset, map_offset, len(data), map_length)
    resource_map = header + b"\0" * 4 + b"\0\0" + b"\0\0"
    resource_map += struct.pack(">HH", type_list_offset, name_list_offset)
    resource_map += type_list + ref_lists + names
    return header + b"\0" * (data_offset - len(header)) + bytes(data) + resource_map


def main():
    listing, output = sys.argv[1], sys.argv[2]
    folder = os.path.dirname(os.path.abspath(listing))
    resources = []
    with open(listing, encoding="ascii") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            rtype, name, path = line.split()
            if len(rtype) != 4:
                sys.exit(f"{listing}: type {rtype!r} is not four characters")
            with open(os.path.join(folder, path), "rb") as payload:
                resources.append((rtype.encode("mac_roman"), name.encode("mac_roman"), payload.read()))
    with open(output, "wb") as f:
        f.write(build(resources))


if __name__ == "__main__":
    main()
