#!/usr/bin/python3
"""Checks bytes kxdd read from an AFF4 image against the container's own records.

It reads the containers with Python's zip reader and a Turtle reader of its
own (never through the AFF4 library kxdd uses), and compares:

    aff4_oracle.py plan IMAGE.aff4 [PART.aff4 ...]
        prints "size N", then "piece OFFSET LENGTH" for every run of the disk
        image that the map takes from an image stream, and for the first and
        the last MiB of the image: the pieces to read for a check of an image
        too large to read whole.

    aff4_oracle.py check IMAGE.aff4 [PART.aff4 ...] -- OFFSET:FILE [OFFSET:FILE ...]
        FILE holds the disk image's bytes from OFFSET on. Every byte that a
        piece covers must be what the map says: a range of an image stream
        (gathered at its stream offset), aff4:Zero, a repeated-byte stream,
        aff4:UnknownData or aff4:UnreadableData (1 MiB chunks of "UNKNOWN" or
        "UNREADABLEDATA" repeated), and the gap stream between entries. Each
        image stream that the pieces rebuild whole must have the MD5 and SHA-1
        recorded as its aff4:hash; its block hashes must hash to the recorded
        aff4:BlockHashes values, and when the map has one image stream, the
        Block Map Hash recomputed from them and the map's own segments must be
        the recorded aff4:blockMapHash. Prints what it checked; exits 1 with
        the first disagreement.

The first container is the one opened; the others are the rest of a striped set.
"""

import bisect
import hashlib
import re
import struct
import sys
import zipfile

NS = "http://aff4.org/Schema#"
XSD = "http://www.w3.org/2001/XMLSchema#"
RDF_TYPE = "http://www.w3.org/1999/02/22-rdf-syntax-ns#type"
MIB = 1 << 20


def fail(msg):
    print("MISMATCH: " + msg)
    sys.exit(1)


# --- Turtle: the subset the containers use ------------------------------------

TOKEN = re.compile(r'\s*(?:(#[^\n]*)|(@prefix)|<([^>]*)>|"((?:[^"\\]|\\.)*)"(?:\^\^(<[^>]*>|[A-Za-z0-9_-]*:[A-Za-z0-9_.-]*)'
                   r'|@[A-Za-z-]+)?|([A-Za-z0-9_-]*:[A-Za-z0-9_.#-]*)|(\ba\b)|([;,.]))', re.S)


def parse_turtle(text):
    """Triples (subject, predicate, object); an object is ("iri", x) or ("lit", value, type)."""
    prefixes = {}
    toks = []
    pos = 0
    text = text.strip()
    while pos < len(text):
        m = TOKEN.match(text, pos)
        if not m or m.end() == pos:
            fail("turtle: cannot read at %r" % text[pos:pos + 40])
        pos = m.end()
        comment, prefix, iri, lit, dtype, pname, a, punct = m.groups()
        if comment:
            continue
        if prefix:
            toks.append(("prefix",))
        elif iri is not None:
            toks.append(("iri", iri))
        elif lit is not None:
            toks.append(("lit", lit, dtype))
        elif pname is not None:
            toks.append(("pname", pname))
        elif a:
            toks.append(("iri", RDF_TYPE))
        else:
            toks.append(("p", punct))

    def expand(t):
        if t[0] == "iri":
            return t[1]
        p, _, local = t[1].partition(":")
        if p not in prefixes:
            fail("turtle: unknown prefix %r" % p)
        return prefixes[p] + local

    triples = []
    i = 0
    while i < len(toks):
        if toks[i][0] == "prefix":
            prefixes[toks[i + 1][1].rstrip(":")] = toks[i + 2][1]
            i += 4
            continue
        subj = expand(toks[i])
        i += 1
        while True:
            pred = expand(toks[i])
            i += 1
            while True:
                t = toks[i]
                i += 1
                if t[0] == "lit":
                    dt = t[2]
                    if dt and not dt.startswith("<"):
                        dt = expand(("pname", dt))
                    elif dt:
                        dt = dt[1:-1]
                    obj = ("lit", t[1], dt)
                else:
                    obj = ("iri", expand(t))
                triples.append((subj, pred, obj))
                sep = toks[i][1]
                i += 1
                if sep != ",":
                    break
            if sep == ".":
                break
    return triples


class Graph:
    def __init__(self):
        self.triples = []

    def add(self, text):
        self.triples += parse_turtle(text)

    def objects(self, s, p):
        return [o for (ss, pp, o) in self.triples if ss == s and pp == NS + p or (ss == s and pp == p)]

    def of_type(self, t):
        return sorted({s for (s, p, o) in self.triples if p == RDF_TYPE and o == ("iri", NS + t)})

    def one_int(self, s, p):
        vals = {int(o[1]) for o in self.objects(s, p) if o[0] == "lit"}
        if len(vals) != 1:
            fail("%s has %d values of aff4:%s" % (s, len(vals), p))
        return vals.pop()


