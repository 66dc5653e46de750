#!/usr/bin/python3
"""Remote storage server for the tests of the kxsd client.

A peer of the kxsd protocol written from the wire format alone, so that a
byte-order or padding mistake in the client's codec cannot hide by being the
same on both ends. It serves files under a root directory, logs in with the
"{SHA}" form (protocol byte 1) or the challenge login (any other protocol
byte), packs data with "none" or raw LZ4 blocks, runs hash, byte-count and
pattern-write jobs, and can be told to misbehave in many ways (FAULT_KINDS,
or --list-faults).

Start:  kxsd_server.py --root DIR [options]
It listens on 127.0.0.1 (port 0 unless --port), prints the port on the first
line of standard output, and serves until killed (or until --max-conns
connections have ended). Every request is logged as one JSON object per line
in --log before the reply goes out.

  kxsd_server.py --self-check     runs the built-in checks and exits 0 / 1.
"""

import argparse
import base64
import errno as E
import fnmatch
import hashlib
import json
import os
import random
import re
import socket
import ssl
import stat
import struct
import sys
import threading
import time
import traceback

try:
    import lz4.block as lz4block
except ImportError:  # packed replies need python3-lz4
    lz4block = None

try:
    import xxhash
except ImportError:
    xxhash = None

# ---------------------------------------------------------------- wire codec

T_UNSPEC, T_ARRAY, T_TABLE, T_BINARY, T_STRING, T_INT64, T_INT32, T_INT16, T_INT8 = range(9)
NAMED = 0x80000000
MAX_LEN = 0xFFFFFF


def pad4(n):
    return (n + 3) & ~3


def hdr_len(n):
    """Length of a name header (length word, name, NUL, zero fill)."""
    return (n + 6) & ~3


def enc_payload(typ, value):
    if typ == T_INT64:
        return struct.pack(">q", value)
    if typ == T_INT32:
        return struct.pack(">i", value)
    if typ == T_INT16:
        return struct.pack(">h", value)
    if typ == T_INT8:
        return struct.pack(">b", value)
    if typ == T_STRING:
        if isinstance(value, str):
            value = value.encode("utf-8", "surrogateescape")
        return value + b"\0"
    return bytes(value)


def enc_attr(name, typ, payload, raw_len=None):
    """One named attribute with its padding. raw_len forces the word's length."""
    if isinstance(name, str):
        name = name.encode()
    hdr = struct.pack(">H", len(name)) + name + b"\0"
    hdr += b"\0" * (hdr_len(len(name)) - len(hdr))
    body = hdr + payload
    raw = 4 + len(body) if raw_len is None else raw_len
    out = struct.pack(">I", NAMED | (typ << 24) | (raw & MAX_LEN)) + body
    return out + b"\0" * (pad4(len(out)) - len(out))


def enc_field(name, typ, value):
    return enc_attr(name, typ, enc_payload(typ, value))


def enc_root(attrs, typ=T_TABLE):
    """The root word (plain attribute) followed by the attributes."""
    body = b"".join(attrs)
    return struct.pack(">I", (typ << 24) | ((4 + len(body)) & MAX_LEN)) + body


def check_attr(buf, off, raw):
    """Validates the named attribute at off; (name, type, payload) or an error text."""
    word = struct.unpack_from(">I", buf, off)[0]
    if not word & NAMED:
        return "unnamed attribute"
    if raw < 6:
        return "attribute too short for a name (%d)" % raw
    n = struct.unpack_from(">H", buf, off + 4)[0]
    if n == 0:
        return "empty name"
    h = hdr_len(n)
    if n > raw - 6 or h > raw - 4:
        return "name header overruns the attribute"
    if buf[off + 6 + n] != 0:
        return "name without NUL"
    typ = (word >> 24) & 0x7F
    payload = bytes(buf[off + 4 + h: off + raw])
    name = bytes(buf[off + 6: off + 6 + n]).decode("latin-1")
    need = {T_INT64: 8, T_INT32: 4, T_INT16: 2, T_INT8: 1}
    if typ > T_INT8:
        return "type %d of %s" % (typ, name)
    if typ in need and len(payload) != need[typ]:
        return "%s: %d payload bytes for type %d" % (name, len(payload), typ)
    if typ == T_STRING and (not payload or payload[-1] != 0):
        return "%s: string without NUL" % name
    return (name, typ, payload)


def dec_attrs(buf, off, end):
    """All attributes between off and end: a list of (name, type, payload), or raises ValueError."""
    out = []
    while off < end:
        if end - off < 4:
            raise ValueError("%d stray bytes at the end" % (end - off))
        raw = struct.unpack_from(">I", buf, off)[0] & MAX_LEN
        if raw < 4 or off + pad4(raw) > end:
            raise ValueError("attribute length %d at %d overruns the body" % (raw, off))
        got = check_attr(buf, off, raw)
        if isinstance(got, str):
            raise ValueError(got)
        out.append(got)
        off += pad4(raw)
    return out


def dec_value(typ, payload):
    if typ == T_INT64:
        return struct.unpack(">q", payload)[0]
    if typ == T_INT32:
        return struct.unpack(">i", payload)[0]
    if typ == T_INT16:
        return struct.unpack(">h", payload)[0]
    if typ == T_INT8:
        return struct.unpack(">b", payload)[0]
    if typ == T_STRING:
        return payload[:-1].decode("latin-1")
    return payload


# ---------------------------------------------------------------- packing

def pack_data(method, data):
    if method == "lz4":
        if not data:
            return b""
        return lz4block.compress(data, store_size=False)
    return bytes(data)


def unpack_data(method, data, plain_len):
    if method == "lz4":
        if plain_len == 0:
            return b""
        return lz4block.decompress(data, uncompressed_size=plain_len)
    return bytes(data)


# ---------------------------------------------------------------- digests

# hash_flag bits in the order the jobs handle them.
HASH_WORDS = [(0x1, "md5"), (0x2, "sha1"), (0x10, "sha256"), (0x40, "sha512"), (0x100, "sm3"), (0x400, "xxh3"),
              (0x4, "pmd5"), (0x8, "psha1"), (0x20, "psha256"), (0x80, "psha512"), (0x200, "psm3"),
              (0x800, "pxxh3")]
WHOLE = {"md5", "sha1", "sha256", "sha512", "sm3", "xxh3"}


def new_digest(word):
    base = word[1:] if word not in WHOLE else word
    if base == "xxh3":
        if xxhash is None:
            return None
        return xxhash.xxh3_128()
    try:
        return hashlib.new(base)
    except ValueError:
        return None


def supported_mask():
    mask = 0
    for bit, word in HASH_WORDS:
        if new_digest(word) is not None:
            mask |= bit
    return mask


