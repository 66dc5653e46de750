#!/usr/bin/python3
"""An independent reader and writer of .kxz compressed images for the tests.

  kxz_oracle.py read IMAGE OUT   unpacks every block into OUT and prints the
                                 image's structure as JSON on stdout
  kxz_oracle.py write RAW IMAGE BLOCK_LEN PACK ENDIAN OFF_BLKSIZE TRAILER
                                 writes RAW as an image (PACK 0 none, 1 lz4;
                                 ENDIAN 0 "KXZ0", 1 "KXZ1"; TRAILER 0 or 1)

Exit status 0 when the image is well formed, 1 (with a message on stderr)
when it is not, 77 when the lz4 module is missing.
"""
import hashlib
import json
import os
import struct
import sys

try:
    import lz4.block
except ImportError:
    sys.exit(77)

HEADER = 64
FLAG = 0x80000000


def fail(msg):
    sys.stderr.write("oracle: " + msg + "\n")
    sys.exit(1)


def step_of(off_blksize, block_len):
    o = off_blksize or 0x8000000
    return o - o % block_len


def read_image(path, out_path):
    data = open(path, "rb").read()
    if len(data) < HEADER:
        fail("short header")
    magic = data[:4]
    if magic == b"KXZ0":
        e = "<"
    elif magic == b"KXZ1":
        e = ">"
    else:
        fail("magic %r" % magic)
    (major, minor, pack, block_len, sector_size, _r0, file_len, off_blksize, _r1, off_cache) = struct.unpack(
        e + "HHIIIIqIIq", data[4:48])
    if not 1 <= block_len <= 0x40000000:
        fail("block_len %d" % block_len)
    end = len(data)
    trailer = []
    if off_cache:
        if not (off_cache + 8 < len(data) and (len(data) - off_cache) % 8 == 0):
            fail("trailer position %d" % off_cache)
        w0, = struct.unpack(e + "I", data[off_cache:off_cache + 4])
        w1, = struct.unpack(e + "I", data[-4:])
        tlen = w0 & ~FLAG
        if w0 != w1 or not w0 & FLAG or tlen != len(data) - off_cache - 8 or not 8 <= tlen <= 0x6400000:
            fail("trailer words %x %x" % (w0, w1))
        trailer = list(struct.unpack(e + "%dQ" % (tlen // 8), data[off_cache + 4:off_cache + 4 + tlen]))
        end = off_cache
    records = []
    out = bytearray()
    pos = HEADER
    boff = 0
    bad = []
    while pos < end:
        zlen, = struct.unpack(e + "I", data[pos:pos + 4])
        if zlen & FLAG:
            fail("length word with bit 31 at %d" % pos)
        if zlen > 2 * block_len:
            fail("zlen %d at %d" % (zlen, pos))
        size = (zlen + 3) // 4 * 4 + 8
        if pos + size > end:
            fail("torn record at %d" % pos)
        pad = data[pos + 4 + zlen:pos + size - 4]
        if pad != b"\0" * len(pad):
            fail("padding at %d" % pos)
        again, = struct.unpack(e + "I", data[pos + size - 4:pos + size])
        if again != zlen:
            fail("trailing length at %d" % pos)
        n = min(block_len, file_len - boff)
        if n <= 0:
            fail("record beyond file_len at %d" % pos)
        if zlen == 0:
            bad.append(boff)
            block = b"\0" * n
        elif pack == 0:
            block = data[pos + 4:pos + 4 + zlen]
        else:
            block = lz4.block.decompress(data[pos + 4:pos + 4 + zlen], uncompressed_size=n)
        if len(block) != n:
            fail("block at %d unpacks to %d, not %d" % (boff, len(block), n))
        records.append([pos, zlen])
        out += block
        pos += size
        boff += n
    if boff != file_len:
        fail("records hold %d bytes, file_len is %d" % (boff, file_len))
    step = step_of(off_blksize, block_len)
    expect = [records[i][0] for i in range(len(records)) if i and step and (i * block_len) % step == 0]
    if trailer and trailer != expect:
        fail("trailer %s, records at the steps %s" % (trailer, expect))
    open(out_path, "wb").write(out)
    json.dump({"magic": magic.decode(), "pack_type": pack, "block_len": block_len, "sector_size": sector_size,
               "file_len": file_len, "off_blksize": off_blksize, "off_cache": off_cache, "trailer": trailer,
               "step_entries": expect, "records": len(records), "bad": bad,
               "md5": hashlib.md5(out).hexdigest()}, sys.stdout)


def write_image(raw, path, block_len, pack, endian, off_blksize, with_trailer):
    data = open(raw, "rb").read()
    e = ">" if endian else "<"
    header = (b"KXZ1" if endian else b"KXZ0") + struct.pack(
        e + "HHIIIIqIIq", 1, 0, pack, block_len, 512, 0, len(data), off_blksize, 0, 0) + os.urandom(16)
    body = bytearray()
    offsets = []
    for boff in range(0, len(data), block_len):
        block = data[boff:boff + block_len]
        z = block if pack == 0 else lz4.block.compress(block, store_size=False)
        offsets.append(HEADER + len(body))
        body += struct.pack(e + "I", len(z)) + z + b"\0" * ((4 - len(z) % 4) % 4) + struct.pack(e + "I", len(z))
    step = step_of(off_blksize, block_len)
    entries = [offsets[i] for i in range(1, len(offsets)) if step and (i * block_len) % step == 0]
    off_cache = 0
    if with_trailer and entries:
        off_cache = HEADER + len(body)
        t = struct.pack(e + "I", FLAG | 8 * len(entries))
        body += t + struct.pack(e + "%dQ" % len(entries), *entries) + t
        header = header[:40] + struct.pack(e + "q", off_cache) + header[48:]
    open(path, "wb").write(header + body)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "read":
        read_image(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 9 and sys.argv[1] == "write":
        write_image(sys.argv[2], sys.argv[3], *[int(a) for a in sys.argv[4:9]])
    else:
        fail("usage: read IMAGE OUT | write RAW IMAGE BLOCK_LEN PACK ENDIAN OFF_BLKSIZE TRAILER")


main()
