#!/usr/bin/python3
"""Writes small AFF4 v1.0 images for the tests, and the bytes each should read.

    make_aff4.py OUTDIR

For every good image NAME.aff4 (or a striped set NAME/NAME_1.aff4, _2.aff4) it
writes NAME.raw, the disk image's bytes. Hostile images are bad-NAME.aff4.
OUTDIR/manifest.txt lists them, one a line: "good NAME FILE" or "bad NAME FILE".

The images cover each chunk compression (snappy, lz4, deflate as zlib and as
bare streams, stored), several bevies, a final chunk shorter than the chunk
size, maps with gaps and with aff4:Zero, repeated-byte, aff4:UnreadableData
and aff4:UnknownData ranges, a disk image whose data stream is the image
stream itself, zip64 headers, metadata segments deflated in the zip, and an
image striped over two containers. The hostile ones each break one thing a
reader must check (a table at the end).

Nothing here reads AFF4: this is a writer of test data only.
"""

import hashlib
import io
import os
import struct
import sys
import uuid
import zipfile
import zlib

import lz4.block
import snappy

NS = "http://aff4.org/Schema#"
ZERO = NS + "Zero"
UNREADABLE = NS + "UnreadableData"
UNKNOWN = NS + "UnknownData"
METHODS = {
    "snappy": "http://code.google.com/p/snappy/",
    "lz4": "https://code.google.com/p/lz4/",
    "deflate": "https://tools.ietf.org/html/rfc1951",    # zlib streams
    "deflate-raw": "https://tools.ietf.org/html/rfc1951",  # bare deflate streams
    "stored": None,
}


def urn(name):
    """A fixed aff4:// URN per name, so every run writes the same bytes."""
    return "aff4://" + str(uuid.uuid5(uuid.NAMESPACE_URL, "kxdd-test/" + name))


def member_path(uri, rest):
    """The container path of a segment of an object not named by the volume."""
    return uri.replace(":", "%3A").replace("/", "%2F") + "/" + rest


def compress(method, chunk):
    if method == "snappy":
        return snappy.compress(chunk)
    if method == "lz4":
        return lz4.block.compress(chunk, store_size=False)
    if method == "deflate":
        return zlib.compress(chunk)
    if method == "deflate-raw":
        c = zlib.compressobj(9, zlib.DEFLATED, -15)
        return c.compress(chunk) + c.flush()
    return chunk


def source_bytes(n, seed):
    """Data with compressible runs and incompressible stretches."""
    out = bytearray()
    x = seed * 2654435761 & 0xFFFFFFFF
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        kind = (x >> 16) % 3
        if kind == 0:
            out += bytes([x >> 24]) * 700
        elif kind == 1:
            out += b"kxdd test data %08x " % x * 20
        else:
            # long enough for a whole chunk that does not compress
            for i in range(160):
                out += hashlib.sha512(struct.pack("<III", seed, x, i)).digest()
    return bytes(out[:n])