# --- the containers -------------------------------------------------------------

def segment_name(uri, rest):
    return uri.replace(":", "%3A").replace("/", "%2F") + "/" + rest


class Containers:
    def __init__(self, paths):
        self.zips = [zipfile.ZipFile(p) for p in paths]
        self.graph = Graph()
        for z in self.zips:
            self.graph.add(z.read("information.turtle").decode("utf-8"))
        first = Graph()
        first.add(self.zips[0].read("information.turtle").decode("utf-8"))
        images = first.of_type("DiskImage") or first.of_type("Image")
        if not images:
            fail("no aff4:DiskImage in %s" % paths[0])
        self.image = images[0]
        ds = [o[1] for o in first.objects(self.image, "dataStream")]
        if len(ds) != 1:
            fail("%s has %d aff4:dataStream" % (self.image, len(ds)))
        self.map_uri = ds[0]
        self.size = first.one_int(self.map_uri, "size")
        self.map_seg = self.zips[0].read(segment_name(self.map_uri, "map"))
        self.idx_seg = self.zips[0].read(segment_name(self.map_uri, "idx"))
        try:
            self.path_seg = self.zips[0].read(segment_name(self.map_uri, "mapPath"))
        except KeyError:
            self.path_seg = None
        if len(self.map_seg) % 28:
            fail("map segment of %d bytes" % len(self.map_seg))
        self.targets = self.idx_seg.decode().split("\n")
        if self.targets and self.targets[-1] == "":
            self.targets.pop()
        self.entries = []
        for i in range(0, len(self.map_seg), 28):
            m, n, t, tid = struct.unpack_from("<QQQI", self.map_seg, i)
            self.entries.append((m, n, t, self.targets[tid]))
        self.entries.sort()
        gaps = [o[1] for o in first.objects(self.map_uri, "mapGapDefaultStream")]
        self.gap = gaps[0] if gaps else NS + "Zero"
        self.streams = {}
        for s in self.graph.of_type("ImageStream"):
            if s in self.targets:
                self.streams[s] = self.graph.one_int(s, "size")

    def runs(self):
        """The map's entries with the gaps between them as entries of the gap stream."""
        out = []
        pos = 0
        for m, n, t, u in self.entries:
            if m < pos:
                fail("map entries overlap at %d" % m)
            if m > pos:
                out.append((pos, m - pos, pos, self.gap))
            out.append((m, n, t, u))
            pos = m + n
        if pos < self.size:
            out.append((pos, self.size - pos, pos, self.gap))
        return out


def symbolic(uri, offset, length):
    if uri == NS + "Zero":
        return bytes(length)
    m = re.fullmatch(re.escape(NS) + "SymbolicStream([0-9A-Fa-f]{2})", uri)
    if m:
        return bytes([int(m.group(1), 16)]) * length
    pattern = {NS + "UnknownData": b"UNKNOWN", NS + "UnreadableData": b"UNREADABLEDATA"}.get(uri)
    if pattern is None:
        fail("map target %s is neither an image stream nor a symbolic stream" % uri)
    out = bytearray()
    pos = offset
    while len(out) < length:
        in_chunk = pos % MIB
        take = min(MIB - in_chunk, length - len(out))
        start = in_chunk % len(pattern)
        reps = (start + take) // len(pattern) + 1
        out += (pattern * reps)[start:start + take]
        pos += take
    return bytes(out)


# --- the modes --------------------------------------------------------------------

def plan(c):
    print("size %d" % c.size)
    runs = []
    for m, n, t, u in c.runs():
        if u not in c.streams:
            continue
        if runs and runs[-1][0] + runs[-1][1] == m:
            runs[-1] = (runs[-1][0], runs[-1][1] + n)
        else:
            runs.append((m, n))
    ends = [(0, min(MIB, c.size)), (max(0, c.size - MIB), min(MIB, c.size))]
    for off, n in ends + runs:
        print("piece %d %d" % (off, n))


BLOCK_HASHES = [("md5", hashlib.md5), ("sha1", hashlib.sha1), ("sha256", hashlib.sha256),
                ("sha512", hashlib.sha512), ("blake2b", hashlib.blake2b)]


