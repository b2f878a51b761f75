#!/usr/bin/env python3
"""Writes demo.hex and demo.s19: the same made-up program image for the demo
device (64 KiB flash), once as Intel HEX and once as S-records.

The image has a vector table and code at 0x0000-0x0FFF, a gap, and a data
table at 0x8000-0x83FF. The Intel HEX file reaches the table through an
extended segment address record, so both kinds of address record appear.
Deterministic: running it again gives the same bytes.
"""
import pathlib

HERE = pathlib.Path(__file__).resolve().parent
EOL = "\r\n"


def program_image():
    blocks = []
    # Vector table: 64 little-endian handler addresses, reset first.
    vectors = bytearray()
    for i in range(64):
        target = 0x00C0 if i == 0 else 0x0FF0
        vectors += bytes([target & 0xFF, target >> 8])
    code = bytearray()
    state = 0x2545F491
    for _ in range(0x1000 - 0x80):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        code.append((state >> 16) & 0xFF)
    banner = b"Quillrom demo program 1.0\0"
    code[0x100 - 0x80:0x100 - 0x80 + len(banner)] = banner
    blocks.append((0x0000, bytes(vectors + code)))
    table = bytes((i * 7 + (i >> 3)) & 0xFF for i in range(0x400))
    blocks.append((0x8000, table))
    return blocks


def intel(count_type_offset_data):
    offset, rtype, data = count_type_offset_data
    body = bytes([len(data), offset >> 8, offset & 0xFF, rtype]) + data
    return ":" + (body + bytes([(-sum(body)) & 0xFF])).hex().upper() + EOL


def srec(rtype, address_bytes, address, data):
    body = bytes([address_bytes + len(data) + 1]) + address.to_bytes(address_bytes, "big") + data
    return "S%d" % rtype + (body + bytes([0xFF - (sum(body) & 0xFF)])).hex().upper() + EOL


def main():
    blocks = program_image()
    lines = [intel((0, 0x04, bytes([0x00, 0x00])))]
    for start, data in blocks:
        base = 0
        if start >= 0x8000:
            base = start
            lines.append(intel((0, 0x02, (start >> 4).to_bytes(2, "big"))))
        for i in range(0, len(data), 16):
            lines.append(intel((start - base + i, 0x00, data[i:i + 16])))
    lines.append(intel((0, 0x01, b"")))
    (HERE / "demo.hex").write_bytes("".join(lines).encode("ascii"))

    lines = [srec(0, 2, 0, b"demo")]
    count = 0
    for start, data in blocks:
        for i in range(0, len(data), 16):
            lines.append(srec(1, 2, start + i, data[i:i + 16]))
            count += 1
    lines.append(srec(5, 2, count, b""))
    lines.append(srec(9, 2, 0x0000, b""))
    (HERE / "demo.s19").write_bytes("".join(lines).encode("ascii"))


if __name__ == "__main__":
    main()