def repeated(pattern, offset, length):
    """Bytes of a repeated-string stream: 1 MiB chunks of the pattern, cut at each chunk end."""
    out = bytearray()
    mib = 1 << 20
    pos = offset
    while len(out) < length:
        in_chunk = pos % mib
        take = min(mib - in_chunk, length - len(out))
        line = pattern * (in_chunk // len(pattern) + take // len(pattern) + 2)
        start = in_chunk % len(pattern)
        out += line[start:start + take]
        pos += take
    return bytes(out)


def symbolic_bytes(target, offset, length):
    if target == ZERO:
        return bytes(length)
    if target == UNREADABLE:
        return repeated(b"UNREADABLEDATA", offset, length)
    if target == UNKNOWN:
        return repeated(b"UNKNOWN", offset, length)
    if target.startswith(NS + "SymbolicStream"):
        return bytes([int(target[-2:], 16)]) * length
    raise ValueError(target)


class Stream:
    """An image stream: its bevies and their indexes, built from data."""

    def __init__(self, name, data, method, chunk_size, per_bevy):
        self.uri = urn(name)
        self.data = data
        self.method = method
        self.chunk_size = chunk_size
        self.per_bevy = per_bevy
        self.bevies = []  # (bevy bytes, index bytes)
        chunks = [data[i:i + chunk_size] for i in range(0, len(data), chunk_size)]
        for b in range(0, len(chunks), per_bevy):
            bevy = bytearray()
            index = bytearray()
            for c in chunks[b:b + per_bevy]:
                c = c.ljust(chunk_size, b"\0")
                z = compress(method, c)
                if method == "stored" or len(z) >= chunk_size - 16:
                    z = c
                index += struct.pack("<QI", len(bevy), len(z))
                bevy += z
            self.bevies.append((bytes(bevy), bytes(index)))

    def members(self):
        out = []
        for i, (bevy, index) in enumerate(self.bevies):
            out.append((member_path(self.uri, "%08d" % i), bevy))
            out.append((member_path(self.uri, "%08d.index" % i), index))
        return out

    def turtle(self, target, size=None, chunk_size=None, method=None):
        m = METHODS[self.method] if method is None else method
        lines = ["<%s>" % self.uri,
                 "        a                      aff4:ImageStream ;",
                 '        aff4:chunkSize         "%d"^^xsd:int ;' % (self.chunk_size if chunk_size is None else chunk_size),
                 '        aff4:chunksInSegment   "%d"^^xsd:int ;' % self.per_bevy]
        if m:
            lines.append("        aff4:compressionMethod <%s> ;" % m)
        lines += ['        aff4:hash              "%s"^^aff4:MD5 , "%s"^^aff4:SHA1 ;'
                  % (hashlib.md5(self.data).hexdigest(), hashlib.sha1(self.data).hexdigest()),
                  '        aff4:size              "%d"^^xsd:long ;' % (len(self.data) if size is None else size),
                  "        aff4:stored            : ;",
                  "        aff4:target            <%s> ." % target]
        return "\n".join(lines) + "\n"


class Map:
    """A map: entries (mapped offset, length, target offset, target URI)."""

    def __init__(self, name, size, entries, gap=None):
        self.uri = urn(name)
        self.size = size
        self.entries = sorted(entries)
        self.gap = gap
        self.targets = []
        for e in self.entries:
            if e[3] not in self.targets:
                self.targets.append(e[3])

    def map_bytes(self):
        return b"".join(struct.pack("<QQQI", m, n, t, self.targets.index(u)) for m, n, t, u in self.entries)

    def idx_bytes(self):
        return "".join(t + "\n" for t in self.targets).encode()

    def members(self):
        return [(member_path(self.uri, "map"), self.map_bytes()), (member_path(self.uri, "idx"), self.idx_bytes())]

    def render(self, streams):
        """The disk image's bytes as the map defines them."""
        out = bytearray(symbolic_bytes(self.gap or ZERO, 0, self.size))
        for m, n, t, u in self.entries:
            s = streams.get(u)
            out[m:m + n] = s.data[t:t + n] if s else symbolic_bytes(u, t, n)
        return bytes(out)

    def turtle(self, image, deps, size=None):
        lines = ["<%s>" % self.uri,
                 "        a                         aff4:Map ;",
                 "        aff4:dependentStream      %s ;" % " , ".join("<%s>" % d for d in deps)]
        if self.gap:
            lines.append("        aff4:mapGapDefaultStream  <%s> ;" % self.gap)
        lines += ['        aff4:size                 "%d"^^xsd:long ;' % (self.size if size is None else size),
                  "        aff4:stored               : ;",
                  "        aff4:target               <%s> ." % image]
        return "\n".join(lines) + "\n"


def image_turtle(image, data_stream, size):
    return ("<%s>\n"
            "        a                  aff4:ContiguousImage , aff4:DiskImage , aff4:Image ;\n"
            "        aff4:dataStream    <%s> ;\n"
            '        aff4:size          "%d"^^xsd:long ;\n'
            "        aff4:stored        : .\n" % (image, data_stream, size))


def turtle_text(volume, parts):
    head = ("@prefix :      <%s> .\n"
            "@prefix rdf:   <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
            "@prefix xsd:   <http://www.w3.org/2001/XMLSchema#> .\n"
            "@prefix aff4:  <http://aff4.org/Schema#> .\n\n" % volume)
    return head + "\n".join(parts) + "\n:       a  aff4:ZipVolume ;\n        aff4:interface  aff4:Volume .\n"


# --- zip writer: stored members, optionally zip64 headers throughout --------

def zip_bytes(members, comment=b"", zip64=False, deflated=()):
    """A zip of the members, stored, or deflated when a name ends with one of deflated."""
    out = bytearray()
    central = bytearray()
    dos_time, dos_date = 0, (2020 - 1980) << 9 | 1 << 5 | 1
    for name, data in members:
        n = name.encode()
        crc = zlib.crc32(data)
        offset = len(out)
        method, body = 0, data
        if any(name.endswith(d) for d in deflated):
            c = zlib.compressobj(9, zlib.DEFLATED, -15)
            method, body = 8, c.compress(data) + c.flush()
        if zip64:
            extra = struct.pack("<HHQQ", 1, 16, len(data), len(body))
            out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, method, dos_time, dos_date, crc,
                               0xFFFFFFFF, 0xFFFFFFFF, len(n), len(extra)) + n + extra
            cextra = struct.pack("<HHQQQ", 1, 24, len(data), len(body), offset)
            central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, method, dos_time, dos_date, crc,
                                   0xFFFFFFFF, 0xFFFFFFFF, len(n), len(cextra), 0, 0, 0, 0,
                                   0xFFFFFFFF) + n + cextra
        else:
            out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, dos_time, dos_date, crc,
                               len(body), len(data), len(n), 0) + n
            central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method, dos_time, dos_date, crc,
                                   len(body), len(data), len(n), 0, 0, 0, 0, 0, offset) + n
        out += body
    cd_offset = len(out)
    out += central
    count = len(members)
    if zip64:
        z64 = len(out)
        out += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, len(central), cd_offset)
        out += struct.pack("<IIQI", 0x07064B50, 0, z64, 1)
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, len(comment))
    else:
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(central), cd_offset, len(comment))
    out += comment
    data = bytes(out)
    # Every container must also read back through Python's own zip reader.
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        for name, body in members:
            assert z.read(name) == body, name
    return data