def check(c, pieces):
    runs = c.runs()
    starts = [r[0] for r in runs]
    rebuilt = {u: bytearray(n) for u, n in c.streams.items()}
    covered = {u: bytearray(n) for u, n in c.streams.items()}
    checked = 0
    for off, path in pieces:
        with open(path, "rb") as f:
            data = f.read()
        end = off + len(data)
        if end > c.size:
            fail("%s runs %d bytes past the image size %d" % (path, end - c.size, c.size))
        i = max(0, bisect.bisect_right(starts, off) - 1)
        while i < len(runs) and runs[i][0] < end:
            m, n, t, u = runs[i]
            i += 1
            lo, hi = max(m, off), min(m + n, end)
            if lo >= hi:
                continue
            got = data[lo - off:hi - off]
            toff = t + (lo - m)
            if u in c.streams:
                if toff + len(got) > c.streams[u]:
                    fail("map entry at %d runs past the end of %s" % (m, u))
                seen = covered[u][toff:toff + len(got)]
                old = rebuilt[u][toff:toff + len(got)]
                for k in range(0, len(got), 65536):
                    if any(seen[k:k + 65536]) and old[k:k + 65536] != got[k:k + 65536]:
                        fail("two reads of %s at stream offset %d differ" % (u, toff + k))
                rebuilt[u][toff:toff + len(got)] = got
                covered[u][toff:toff + len(got)] = b"\1" * len(got)
            else:
                want = symbolic(u, toff, len(got))
                if got != want:
                    k = next(k for k in range(len(got)) if got[k] != want[k])
                    fail("byte %d of the image is %02x, %s at %d gives %02x"
                         % (lo + k, got[k], u.replace(NS, "aff4:"), toff + k, want[k]))
            checked += hi - lo
    print("checked %d bytes against the map" % checked)
    g = c.graph
    whole = []
    for u in sorted(rebuilt):
        if covered[u].count(0):
            print("stream %s: %d of %d bytes not read" % (u, covered[u].count(0), len(covered[u])))
            continue
        whole.append(u)
        data = bytes(rebuilt[u])
        hashes = {o[2].replace(NS, ""): o[1] for o in g.objects(u, "hash") if o[0] == "lit"}
        for name, fn in (("MD5", hashlib.md5), ("SHA1", hashlib.sha1)):
            if name not in hashes:
                fail("%s records no %s" % (u, name))
            if fn(data).hexdigest() != hashes[name].lower():
                fail("%s of stream %s is %s, the container records %s" % (name, u, fn(data).hexdigest(), hashes[name]))
            print("stream %s %s %s ok" % (u, name, hashes[name]))
    # Block hashes and the Block Map Hash, from the stream bytes read.
    if not whole:
        return
    parts = []
    for u in whole:
        chunk = None
        for o in g.objects(u, "chunkSize"):
            chunk = int(o[1])
        data = bytes(rebuilt[u])
        for name, fn in BLOCK_HASHES:
            bh_uri = u + "/blockhash." + name
            recorded = [o for o in g.objects(bh_uri, "hash") if o[0] == "lit"]
            if not recorded:
                continue
            blocks = b"".join(fn(data[i:i + chunk].ljust(chunk, b"\0")).digest() for i in range(0, len(data), chunk))
            h = hashlib.sha512(blocks).digest()
            if h.hex() != recorded[0][1].lower():
                fail("SHA-512 of the %s block hashes of %s is %s, the container records %s"
                     % (name, u, h.hex(), recorded[0][1]))
            print("stream %s block hashes %s ok" % (u, name))
            parts.append(h)
    recorded = [o for o in g.objects(c.map_uri, "blockMapHash") if o[0] == "lit"]
    if len(c.streams) != 1 or not recorded or not parts:
        return
    h = hashlib.sha512()
    for p in parts:
        h.update(p)
    for seg in (c.map_seg, c.idx_seg, c.path_seg):
        if seg is not None:
            h.update(hashlib.sha512(seg).digest())
    if h.hexdigest() != recorded[0][1].lower():
        fail("Block Map Hash is %s, the container records %s" % (h.hexdigest(), recorded[0][1]))
    print("block map hash %s ok" % recorded[0][1])


def main():
    args = sys.argv[1:]
    if len(args) < 2 or args[0] not in ("plan", "check"):
        sys.exit(__doc__)
    mode = args[0]
    rest = args[1:]
    if "--" in rest:
        k = rest.index("--")
        paths, piece_args = rest[:k], rest[k + 1:]
    else:
        paths, piece_args = rest, []
    c = Containers(paths)
    if mode == "plan":
        plan(c)
        return
    pieces = []
    for a in piece_args:
        off, _, path = a.partition(":")
        pieces.append((int(off), path))
    if not pieces:
        fail("no pieces to check")
    check(c, pieces)


if __name__ == "__main__":
    main()