def crc8(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


# Whole-stream states cannot leave hashlib, so a state text carries a token
# naming a saved copy; a later job (also on another connection) resumes
# from it.
STATES = {}
STATES_LOCK = threading.Lock()
STATE_SEQ = [0]


def save_state(h):
    with STATES_LOCK:
        STATE_SEQ[0] += 1
        token = "kxsrv-%d" % STATE_SEQ[0]
        STATES[token] = h.copy()
    return token


def load_state(token):
    with STATES_LOCK:
        h = STATES.get(token)
    return h.copy() if h is not None else None


class SrvError(Exception):
    def __init__(self, code, text):
        super().__init__(text)
        self.code = code
        self.text = text


class HashJob:
    def __init__(self, flags, bs, state_text):
        self.flags = flags
        self.bs = bs
        self.whole = {}
        self.sums = {}
        self.records = {}
        self.words = [w for bit, w in HASH_WORDS if flags & bit]
        lines = {}
        for line in state_text.split("\n"):
            if " " in line:
                word, rest = line.split(" ", 1)
                lines.setdefault(word, rest)
        for word in self.words:
            d = new_digest(word)
            if d is None:
                raise SrvError(-37, "hash %s not supported" % word)
            saved = lines.get(word, "")
            if word in WHOLE:
                if saved:
                    d = load_state(saved)
                    if d is None:
                        raise SrvError(-2, "unknown %s state [%s]" % (word, saved))
                self.whole[word] = d
            else:
                n = d.digest_size
                if saved:
                    fields = saved.split(",")
                    if len(fields) != n:
                        raise SrvError(-2, "%s state has %d fields, not %d" % (word, len(fields), n))
                    self.sums[word] = [int(x, 16) for x in fields]
                else:
                    self.sums[word] = [0] * n
                self.records[word] = []

    def update(self, block):
        for d in self.whole.values():
            d.update(block)
        for word in self.sums:
            dig = new_digest(word)
            dig.update(block)
            dig = dig.digest()
            sums = self.sums[word]
            for i, b in enumerate(dig):
                sums[i] = (sums[i] + b) & 0xFFFFFFFF
            self.records[word].append(dig.hex())

    def state_text(self):
        lines = []
        for word in self.words:
            if word in WHOLE:
                lines.append("%s %s" % (word, save_state(self.whole[word])))
            else:
                lines.append("%s %s" % (word, ",".join("%x" % s for s in self.sums[word])))
        return "\n".join(lines)

    def final(self, bit):
        for b, word in HASH_WORDS:
            if bit & b and word in self.words:
                if word in WHOLE:
                    return self.whole[word].copy().digest()
                return bytes(crc8(struct.pack("<I", s)) for s in self.sums[word])
        raise SrvError(-2, "hash bit 0x%x not in the job" % bit)

    def take_records(self):
        text = "\n".join("%s %s" % (w, "|".join(self.records[w])) for w in self.words if w in self.records)
        for w in self.records:
            self.records[w] = []
        return text


# ---------------------------------------------------------------- faults

FAULT_KINDS = {
    "close": "close the connection instead of replying",
    "lose": "close the connection once part=request (default: uncounted and not served, as if it never "
            "arrived) or part=reply (served and kept for re-delivery, but not sent)",
    "stall": "read the request and answer nothing until the client closes",
    "magic": "reply magic replaced (bytes=HEX, default 4B59)",
    "rootlen": "reply root length forced to value=N; the body is cut or padded to fit",
    "truncate": "send the header and all but cut=K body bytes (default half), then close",
    "cuthead": "send only n=K header bytes, then close",
    "proto": "reply protocol byte value=N",
    "errno": "error reply: errno value=V, errno_str text=T",
    "errno64": "errno sent as int64",
    "drop": "omit field=NAME",
    "retype": "send field=NAME with type=T",
    "payload": "send field=NAME with payload hex=HEX",
    "overrun": "field=NAME with a name header longer than the attribute",
    "datalen": "read data payload of value=2x|2x+1|+N|N bytes",
    "shortdata": "read data by=K bytes fewer than its len field says (the position still moves by len)",
    "shortwrite": "write and report by=K bytes fewer",
    "delay": "wait ms=N before replying",
    "raw": "reply with the bytes hex=HEX instead",
    "extra": "append the bytes hex=HEX after the reply",
}
MATCH_KEYS = {"at", "cmd", "code", "nth", "times", "conn"}


class Fault:
    def __init__(self, spec):
        kind, _, rest = spec.partition(":")
        if kind not in FAULT_KINDS:
            raise ValueError("unknown fault %s" % kind)
        self.kind = kind
        self.args = {}
        for item in filter(None, rest.split(",")):
            k, _, v = item.partition("=")
            self.args[k] = v
        self.seen = 0
        self.fired = 0
        self.spec = spec

    def num(self, key, default=None):
        v = self.args.get(key)
        return default if v is None else int(v, 0)

    def matches(self, seq, conn, cmd, code):
        """Counts the request when it matches the rule; True when the fault fires."""
        if self.num("at") is not None and seq != self.num("at"):
            return False
        if self.num("cmd") is not None and cmd != self.num("cmd"):
            return False
        if self.num("code") is not None and code != self.num("code"):
            return False
        if self.num("conn") is not None and conn != self.num("conn"):
            return False
        self.seen += 1
        if self.seen < self.num("nth", 1):
            return False
        times = self.num("times", 1)
        if times and self.fired >= times:
            return False
        self.fired += 1
        return True


# ---------------------------------------------------------------- the server

OS_ERRNO = {E.ENOENT: (-102, 2), E.ENOTDIR: (-103, 3), E.EACCES: (-38, 5), E.EPERM: (-10, 5),
            E.EEXIST: (-105, 80), E.EISDIR: (-2, 5), E.ENOSPC: (-152, 112), E.EBADF: (-4, 6),
            E.EINVAL: (-2, 87), E.EMFILE: (-106, 4)}

# Reply fields after errno and errno_str, by command.
STAT_SHORT = [("type", T_INT32), ("attrib_mode", T_INT32), ("uid", T_INT32), ("gid", T_INT32), ("len", T_INT64),
              ("time_access", T_INT64), ("time_write", T_INT64), ("time_create", T_INT64)]
STAT_LONG = STAT_SHORT + [("time_access_ns", T_INT32), ("time_write_ns", T_INT32), ("time_create_ns", T_INT32),
                          ("st_nlink", T_INT64), ("st_dev", T_INT64), ("st_rdev", T_INT64), ("st_ino", T_INT64),
                          ("st_blksize", T_INT64), ("st_blocks", T_INT64)]

NO_REPLY = object()

# The server version that introduced a command, or a control code of command 8.
CMD_SINCE = {7: "1.5.3", 26: "1.5.3", 27: "1.5.3", 44: "1.5.3", 50: "1.5.2", 29: "1.6.4", 30: "1.6.4"}
IOCTL2_SINCE = {10103: "1.5.9", 10104: "1.5.9", 10105: "1.5.9", 10106: "1.6.2", 10107: "1.6.2",
                10108: "1.6.2", 10109: "1.6.2", 10110: "1.6.3", 10111: "1.6.7", 10113: "1.6.8"}


# The text forms of the command-20 codes that carry fields: s a text, u a
# u32, U a u64, I an i64, tab-separated, in plain decimal.
CTL_FORMS = {10016: "ssu", 10018: "su", 10019: "su", 10020: "su", 10021: "suU", 10022: "su", 10023: "ss",
             10024: "ss", 10025: "su", 10026: "su", 10027: "suu", 10028: "suu", 10029: "sUUUuuu",
             10030: "sUUUuuu", 10035: "sI", 10101: "su", 10102: "u", 10103: "uu", 10104: "u"}
CTL_NUMBERS = {"u": (r"0|[1-9][0-9]*", 0, 2**32 - 1), "U": (r"0|[1-9][0-9]*", 0, 2**64 - 1),
               "I": (r"-?(0|[1-9][0-9]*)", -2**63, 2**63 - 1)}


def ctl_args(code, data):
    """The fields of a command-20 text of code's form; SrvError -2 when the text does not have it."""
    form = CTL_FORMS[code]
    if not data.endswith(b"\0") or b"\0" in data[:-1]:
        raise SrvError(-2, "code %d: the data is not one text with its NUL" % code)
    parts = data[:-1].decode("latin-1").split("\t")
    if len(parts) != len(form):
        raise SrvError(-2, "code %d: %d fields, the form %s has %d" % (code, len(parts), form, len(form)))
    out = []
    for kind, part in zip(form, parts):
        if kind == "s":
            out.append(part)
            continue
        pattern, low, high = CTL_NUMBERS[kind]
        if not re.fullmatch(pattern, part) or not low <= int(part) <= high:
            raise SrvError(-2, "code %d: [%s] is not a %s number" % (code, part, kind))
        out.append(int(part))
    return out


class Settings:
    pass


class Handle:
    def __init__(self, fd, path, flags, kind="file"):
        self.fd = fd
        self.path = path
        self.flags = flags
        self.kind = kind
        self.pos = 0
        self.hash = None
        self.bcount = None
        self.pattern = None
        self.entries = None
        self.entry_idx = 0


class Context:
    """A server context (ioctl2 101): outlives its connection, which a new one can take over."""

    def __init__(self, number, owner):
        self.id = number
        self.owner = owner          # the connection that serves it now
        self.count = owner.requests  # index of the last request received on it
        self.handles = owner.handles
        self.last_reply = None      # the last reply message, for re-delivery


class Server:
    def __init__(self, cfg):
        self.cfg = cfg
        self.lock = threading.Lock()
        self.seq = 0
        self.conns = 0
        self.contexts = {}
        self.next_ctx = 4100
        self.ended = 0
        self.faults = [Fault(s) for s in cfg.fault]
        self.log_file = open(cfg.log, "a", buffering=1) if cfg.log else None
        self.done = threading.Event()

    def log(self, rec):
        if not self.log_file:
            return
        line = json.dumps(rec, sort_keys=True)
        with self.lock:
            self.log_file.write(line + "\n")
            self.log_file.flush()

    def next_seq(self):
        with self.lock:
            self.seq += 1
            return self.seq

    def pick_fault(self, seq, conn, cmd, code):
        with self.lock:
            for f in self.faults:
                if f.matches(seq, conn, cmd, code):
                    return f
        return None

    def conn_ended(self):
        with self.lock:
            self.ended += 1
            if self.cfg.max_conns and self.ended >= self.cfg.max_conns:
                self.done.set()


def recv_exact(sock, n):
    out = bytearray()
    while len(out) < n:
        chunk = sock.recv(min(n - len(out), 1 << 20))
        if not chunk:
            return bytes(out)
        out += chunk
    return bytes(out)


class Conn:
    def __init__(self, srv, sock, number):
        self.srv = srv
        self.cfg = srv.cfg
        self.sock = sock
        self.number = number
        self.pack = "none"
        self.logged_in = False
        self.cert = None
        self.user = None
        self.handles = {}
        self.next_fd = 7
        self.requests = 0
        self.ctx = None
        self.redeliver = None
        self.done = threading.Event()  # set when the connection has ended

    # ---------------- framing

    def run(self):
        self.srv.log({"event": "connect", "conn": self.number})
        try:
            while self.serve_one():
                pass
        except (ConnectionError, ssl.SSLError, OSError) as exc:
            self.srv.log({"event": "error", "conn": self.number, "text": str(exc)})
        finally:
            # The files of a context stay open for the connection that takes it over.
            for h in (self.handles.values() if self.ctx is None else ()):
                if h.kind == "file":
                    try:
                        os.close(h.fd)
                    except OSError:
                        pass
            try:
                self.sock.close()
            except OSError:
                pass
            self.srv.log({"event": "close", "conn": self.number})
            self.done.set()
            self.srv.conn_ended()

    def serve_one(self):
        head = recv_exact(self.sock, 8)
        if len(head) < 8:
            if head:
                self.srv.log({"event": "short_head", "conn": self.number, "len": len(head)})
            return False
        seq = self.srv.next_seq()
        rec = {"seq": seq, "conn": self.number, "cmd": head[3], "proto": head[2]}
        if head[:2] != b"KX":
            rec["error"] = "magic %s" % head[:2].hex()
            self.srv.log(rec)
            return False
        word = struct.unpack_from(">I", head, 4)[0]
        raw = word & MAX_LEN
        rec["root_len"] = raw
        rec["root_type"] = (word >> 24) & 0xFF
        if raw < 4:
            rec["error"] = "root length %d" % raw
            self.srv.log(rec)
            return False
        body = recv_exact(self.sock, pad4(raw) - 4)
        if len(body) < pad4(raw) - 4:
            rec["error"] = "body cut at %d of %d" % (len(body), pad4(raw) - 4)
            self.srv.log(rec)
            return False
        buf = head[4:8] + body
        cmd = head[3]
        fields, order, types, bad = {}, [], {}, None
        try:
            for name, typ, payload in dec_attrs(buf, 4, raw):
                order.append(name)
                if name in fields:
                    rec.setdefault("dup", []).append(name)
                    continue
                fields[name] = dec_value(typ, payload)
                types[name] = typ
        except ValueError as exc:
            bad = str(exc)
        code = fields.get("cmd") if cmd in (8, 20) and isinstance(fields.get("cmd"), int) else None
        rec["fields"] = {k: self.log_value(v) for k, v in fields.items()}
        rec["order"] = order
        rec["types"] = types
        if code is not None:
            rec["code"] = code
            data = fields.get("data", b"")
            rec["text"] = data.rstrip(b"\0").decode("latin-1") if isinstance(data, bytes) else None
        fault = self.srv.pick_fault(seq, self.number, cmd, code)
        if fault:
            rec["fault"] = fault.spec
        if head[2] != 1:
            rec["bad_proto"] = True
        if fault and fault.kind == "lose" and fault.args.get("part", "request") == "request":
            # As if the request never arrived: not counted, not served.
            self.srv.log(rec)
            return False
        if self.ctx is not None:
            self.ctx.count += 1
        else:
            self.requests += 1

        if bad is not None:
            rec["error"] = bad
            reply = self.error_fields(-2, "bad request body: %s" % bad)
        elif fault and fault.kind in ("close", "stall", "raw", "cuthead"):
            reply = None
        elif fault and fault.kind == "errno":
            reply = self.error_fields(fault.num("value", -1), fault.args.get("text", "injected error"))
        else:
            reply = self.dispatch(cmd, fields, fault, rec)
        if reply is NO_REPLY:
            rec["no_reply"] = True
        self.srv.log(rec)

        if fault and fault.kind == "close":
            return False
        if fault and fault.kind == "stall":
            while self.sock.recv(65536):
                pass
            return False
        if fault and fault.kind == "raw":
            self.sock.sendall(bytes.fromhex(fault.args.get("hex", "")))
            return True
        if fault and fault.kind == "cuthead":
            msg = b"KX" + bytes([self.cfg.proto, cmd]) + enc_root(self.encode(self.ok_fields([])))
            self.sock.sendall(msg[:fault.num("n", 4)])
            return False
        if reply is NO_REPLY:
            if self.redeliver is not None:
                msg, self.redeliver = self.redeliver, None
                self.sock.sendall(msg)
            return cmd != 2
        return self.send_reply(cmd, reply, fault)

    def log_value(self, v):
        if isinstance(v, bytes):
            return {"len": len(v), "hex": v[:64].hex()}
        return v

    def encode(self, fields, fault=None):
        out = []
        for name, typ, value in fields:
            if fault and fault.args.get("field") == name:
                if fault.kind == "drop":
                    continue
                if fault.kind == "retype":
                    typ2 = fault.num("type")
                    payload = enc_payload(typ, value)
                    if typ2 in (T_INT64, T_INT32, T_INT16, T_INT8) and typ in (T_INT64, T_INT32, T_INT16, T_INT8):
                        payload = enc_payload(typ2, value)
                    out.append(enc_attr(name, typ2, payload))
                    continue
                if fault.kind == "payload":
                    out.append(enc_attr(name, typ, bytes.fromhex(fault.args.get("hex", ""))))
                    continue
                if fault.kind == "overrun":
                    n = len(name.encode())
                    out.append(enc_attr(name, typ, b"", raw_len=6 + n))
                    continue
            if fault and fault.kind == "errno64" and name == "errno":
                typ = T_INT64
            out.append(enc_field(name, typ, value))
        return out

    def send_reply(self, cmd, fields, fault):
        if fault and fault.kind == "delay":
            time.sleep(fault.num("ms", 0) / 1000.0)
        proto = self.cfg.proto
        if fault and fault.kind == "proto":
            proto = fault.num("value", proto)
        root = enc_root(self.encode(fields, fault))
        magic = b"KX"
        if fault and fault.kind == "magic":
            magic = bytes.fromhex(fault.args.get("bytes", "4B59"))[:2]
        if fault and fault.kind == "rootlen":
            n = fault.num("value", 4)
            word = (struct.unpack_from(">I", root)[0] & ~MAX_LEN) | (n & MAX_LEN)
            rest = root[4:]
            want = max(pad4(n) - 4, 0) if n >= 4 else 0
            rest = (rest + b"\0" * want)[:want]
            root = struct.pack(">I", word) + rest
        msg = magic + bytes([proto, cmd]) + root
        if self.ctx is not None:
            self.ctx.last_reply = msg
        if fault and fault.kind == "lose":
            return False
        if fault and fault.kind == "truncate":
            body = len(msg) - 8
            cut = fault.num("cut", max(body // 2, 1))
            self.sock.sendall(msg[:len(msg) - min(cut, body)])
            return False
        if fault and fault.kind == "extra":
            msg += bytes.fromhex(fault.args.get("hex", ""))
        self.sock.sendall(msg)
        return True

    # ---------------- reply helpers

    def ok_fields(self, rest):
        return [("errno", T_INT32, 0), ("errno_str", T_STRING, "")] + rest

    def error_fields(self, code, text):
        return [("errno", T_INT32, code), ("errno_str", T_STRING, text)]

    def os_error(self, exc, what):
        neg, win = OS_ERRNO.get(exc.errno, (-1, 31))
        code = win if self.cfg.os_type == 1 else neg
        return self.error_fields(code, "%s: %s" % (what, exc.strerror or exc))

    def path_of(self, path):
        rel = os.path.normpath("/" + path).lstrip("/")
        return os.path.join(self.cfg.root, rel) if rel else self.cfg.root

    def handle(self, fields, kind="file"):
        fd = fields.get("fd")
        h = self.handles.get(fd)
        if h is None or h.kind != kind:
            raise SrvError(-4 if self.cfg.os_type != 1 else 6, "invalid fd %s" % fd)
        return h

    def need(self, fields, *names):
        for n in names:
            if n not in fields:
                raise SrvError(-2, "missing field %s" % n)

    # ---------------- commands

    def dispatch(self, cmd, f, fault, rec):
        if cmd not in (1, 2, 90, 91) and not self.logged_in and not self.cfg.no_login_check:
            return self.error_fields(-10, "not logged in")
        # A server older than a command (or control code, or open flag) does
        # not know it: the client must not send it there.
        code = f.get("cmd") if cmd == 8 else None
        since = CMD_SINCE.get(cmd) or IOCTL2_SINCE.get(code)
        if cmd == 10 and isinstance(f.get("mode"), int) and f["mode"] & 0x10000:
            since = "1.6.7"
        if since and not version_at_least(self.cfg.ver, since):
            rec["too_new"] = since
            return self.error_fields(-12, "not supported before %s" % since)
        fn = getattr(self, "cmd_%d" % cmd, None)
        if fn is None:
            return self.error_fields(-12, "command %d not supported" % cmd)
        try:
            return fn(f, fault, rec)
        except SrvError as exc:
            return self.error_fields(exc.code, exc.text)
        except OSError as exc:
            return self.os_error(exc, "command %d" % cmd)
        except Exception as exc:  # a fault of this server: answer and log it
            rec["server_error"] = traceback.format_exc()
            return self.error_fields(-1, "server error: %r" % exc)

    def cmd_1(self, f, fault, rec):
        self.need(f, "user", "passwd")
        os_type = [("os_type", T_INT32, self.cfg.os_type)]
        if f["user"] == ":" and f["passwd"] == "":
            if self.cfg.probe == "accept":
                self.logged_in = True
                return self.ok_fields(os_type)
            return self.error_fields(1, "probe login refused") + os_type
        if self.cfg.proto != 1:
            return self.error_fields(1, "use the challenge login") + os_type
        if f["user"] == self.cfg.user and f["passwd"] == sha_form(self.cfg.password):
            self.logged_in = True
            self.user = f["user"]
            return self.ok_fields(os_type)
        return self.error_fields(1, "Wrong user or password") + os_type

    def cmd_2(self, f, fault, rec):
        return NO_REPLY

    def cmd_90(self, f, fault, rec):
        self.need(f, "user", "ver")
        self.user = f["user"]
        self.cert = self.cfg.cert or "".join(random.choice("0123456789abcdef") for _ in range(256))
        return self.ok_fields([("ver", T_INT32, 1), ("cert", T_STRING, self.cert)])

    def cmd_91(self, f, fault, rec):
        self.need(f, "lkey")
        if self.cert is None:
            return self.error_fields(1, "no challenge")
        want = hashlib.sha1((self.cfg.salt + self.user + self.cfg.password + self.cert).encode()).hexdigest()
        if self.user == self.cfg.user and f["lkey"] == want:
            self.logged_in = True
            return self.ok_fields([])
        return self.error_fields(1, "Wrong user or password")

    def cmd_3(self, f, fault, rec):
        return self.ok_fields([("lsblk", T_STRING, self.cfg.lsblk)])

    def cmd_4(self, f, fault, rec):
        info = "ver=[%s]\nplat=[%s]\narch=[%s]\nbit=[%s]\norder=[%s]\nis_root=[%s]\n" % (
            self.cfg.ver, self.cfg.plat, self.cfg.arch, "64", "little", "1" if os.geteuid() == 0 else "0")
        return self.ok_fields([("info", T_STRING, info)])

    def cmd_5(self, f, fault, rec):
        self.need(f, "path")
        st = os.statvfs(self.path_of(f["path"]))
        return self.ok_fields([("flags", T_INT32, 0), ("name_len", T_INT32, st.f_namemax),
                               ("avail_bytes", T_INT64, st.f_bavail * st.f_frsize),
                               ("free_bytes", T_INT64, st.f_bfree * st.f_frsize),
                               ("total_bytes", T_INT64, st.f_blocks * st.f_frsize),
                               ("fs_name", T_STRING, "kxtestfs"), ("vol_name", T_STRING, "kxtest")])

    def stat_fields(self, st, long_form):
        typ = 1 if stat.S_ISDIR(st.st_mode) else (258 if stat.S_ISLNK(st.st_mode) else 2)
        vals = {"type": typ, "attrib_mode": st.st_mode, "uid": st.st_uid, "gid": st.st_gid, "len": st.st_size,
                "time_access": int(st.st_atime), "time_write": int(st.st_mtime), "time_create": int(st.st_ctime),
                "time_access_ns": st.st_atime_ns % 10**9, "time_write_ns": st.st_mtime_ns % 10**9,
                "time_create_ns": st.st_ctime_ns % 10**9, "st_nlink": st.st_nlink, "st_dev": st.st_dev,
                "st_rdev": st.st_rdev, "st_ino": st.st_ino, "st_blksize": st.st_blksize,
                "st_blocks": st.st_blocks}
        return self.ok_fields([(n, t, vals[n]) for n, t in (STAT_LONG if long_form else STAT_SHORT)])

    def cmd_6(self, f, fault, rec):
        self.need(f, "path")
        return self.stat_fields(os.stat(self.path_of(f["path"])), False)

    def cmd_7(self, f, fault, rec):
        self.need(f, "path")
        return self.stat_fields(os.stat(self.path_of(f["path"])), True)

    def cmd_28(self, f, fault, rec):
        self.need(f, "path")
        return self.stat_fields(os.lstat(self.path_of(f["path"])), self.long_stat())

    def long_stat(self):
        return version_at_least(self.cfg.ver, "1.5.3")

    def cmd_21(self, f, fault, rec):
        return self.stat_fields(os.fstat(self.handle(f).fd), False)

    def cmd_26(self, f, fault, rec):
        return self.stat_fields(os.fstat(self.handle(f).fd), True)

    def cmd_22(self, f, fault, rec):
        h = self.handle(f)
        self.need(f, "time_access", "time_write")
        os.utime(h.fd, (f["time_access"], f["time_write"]))
        return self.ok_fields([])

    def cmd_27(self, f, fault, rec):
        h = self.handle(f)
        self.need(f, "time_access", "time_write", "time_access_ns", "time_write_ns")
        os.utime(h.fd, ns=(f["time_access"] * 10**9 + f["time_access_ns"],
                           f["time_write"] * 10**9 + f["time_write_ns"]))
        return self.ok_fields([])

    def cmd_23(self, f, fault, rec):
        self.handle(f)
        return self.ok_fields([])

    def open_path(self, path, flags):
        """flags: the file layer's open word (0x1 ro, 0x2 wo, 0x4 rw, 0x8 create, 0x20 truncate)."""
        if flags & 0x1:
            mode = os.O_RDONLY
        elif flags & 0x2:
            mode = os.O_WRONLY
        elif flags & 0x4:
            mode = os.O_RDWR
        else:
            mode = os.O_RDONLY
        if flags & 0x8:
            mode |= os.O_CREAT
        if flags & 0x20:
            mode |= os.O_TRUNC
        # Append (0x10) is not mapped: every transfer is positioned.
        full = self.path_of(path)
        if flags & 0x8:
            os.makedirs(os.path.dirname(full), exist_ok=True)
        fd = os.open(full, mode | os.O_CLOEXEC, 0o644)
        if stat.S_ISDIR(os.fstat(fd).st_mode):
            os.close(fd)
            raise SrvError(-2, "%s is a directory" % path)
        sfd = self.next_fd
        self.next_fd += 1
        self.handles[sfd] = Handle(fd, path, flags)
        return sfd

    def cmd_10(self, f, fault, rec):
        self.need(f, "path", "mode")
        return self.ok_fields([("fd", T_INT64, self.open_path(f["path"], f["mode"]))])

    def cmd_25(self, f, fault, rec):
        self.need(f, "path", "flag")
        acc = f["flag"] & 3
        word = {0: 0x1, 1: 0x2, 2: 0x4}.get(acc, 0x1)
        if f["flag"] & 0x4:
            word |= 0x8
        if f["flag"] & 0x10:
            word |= 0x20
        return self.ok_fields([("fd", T_INT64, self.open_path(f["path"], word))])

    def cmd_24(self, f, fault, rec):
        self.need(f, "path")
        return self.ok_fields([("fd", T_INT64, self.open_path(f["path"], 0x4 | 0x8))])

    def cmd_11(self, f, fault, rec):
        h = self.handle(f)
        os.close(h.fd)
        del self.handles[f["fd"]]
        return self.ok_fields([])

    def read_reply(self, h, want, offset, fault):
        if want < 0:
            raise SrvError(-2, "negative length %d" % want)
        pos = h.pos if offset is None else offset
        data = os.pread(h.fd, want, pos) if want else b""
        h.pos = pos + len(data)
        payload = pack_data(self.pack, data)
        if fault and fault.kind == "shortdata":
            payload = pack_data(self.pack, data[:max(len(data) - fault.num("by", 1), 0)])
        if fault and fault.kind == "datalen":
            payload = filler(eval_len(fault.args.get("value", "+1"), want), data)
        return self.ok_fields([("len", T_INT32, len(data)), ("flags", T_INT32, 0), ("data", T_BINARY, payload)])

    def cmd_12(self, f, fault, rec):
        self.need(f, "len")
        return self.read_reply(self.handle(f), f["len"], None, fault)

    def cmd_29(self, f, fault, rec):
        self.need(f, "len", "offset")
        return self.read_reply(self.handle(f), f["len"], f["offset"], fault)

    def write_reply(self, h, f, offset, fault, rec):
        self.need(f, "len", "data")
        try:
            data = unpack_data(self.pack, f["data"], f["len"])
        except Exception as exc:  # a bad LZ4 block
            raise SrvError(-2, "unpack failed: %s" % exc)
        if len(data) != f["len"]:
            raise SrvError(-2, "data unpacks to %d bytes, len says %d" % (len(data), f["len"]))
        rec["plain_len"] = len(data)
        if fault and fault.kind == "shortwrite":
            data = data[:max(len(data) - fault.num("by", 1), 0)]
        pos = h.pos if offset is None else offset
        n = os.pwrite(h.fd, data, pos) if data else 0
        h.pos = pos + n
        return self.ok_fields([("len", T_INT32, n)])

    def cmd_13(self, f, fault, rec):
        return self.write_reply(self.handle(f), f, None, fault, rec)

    def cmd_30(self, f, fault, rec):
        self.need(f, "offset")
        return self.write_reply(self.handle(f), f, f["offset"], fault, rec)

    def cmd_14(self, f, fault, rec):
        os.fsync(self.handle(f).fd)
        return self.ok_fields([])

    def cmd_15(self, f, fault, rec):
        h = self.handle(f)
        self.need(f, "offset", "mode")
        base = {0: 0, 1: h.pos, 2: os.fstat(h.fd).st_size}.get(f["mode"])
        if base is None:
            raise SrvError(-2, "seek mode %d" % f["mode"])
        if f["mode"] == 2:
            base = os.lseek(h.fd, 0, os.SEEK_END)
        pos = base + f["offset"]
        if pos < 0:
            raise SrvError(-107, "seek to %d" % pos)
        h.pos = pos
        return self.ok_fields([("offset", T_INT64, pos)])

    def cmd_16(self, f, fault, rec):
        h = self.handle(f)
        self.need(f, "len")
        os.ftruncate(h.fd, f["len"])
        return self.ok_fields([])

    def cmd_19(self, f, fault, rec):
        h = self.handle(f)
        st = os.fstat(h.fd)
        if stat.S_ISBLK(st.st_mode):
            typ, size = 5, os.lseek(h.fd, 0, os.SEEK_END)
        else:
            typ, size = 2, st.st_size
        return self.ok_fields([("type", T_INT32, typ), ("len", T_INT64, size), ("offset", T_INT64, h.pos),
                               ("sector_bytes", T_INT32, 512), ("info", T_STRING, "kxsd test file")])

    def cmd_9(self, f, fault, rec):
        self.need(f, "path", "name", "len", "data")
        data = unpack_data(self.pack, f["data"], f["len"])
        full = self.path_of(os.path.join(f["path"], f["name"]))
        with open(full, "wb") as out:
            out.write(data)
        return self.ok_fields([("len", T_INT32, len(data))])

    def cmd_20(self, f, fault, rec):
        self.need(f, "fd", "cmd", "len", "data")
        code, data = f["cmd"], f["data"]
        if f["len"] != len(data):
            raise SrvError(-2, "len %d differs from the data's %d bytes" % (f["len"], len(data)))
        if f["fd"] != 0 and f["fd"] not in self.handles:
            raise SrvError(-4, "invalid fd %s" % f["fd"])
        text = data.rstrip(b"\0").decode("latin-1")
        if code == 10001:
            if text not in ("none", "lz4"):
                raise SrvError(-37, "unknown pack method [%s]" % text)
            if text == "lz4" and lz4block is None:
                raise SrvError(-37, "lz4 not available")
            self.pack = text
        elif code in CTL_FORMS:
            rec["args"] = ctl_args(code, data)
        return self.ok_fields([])

    # directories

    def cmd_41(self, f, fault, rec):
        self.need(f, "path")
        full = self.path_of(f["path"])
        names = sorted(os.listdir(full))
        pattern = f.get("pattern") or ""
        if pattern:
            names = [n for n in names if fnmatch.fnmatch(n, pattern)]
        sfd = self.next_fd
        self.next_fd += 1
        h = Handle(None, f["path"], 0, kind="dir")
        h.entries = [(n, os.lstat(os.path.join(full, n))) for n in names]
        self.handles[sfd] = h
        return self.ok_fields([("fd", T_INT64, sfd)])

    def listing(self, f, long_form):
        h = self.handle(f, "dir")
        self.need(f, "len")
        room = f["len"]
        out = b""
        while h.entry_idx < len(h.entries):
            name, st = h.entries[h.entry_idx]
            nums = [1 if stat.S_ISDIR(st.st_mode) else 2, st.st_mode, st.st_uid, st.st_gid, int(st.st_atime),
                    int(st.st_mtime), int(st.st_ctime), st.st_size]
            if long_form:
                nums += [st.st_atime_ns % 10**9, st.st_mtime_ns % 10**9, st.st_ctime_ns % 10**9, st.st_nlink,
                         st.st_dev, st.st_rdev, st.st_ino, st.st_blksize, st.st_blocks]
            line = ("\t".join(str(n) for n in nums) + "\t-\t" + name + "\n").encode("utf-8", "surrogateescape")
            if len(out) + len(line) + 1 > room:
                break
            out += line
            h.entry_idx += 1
        if h.entry_idx >= len(h.entries) and len(out) + 1 <= room:
            out += b"\n"
        return self.ok_fields([("len", T_INT32, len(out)), ("data", T_BINARY, pack_data(self.pack, out))])

    def cmd_42(self, f, fault, rec):
        return self.listing(f, False)

    def cmd_44(self, f, fault, rec):
        return self.listing(f, True)

    def cmd_43(self, f, fault, rec):
        self.handle(f, "dir")
        del self.handles[f["fd"]]
        return self.ok_fields([])

    def cmd_50(self, f, fault, rec):
        h = self.handle(f)
        self.need(f, "mode", "len", "offset")
        n = self.pattern_write(h, f["mode"], 1 << 20, f["offset"], f["len"], fault)
        return self.ok_fields([("len", T_INT32, n)])

    def pattern_write(self, h, value, bs, offset, length, fault):
        if fault and fault.kind == "shortwrite":
            length = max(length - fault.num("by", 1), 0)
        bs = bs or (1 << 20)
        done = 0
        while done < length:
            n = min(bs, length - done)
            block = os.urandom(n) if value == 256 else bytes([value & 0xFF]) * n
            w = os.pwrite(h.fd, block, offset + done)
            done += w
            if w < n:
                break
        return done

    # control command 8

    def cmd_8(self, f, fault, rec):
        self.need(f, "fd", "cmd", "data", "olen")
        code = f["cmd"]
        text = f["data"].rstrip(b"\0").decode("latin-1")
        answer = self.ioctl2(code, f, text, fault, rec)
        if answer is NO_REPLY:
            return NO_REPLY
        if isinstance(answer, str):
            answer = answer.encode("latin-1") + b"\0"
        if self.cfg.cut_olen and f["olen"] >= 0:
            answer = answer[:f["olen"]]
        return self.ok_fields([("data", T_BINARY, answer or b"")])

    def context_of(self, text):
        try:
            ctx = self.srv.contexts.get(int(text))
        except ValueError:
            ctx = None
        if ctx is None:
            raise SrvError(-2, "no context [%s]" % text)
        return ctx

    def text_fd(self, f, text_fd):
        fd = int(text_fd, 16)
        if fd != f["fd"]:
            raise SrvError(-2, "fd %x in the text, %d in the request" % (fd, f["fd"]))
        return self.handle(f)

    def read_range(self, h, offset, length, bs, each):
        """Calls each(block) for the blocks of [offset, offset+length); -110 when nothing is left."""
        done = 0
        while done < length:
            n = min(bs, length - done)
            block = os.pread(h.fd, n, offset + done)
            if not block:
                raise SrvError(-110, "Reached the end of the file.")
            each(block)
            done += len(block)
            if len(block) < n:
                break

    def ioctl2(self, code, f, text, fault, rec):
        parts = text.split("\t")
        if code == 10:
            return "allow_set_readonly=%s\n" % self.cfg.allow_set_readonly
        if code in (11, 10005, 10112):
            return b""
        if code == 101:
            with self.srv.lock:
                number = self.srv.next_ctx
                self.srv.next_ctx += 1
                self.ctx = self.srv.contexts[number] = Context(number, self)
            return b""
        if code == 102:
            if self.ctx is None:
                raise SrvError(-2, "no context")
            return str(self.ctx.id)
        if code == 103:
            if text == "0":
                # The count starts again: this request is number 1.
                if self.ctx is not None:
                    self.ctx.count = 1
                else:
                    self.requests = 1
                return "0"
            ctx = self.context_of(text)
            return str(ctx.count - (1 if ctx is self.ctx else 0))
        if code in (104, 105):
            try:
                ctx = self.context_of(text)
            except SrvError as exc:
                if code == 104:
                    raise
                # 105 is never answered, not even with an error.
                rec["error"] = exc.text
                return NO_REPLY
            # This connection takes the context over, with its files and
            # pack method; the requests from here on count in it.
            self.handles = ctx.handles
            self.pack = ctx.owner.pack
            ctx.owner = self
            self.ctx = ctx
            rec["attached"] = ctx.id
            if code == 105:
                if ctx.last_reply is None:
                    raise SrvError(-2, "no reply to re-deliver")
                self.redeliver = ctx.last_reply
                return NO_REPLY
            return b""
        if code == 106:
            self.context_of(text)
            return "0"
        if code == 107:
            # The context stops once its connection has served every request
            # that reached it.
            ctx = self.context_of(text)
            if ctx.owner is not self:
                ctx.owner.done.wait(20)
            return b""
        if code == 10001:
            return "\t".join("0" for _ in range(11))
        if code in (10002, 10003, 10004, 10101, 10111):
            return "ok"
        if code == 10050:
            h = self.handle(f, "dir")
            h.entry_idx = int(text or "0")
            return b""
        if code == 10100:
            return "disk tool not available"
        if code == 10110:
            return "%x" % supported_mask()
        if code == 10103:
            if len(parts) < 4:
                raise SrvError(-2, "hash start [%s]" % text)
            h = self.text_fd(f, parts[0])
            flags, bs = int(parts[1]), int(parts[2])
            state = text.split("\t", 4)[4] if len(parts) > 4 else ""
            if flags == 0 or flags >= 4096 or bs == 0:
                raise SrvError(-2, "hash flags 0x%x bs %d" % (flags, bs))
            if flags >= 1024 and not version_at_least(self.cfg.ver, "1.6.3"):
                raise SrvError(-12, "xxh3 not supported before 1.6.3")
            h.hash = HashJob(flags, bs, state)
            return b""
        if code in (10104, 10107, 10108):
            if len(parts) != 2:
                raise SrvError(-2, "range text [%s]" % text)
            h = self.handle(f)
            offset, length = int(parts[0]), int(parts[1])
            rec["range"] = [offset, length]
            if code == 10104:
                if h.hash is None:
                    raise SrvError(-2, "no hash job")
                if not self.cfg.hash_dry:
                    self.read_range(h, offset, length, h.hash.bs, h.hash.update)
                return h.hash.state_text()
            if code == 10107:
                if h.bcount is None:
                    raise SrvError(-2, "no byte-count job")
                counts = h.bcount[1]

                def count(block):
                    for i, c in enumerate(bytes_histogram(block)):
                        counts[i] += c
                if not self.cfg.hash_dry:
                    self.read_range(h, offset, length, h.bcount[0], count)
                return ",".join("%x" % c for c in counts)
            if h.pattern is None:
                raise SrvError(-2, "no pattern set-up")
            n = self.pattern_write(h, h.pattern[0], h.pattern[1], offset, length, fault)
            return str(n)
        if code == 10105:
            h = self.handle(f)
            if h.hash is None:
                raise SrvError(-2, "no hash job")
            return h.hash.final(int(text))
        if code == 10113:
            h = self.handle(f)
            if h.hash is None:
                raise SrvError(-2, "no hash job")
            return h.hash.take_records()
        if code == 10106:
            if len(parts) < 4:
                raise SrvError(-2, "byte-count start [%s]" % text)
            h = self.text_fd(f, parts[0])
            bs = int(parts[2]) or 0x200000
            saved = text.split("\t", 4)[4] if len(parts) > 4 else ""
            fields = saved.split(",") if saved else []
            counts = [int(x, 16) for x in fields] if len(fields) == 256 else [0] * 256
            h.bcount = (bs, counts)
            return b""
        if code == 10109:
            if len(parts) != 3:
                raise SrvError(-2, "pattern set-up [%s]" % text)
            h = self.text_fd(f, parts[0])
            h.pattern = (int(parts[1]), int(parts[2]))
            return b""
        raise SrvError(-37, "invliad cmd_code=%d" % code)


def bytes_histogram(block):
    counts = [0] * 256
    for v in set(block):  # bytes.count is fast enough for test-sized data
        counts[v] = block.count(v)
    return counts


def sha_form(pwd):
    """The "{SHA}" form of a password; the empty text for an empty one."""
    if not pwd:
        return ""
    return "{SHA}" + base64.b64encode(hashlib.sha1(pwd.encode()).digest()).decode()


def eval_len(expr, want):
    expr = expr.strip()
    if expr.startswith("2x"):
        return 2 * want + (int(expr[3:]) if expr[2:3] == "+" else 0)
    if expr.startswith("+"):
        return want + int(expr[1:])
    return int(expr)


def filler(n, data):
    out = bytes(data[:n])
    return out + bytes((i * 7 + 1) & 0xFF for i in range(n - len(out)))


def version_at_least(ver, want):
    def parts(v):
        return [int(x) if x.isdigit() else 0 for x in v.split(".")]
    a, b = parts(ver), parts(want)
    n = max(len(a), len(b))
    return a + [0] * (n - len(a)) >= b + [0] * (n - len(b))


# ---------------------------------------------------------------- start-up

def parse_args(argv):
    p = argparse.ArgumentParser(description="kxsd protocol test server")
    p.add_argument("--root", default=".", help="directory the served paths are under")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--proto", type=int, default=1, help="protocol byte of the replies (1: {SHA} login)")
    p.add_argument("--user", default="user")
    p.add_argument("--password", default="pass")
    p.add_argument("--salt", default="QKZTW", help="salt of the challenge login key")
    p.add_argument("--cert", default="", help="fixed challenge text (default: 256 random hex digits)")
    p.add_argument("--probe", choices=("accept", "refuse"), default="refuse")
    p.add_argument("--ver", default="1.6.8")
    p.add_argument("--plat", default="linux")
    p.add_argument("--arch", default="x86_64")
    p.add_argument("--os-type", type=int, default=0, help="1: a Windows server (positive error numbers)")
    p.add_argument("--lsblk", default="[]")
    p.add_argument("--allow-set-readonly", default="1")
    p.add_argument("--log", default="", help="JSON-lines log of the requests")
    p.add_argument("--fault", action="append", default=[], help="KIND[:key=value,...], repeatable")
    p.add_argument("--max-conns", type=int, default=0, help="exit after this many connections ended")
    p.add_argument("--no-login-check", action="store_true", help="serve commands before a login")
    p.add_argument("--cut-olen", action="store_true", help="cut control answers to the request's olen")
    p.add_argument("--hash-dry", action="store_true", help="hash and count steps only log their ranges")
    p.add_argument("--tls-cert", default="")
    p.add_argument("--tls-key", default="")
    p.add_argument("--tls-ciphers", default="")
    p.add_argument("--self-check", action="store_true")
    p.add_argument("--list-faults", action="store_true")
    return p.parse_args(argv)


def run_conn(srv, sock, number, tls):
    if tls is not None:
        # The handshake runs here, so that a silent client holds up no other.
        try:
            sock = tls.wrap_socket(sock, server_side=True)
        except (ssl.SSLError, OSError) as exc:
            srv.log({"event": "tls_error", "conn": number, "text": str(exc)})
            sock.close()
            srv.conn_ended()
            return
    Conn(srv, sock, number).run()


def serve(cfg, ready=None):
    srv = Server(cfg)
    lsock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lsock.bind((cfg.host, cfg.port))
    lsock.listen(64)
    lsock.settimeout(0.2)
    tls = None
    if cfg.tls_cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(cfg.tls_cert, cfg.tls_key or None)
        if cfg.tls_ciphers:
            tls.maximum_version = ssl.TLSVersion.TLSv1_2
            tls.set_ciphers(cfg.tls_ciphers)
    port = lsock.getsockname()[1]
    if ready is not None:
        ready(port, srv)
    else:
        sys.stdout.write("%d\n" % port)
        sys.stdout.flush()
    while not srv.done.is_set():
        try:
            sock, _ = lsock.accept()
        except socket.timeout:
            continue
        sock.settimeout(None)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with srv.lock:
            srv.conns += 1
            number = srv.conns
        threading.Thread(target=run_conn, args=(srv, sock, number, tls), daemon=True).start()
    lsock.close()
    return 0


# ---------------------------------------------------------------- self-check

class LoopbackSession:
    """A server on a thread of this process and one client connection to it."""

    def __init__(self, args):
        self.cfg = parse_args(args + ["--max-conns", "1"])
        self.proto = None

    def __enter__(self):
        box = {}
        started = threading.Event()

        def ready(port, srv):
            box["port"] = port
            started.set()
        self.thread = threading.Thread(target=serve, args=(self.cfg, ready), daemon=True)
        self.thread.start()
        started.wait(10)
        self.sock = socket.create_connection(("127.0.0.1", box["port"]), timeout=10)
        return self

    def __exit__(self, *exc):
        self.sock.close()
        self.thread.join(10)

    def call(self, cmd, fields):
        self.sock.sendall(b"KX\x01" + bytes([cmd]) + enc_root([enc_field(*f) for f in fields]))
        head = recv_exact(self.sock, 8)
        if self.proto is None:
            self.proto = head[2]
        raw = struct.unpack_from(">I", head, 4)[0] & MAX_LEN
        body = head[4:] + recv_exact(self.sock, pad4(raw) - 4)
        return {n: dec_value(t, p) for n, t, p in dec_attrs(body, 4, raw)}

    def ioctl2(self, fd, code, data, olen):
        r = self.call(8, [("fd", T_INT64, fd), ("cmd", T_INT32, code), ("data", T_BINARY, data),
                          ("olen", T_INT32, olen)])
        if r["errno"] != 0:
            return "errno %d: %s" % (r["errno"], r["errno_str"])
        return r["data"]


def self_check():
    fails = []

    def expect(what, got, want):
        if got != want:
            fails.append("%s: got %r, want %r" % (what, got, want))

    # Golden attributes.
    expect("fd int64 7", enc_field("fd", T_INT64, 7).hex(), "8500001400026664000000000000000000000007")
    expect("errno int32 0", enc_field("errno", T_INT32, 0).hex(), "8600001000056572726e6f0000000000")
    expect("errno_str empty", enc_field("errno_str", T_STRING, "").hex(),
           "84000011" "0009" "6572726e6f5f737472" "00" "00" "000000")
    for n, h in ((1, 4), (2, 8), (5, 8), (6, 12)):
        expect("header of %d letters" % n, hdr_len(n), h)
    sync = b"KX\x01\x0e" + enc_root([enc_field("fd", T_INT64, 3)])
    expect("sync request", sync.hex(), "4b58010e020000188500001400026664000000000000000000000003")
    reply = enc_root([enc_field("errno", T_INT32, 0), enc_field("errno_str", T_STRING, "")])
    expect("empty reply length", len(reply) + 4, 44)
    # Malformed attributes are refused.
    bad_hdr = struct.pack(">IH", NAMED | (T_BINARY << 24) | 10, 4) + b"data" + b"\0\0"
    expect("overrunning header", isinstance(check_attr(bad_hdr, 0, 10), str), True)
    expect("int32 of 5 bytes", isinstance(check_attr(enc_attr("x", T_INT32, b"12345"), 0, 13), str), True)
    expect("string without NUL", isinstance(check_attr(enc_attr("s", T_STRING, b"ab"), 0, 10), str), True)
    expect("round trip", [(n, t, dec_value(t, p)) for n, t, p in
                          dec_attrs(reply, 4, len(reply))], [("errno", T_INT32, 0), ("errno_str", T_STRING, "")])
    expect("crc8 check value", crc8(b"123456789"), 0xF4)
    expect("version gate", (version_at_least("1.6.4", "1.6.4"), version_at_least("1.6.3", "1.6.4"),
                            version_at_least("1.10.0", "1.6.4")), (True, False, True))

    # Loopback sessions against real listeners.
    import tempfile
    with tempfile.TemporaryDirectory() as root:
        data = bytes(random.Random(1).getrandbits(8) for _ in range(300000))
        with open(os.path.join(root, "img"), "wb") as out:
            out.write(data)

        with LoopbackSession(["--root", root, "--fault", "errno:cmd=16,value=-38,text=refused"]) as c:
            r = c.call(1, [("user", T_STRING, ":"), ("passwd", T_STRING, "")])
            expect("probe refused", r["errno"], 1)
            r = c.call(1, [("user", T_STRING, "user"), ("passwd", T_STRING, sha_form("bad"))])
            expect("wrong {SHA} password", (r["errno"], r["errno_str"]), (1, "Wrong user or password"))
            r = c.call(1, [("user", T_STRING, "user"), ("passwd", T_STRING, sha_form("pass"))])
            expect("{SHA} login", r["errno"], 0)
            r = c.call(20, [("fd", T_INT64, 0), ("cmd", T_INT32, 10001), ("len", T_INT32, 4),
                            ("data", T_BINARY, b"lz4\0")])
            expect("pack switch", r["errno"], 0)
            fd = c.call(10, [("path", T_STRING, "/img"), ("mode", T_INT64, 0x4)])["fd"]
            r = c.call(29, [("fd", T_INT64, fd), ("len", T_INT32, 200000), ("offset", T_INT64, 1000)])
            expect("packed read", unpack_data("lz4", r["data"], r["len"]), data[1000:201000])
            block = b"\xab" * 5000
            r = c.call(30, [("fd", T_INT64, fd), ("flags", T_INT32, 0), ("len", T_INT32, 5000),
                            ("offset", T_INT64, 10), ("data", T_BINARY, pack_data("lz4", block))])
            expect("packed write", r["len"], 5000)
            data = data[:10] + block + data[5010:]
            r = c.call(19, [("fd", T_INT64, fd)])
            expect("file info", (r["type"], r["len"], r["offset"], r["sector_bytes"]), (2, 300000, 5010, 512))
            expect("hash mask", c.ioctl2(fd, 10110, b"", 64), b"%x\0" % supported_mask())
            start = "%x\t%u\t%u\t%u\t" % (fd, 0x1 | 0x2 | 0x10 | 0x4, 65536, 1)
            expect("hash start", c.ioctl2(fd, 10103, start.encode() + b"\0", 0), b"")
            state = c.ioctl2(fd, 10104, b"0\t131072\0", 8192).rstrip(b"\0").decode()
            expect("state lines", [line.split(" ")[0] for line in state.split("\n")],
                   ["md5", "sha1", "sha256", "pmd5"])
            recs = c.ioctl2(fd, 10113, b"", 65536).rstrip(b"\0").decode()
            expect("per-block records", recs, "pmd5 " + "|".join(
                hashlib.md5(data[i:i + 65536]).hexdigest() for i in (0, 65536)))
            # A new job resumes from the state text, here on the same connection.
            expect("hash restart", c.ioctl2(fd, 10103, (start + state).encode() + b"\0", 0), b"")
            c.ioctl2(fd, 10104, b"131072\t168928\0", 8192)
            for bit, algo in ((1, "md5"), (2, "sha1"), (0x10, "sha256")):
                expect(algo, c.ioctl2(fd, 10105, b"%d\0" % bit, 64), hashlib.new(algo, data).digest())
            sums = [0] * 16
            for i in range(0, len(data), 65536):
                for k, b in enumerate(hashlib.md5(data[i:i + 65536]).digest()):
                    sums[k] += b
            expect("pmd5", c.ioctl2(fd, 10105, b"4\0", 64), bytes(crc8(struct.pack("<I", x)) for x in sums))
            c.ioctl2(fd, 10106, ("%x\t0\t65536\t1\t" % fd).encode() + b"\0", 0)
            counts = c.ioctl2(fd, 10107, b"0\t300000\0", 8192).rstrip(b"\0").decode()
            expect("byte counts", [int(x, 16) for x in counts.split(",")], [data.count(v) for v in range(256)])
            c.ioctl2(fd, 10109, ("%x\t%u\t%u" % (fd, 0x5a, 4096)).encode() + b"\0", 0)
            expect("pattern write", c.ioctl2(fd, 10108, b"1000\t10000\0", 512), b"10000\0")
            r = c.call(50, [("fd", T_INT64, fd), ("mode", T_INT32, 0), ("len", T_INT32, 100),
                            ("offset", T_INT64, 0)])
            expect("pattern write (command 50)", r["len"], 100)
            with open(os.path.join(root, "img"), "rb") as f:
                now = f.read()
            expect("patterns on disk", (now[:100], now[1000:11000]), (b"\0" * 100, b"\x5a" * 10000))
            r = c.call(16, [("fd", T_INT64, fd), ("len", T_INT64, 0)])
            expect("injected errno", (r["errno"], r["errno_str"]), (-38, "refused"))
            r = c.call(7, [("path", T_STRING, "/img")])
            expect("long stat", (r["len"], len(r)), (300000, 19))
            os.mkdir(os.path.join(root, "d"))
            for name in ("a", "b"):
                open(os.path.join(root, "d", name), "w").close()
            dfd = c.call(41, [("path", T_STRING, "/d"), ("pattern", T_STRING, "")])["fd"]
            r = c.call(44, [("fd", T_INT64, dfd), ("len", T_INT32, 4096)])
            lines = unpack_data("lz4", r["data"], r["len"]).decode().split("\n")
            expect("listing", ([len(x.split("\t")) for x in lines[:2]], [x.split("\t")[-1] for x in lines[:2]],
                               lines[2:]), ([19, 19], ["a", "b"], ["", ""]))
            expect("close", c.call(11, [("fd", T_INT64, fd)])["errno"], 0)
            expect("closed fd", c.call(14, [("fd", T_INT64, fd)])["errno"], -4)

        with LoopbackSession(["--root", root, "--proto", "2", "--cert", "c" * 256]) as c:
            r = c.call(1, [("user", T_STRING, ":"), ("passwd", T_STRING, "")])
            expect("probe refused, protocol 2", (r["errno"], c.proto), (1, 2))
            r = c.call(90, [("user", T_STRING, "user"), ("ver", T_INT32, 1)])
            expect("challenge", (r["ver"], r["cert"]), (1, "c" * 256))
            key = hashlib.sha1(("QKZTW" + "user" + "pass" + "c" * 256).encode()).hexdigest()
            expect("challenge login", c.call(91, [("lkey", T_STRING, key)])["errno"], 0)
            info = c.call(4, [("param", T_STRING, "")])["info"]
            expect("info", info.split("\n")[0], "ver=[1.6.8]")

        with LoopbackSession(["--root", root, "--probe", "accept"]) as c:
            expect("probe accepted", c.call(1, [("user", T_STRING, ":"), ("passwd", T_STRING, "")])["errno"], 0)
            expect("logged in", c.call(4, [("param", T_STRING, "")])["errno"], 0)

        with LoopbackSession(["--root", root]) as c:
            expect("login required", c.call(4, [("param", T_STRING, "")])["errno"], -10)

        with LoopbackSession(["--root", root, "--no-login-check", "--ver", "1.6.3"]) as c:
            r = c.call(29, [("fd", T_INT64, 7), ("len", T_INT32, 1), ("offset", T_INT64, 0)])
            expect("read at an offset before 1.6.4", r["errno"], -12)
            r = c.call(10, [("path", T_STRING, "/img"), ("mode", T_INT64, 0x10001)])
            expect("vss open before 1.6.7", r["errno"], -12)
            expect("mask at 1.6.3", c.ioctl2(0, 10110, b"", 64), b"%x\0" % supported_mask())
            expect("per-block results before 1.6.8", c.ioctl2(0, 10113, b"", 64)[:9], "errno -12")

        with LoopbackSession(["--root", root, "--no-login-check", "--fault", "datalen:cmd=29,value=2x+1",
                              "--fault", "shortwrite:cmd=13,by=3"]) as c:
            fd = c.call(10, [("path", T_STRING, "/img"), ("mode", T_INT64, 0x4)])["fd"]
            r = c.call(29, [("fd", T_INT64, fd), ("len", T_INT32, 100), ("offset", T_INT64, 0)])
            expect("data of 2x+1", (r["len"], len(r["data"])), (100, 201))
            r = c.call(13, [("fd", T_INT64, fd), ("flags", T_INT32, 0), ("len", T_INT32, 10),
                            ("data", T_BINARY, b"0123456789")])
            expect("short write", r["len"], 7)

    if fails:
        for f in fails:
            print("FAIL " + f)
        print("0 passed, %d failed" % len(fails))
        return 1
    print("self-check ok")
    return 0


def main(argv):
    cfg = parse_args(argv)
    if cfg.list_faults:
        for k, v in FAULT_KINDS.items():
            print("%-10s %s" % (k, v))
        return 0
    if cfg.self_check:
        return self_check()
    for spec in cfg.fault:
        Fault(spec)  # refuse a bad rule before printing the port
    if lz4block is None:
        sys.stderr.write("kxsd_server: python3-lz4 is missing; only the \"none\" pack method works\n")
    return serve(cfg)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