def container(volume, members, turtle, zip64=False, turtle_name="information.turtle", deflated=()):
    head = [("container.description", volume.encode()), ("version.txt", b"major=1\nminor=0\ntool=kxdd-tests 1\n")]
    tail = [(turtle_name, turtle.encode())] if turtle is not None else []
    return zip_bytes(head + members + tail, comment=volume.encode() + b"\0", zip64=zip64, deflated=deflated)


# --- the good images ---------------------------------------------------------

class Image:
    """A one-container image: a disk image over a map (or its stream alone)."""

    def __init__(self, name, streams, amap, size=None):
        self.name = name
        self.volume = urn(name + "/volume")
        self.image = urn(name + "/image")
        self.streams = streams
        self.map = amap
        self.size = size if size is not None else (amap.size if amap else len(streams[0].data))

    def raw(self):
        if self.map:
            return self.map.render({s.uri: s for s in self.streams})
        return self.streams[0].data[:self.size]

    def turtle(self, stream_kw=None, map_kw=None, image_size=None):
        parts = []
        data_stream = self.map.uri if self.map else self.streams[0].uri
        parts.append(image_turtle(self.image, data_stream, self.size if image_size is None else image_size))
        if self.map:
            parts.append(self.map.turtle(self.image, [s.uri for s in self.streams], **(map_kw or {})))
        for s in self.streams:
            parts.append(s.turtle(data_stream, **(stream_kw or {})))
        return turtle_text(self.volume, parts)

    def members(self, map_bytes=None, idx_bytes=None):
        out = []
        for s in self.streams:
            out += s.members()
        if self.map:
            out.append((member_path(self.map.uri, "map"), self.map.map_bytes() if map_bytes is None else map_bytes))
            out.append((member_path(self.map.uri, "idx"), self.map.idx_bytes() if idx_bytes is None else idx_bytes))
        return out

    def container(self, zip64=False, deflated=(), **kw):
        return container(self.volume, self.members(), self.turtle(**kw), zip64=zip64, deflated=deflated)


def linear(name, method, size=150000, chunk=4096, per_bevy=8, seed=1):
    """A whole-device image: one map entry over the full stream."""
    s = Stream(name + "/stream", source_bytes(size, seed), method, chunk, per_bevy)
    m = Map(name + "/map", size, [(0, size, 0, s.uri)], gap=ZERO)
    return Image(name, [s], m)


def sparse(name):
    """A map mixing the stream, gaps and every kind of symbolic range, out of stream order."""
    s = Stream(name + "/stream", source_bytes(64 * 1024 + 300, 7), "snappy", 4096, 4)
    one_mib = 1 << 20
    entries = [
        (0, 4096, 8192, s.uri),                   # stream ranges, not in stream order
        (4096, 8192, 0, s.uri),
        (12288, 2000, 12288, s.uri),
        (20000, 5000, 0, ZERO),                   # explicit zeros
        (30000, 3000, 0, NS + "SymbolicStreamFF"),
        (40000, 100, 0, NS + "SymbolicStream61"),
        (50000, 9000, 16384, s.uri),              # gap before it: the default stream
        (one_mib - 100, 300, one_mib - 100, UNREADABLE),  # crosses a 1 MiB chunk of the pattern
        (one_mib + 300, 5000, 5, UNKNOWN),
        (one_mib + 6000, 48 * 1024 + 300, 16384, s.uri),  # the final short chunk
    ]
    size = one_mib + 6000 + 48 * 1024 + 300 + 777   # ends in a gap
    return Image(name, [s], Map(name + "/map", size, entries))


def no_map(name):
    """A disk image whose data stream is its image stream."""
    s = Stream(name + "/stream", source_bytes(70000, 3), "lz4", 8192, 2)
    return Image(name, [s], None)


def striped(name):
    """One disk image over two containers, each holding one of its two streams."""
    size = 20 * 4096 + 1234
    a = Stream(name + "/a", source_bytes(10 * 4096, 11), "snappy", 4096, 4)
    b = Stream(name + "/b", source_bytes(10 * 4096 + 1234, 12), "snappy", 4096, 4)
    entries = []
    for i in range(0, 20):
        s = a if i % 2 == 0 else b
        length = 4096 if i < 19 else 4096 + 1234
        entries.append((i * 4096, length, (i // 2) * 4096, s.uri))
    image = urn(name + "/image")
    maps = [Map(name + "/map%d" % k, size, entries, gap=ZERO) for k in (1, 2)]
    raw = maps[0].render({a.uri: a, b.uri: b})
    files = []
    for k, own in ((1, a), (2, b)):
        m = maps[k - 1]
        volume = urn(name + "/volume%d" % k)
        t = turtle_text(volume, [image_turtle(image, m.uri, size), m.turtle(image, [a.uri, b.uri]),
                                 own.turtle(m.uri)])
        files.append(container(volume, own.members() + m.members(), t))
    return files, raw


# --- the hostile images: each breaks one thing --------------------------------

def replace_member(img, path_end, body):
    members = [(n, body if n.endswith(path_end) else d) for n, d in img.members()]
    return container(img.volume, members, img.turtle())


def drop_member(img, path_end):
    members = [(n, d) for n, d in img.members() if not n.endswith(path_end)]
    return container(img.volume, members, img.turtle())


def patch_index(img, entry, offset=None, length=None):
    bevy, index = img.streams[0].bevies[0]
    o, n = struct.unpack_from("<QI", index, entry * 12)
    index = bytearray(index)
    struct.pack_into("<QI", index, entry * 12, o if offset is None else offset, n if length is None else length)
    return replace_member(img, "/00000000.index", bytes(index))


def patch_map(img, entry_index, **fields):
    ents = list(img.map.entries)
    m, n, t, u = ents[entry_index]
    tid = img.map.targets.index(u)
    m = fields.get("mapped", m)
    n = fields.get("length", n)
    t = fields.get("target", t)
    tid = fields.get("tid", tid)
    raw = bytearray(img.map.map_bytes())
    struct.pack_into("<QQQI", raw, entry_index * 28, m, n, t, tid)
    members = [(name, bytes(raw) if name.endswith("/map") else d) for name, d in img.members()]
    return container(img.volume, members, img.turtle())


def short_chunk(img):
    bevy, index = img.streams[0].bevies[0]
    short = snappy.compress(b"x" * 100)
    assert struct.unpack_from("<QI", index, 0) == (0, struct.unpack_from("<QI", index, 0)[1])
    assert struct.unpack_from("<QI", index, 0)[1] > len(short)
    index = bytearray(index)
    struct.pack_into("<QI", index, 0, 0, len(short))
    members = []
    for name, data in img.members():
        if name.endswith("/00000000"):
            data = short + data[len(short):]
        elif name.endswith("/00000000.index"):
            data = bytes(index)
        members.append((name, data))
    return container(img.volume, members, img.turtle())


def with_turtle(img, text):
    return container(img.volume, img.members(), text)


def eocd_patch(data, field_offset, fmt, value):
    """Changes one field of the end-of-central-directory record."""
    pos = data.rfind(struct.pack("<I", 0x06054B50))
    out = bytearray(data)
    struct.pack_into(fmt, out, pos + field_offset, value)
    return bytes(out)


def central_patch(data, field_offset, fmt, value, which=0):
    """Changes one field of a central directory entry (the which-th)."""
    pos = -1
    for _ in range(which + 1):
        pos = data.find(struct.pack("<I", 0x02014B50), pos + 1)
    out = bytearray(data)
    struct.pack_into(fmt, out, pos + field_offset, value)
    return bytes(out)


def hostile():
    base = linear("hostile", "snappy", size=40000, chunk=4096, per_bevy=4, seed=5)
    good = base.container()
    t = base.turtle()
    s = base.streams[0]
    bevy0, index0 = s.bevies[0]
    # A map over four times the bytes the stream's chunks hold.
    longer = Image("hostile", [s], Map("hostile/map", 40000 * 4, [(0, 40000 * 4, 0, s.uri)], gap=ZERO))
    cases = {
        # the zip container
        "truncated-zip": good[:len(good) // 2],
        "truncated-tail": good[:-30],
        "empty-file": b"",
        "not-a-zip": b"this is not an AFF4 image\n" * 40,
        "zip-member-past-end": central_patch(good, 20, "<I", 0x7FFFFFF0, which=2),
        "zip-bad-local-offset": central_patch(good, 42, "<I", len(good) - 10, which=2),
        "zip-cd-offset-past-end": eocd_patch(good, 16, "<I", len(good) + 1000),
        "zip-entry-count-huge": eocd_patch(eocd_patch(good, 8, "<H", 0xFFFF), 10, "<H", 0xFFFF),
        # the metadata
        "missing-turtle": container(base.volume, base.members(), None),
        "bad-turtle-syntax": with_turtle(base, t.replace(" .\n", " \n", 1)),
        "bad-turtle-iri": with_turtle(base, t.replace(">", "", 3)),
        "bad-turtle-prefix": with_turtle(base, t.replace("aff4:ImageStream", "nope:ImageStream")),
        "bad-turtle-literal": with_turtle(base, t.replace('"%d"^^xsd:long' % 40000, '"40000', 1)),
        "no-disk-image": with_turtle(base, t.replace("aff4:ContiguousImage , aff4:DiskImage , aff4:Image",
                                                     "aff4:Thing")),
        "size-not-a-number": with_turtle(base, t.replace('"40000"^^xsd:long', '"forty"^^xsd:long')),
        "unknown-compression": base.container(stream_kw={"method": "http://example.com/unknown-codec"}),
        "chunk-size-zero": base.container(stream_kw={"chunk_size": 0}),
        "chunk-size-huge": base.container(stream_kw={"chunk_size": 1 << 40}),
        "chunk-size-larger-than-stream": base.container(stream_kw={"chunk_size": 1 << 20}),
        # the image stream
        "missing-bevy": drop_member(base, "/00000000"),
        "missing-index": drop_member(base, "/00000001.index"),
        "index-truncated": replace_member(base, "/00000000.index", index0[:-5]),
        "chunk-past-bevy": patch_index(base, 1, offset=len(bevy0) - 3),
        "chunk-length-past-bevy": patch_index(base, 3, length=len(bevy0)),
        "chunk-offset-huge": patch_index(base, 0, offset=(1 << 64) - 8),
        "chunk-corrupt": replace_member(base, "/00000000", b"\xff" * len(bevy0)),
        # the first chunk (a compressed one) decodes to 100 bytes, not a chunk's
        "chunk-short": short_chunk(base),
        "stream-longer-than-chunks": longer.container(stream_kw={"size": 40000 * 4}),
        # the map
        "map-past-target": patch_map(base, 0, target=20000),
        "map-target-offset-huge": patch_map(base, 0, target=(1 << 64) - 4096),
        "map-target-id-unknown": patch_map(base, 0, tid=7),
        "map-truncated": container(base.volume, base.members(map_bytes=base.map.map_bytes()[:-3]), t),
        "map-idx-missing": drop_member(base, "/idx"),
        "map-idx-unknown-stream": container(base.volume, base.members(idx_bytes=b"aff4://no-such-stream\n"), t),
        "map-missing": drop_member(base, "/map"),
    }
    # Each case must differ from the good image.
    for name, data in cases.items():
        assert data != good, name
    return cases


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    manifest = []

    def put(name, data):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)

    goods = [linear("snappy", "snappy"), linear("lz4", "lz4", seed=2), linear("deflate", "deflate", seed=3),
             linear("deflate-raw", "deflate-raw", seed=8),
             linear("stored", "stored", seed=4), sparse("sparse-map"), no_map("no-map")]
    for img in goods:
        put(img.name + ".aff4", img.container())
        put(img.name + ".raw", img.raw())
        manifest.append("good %s %s.aff4" % (img.name, img.name))
    z = linear("zip64", "snappy", seed=6)
    put("zip64.aff4", z.container(zip64=True))
    put("zip64.raw", z.raw())
    manifest.append("good zip64 zip64.aff4")
    # Metadata segments deflated in the zip, as some writers store them.
    d = sparse("zip-deflated")
    put("zip-deflated.aff4", d.container(deflated=("information.turtle", "/map", "/idx", "version.txt")))
    put("zip-deflated.raw", d.raw())
    manifest.append("good zip-deflated zip-deflated.aff4")
    # The striped set in a folder of its own: a reader looks for the other
    # part among the containers beside the one it opens.
    files, raw = striped("striped")
    os.makedirs(os.path.join(out, "striped"), exist_ok=True)
    put("striped/striped_1.aff4", files[0])
    put("striped/striped_2.aff4", files[1])
    put("striped.raw", raw)
    manifest.append("good striped striped/striped_1.aff4")
    manifest.append("good striped striped/striped_2.aff4")
    for name, data in hostile().items():
        put("bad-%s.aff4" % name, data)
        manifest.append("bad %s bad-%s.aff4" % (name, name))
    put("manifest.txt", ("\n".join(manifest) + "\n").encode())


if __name__ == "__main__":
    main()
