#!/usr/bin/python3
"""A scripted TLS server for the tests of the TLS client.

usage: tls_peer.py CERT KEY CIPHERS STEP...

Listens on 127.0.0.1 (any free port), prints "port N", accepts one
connection, runs the TLS handshake (TLS 1.2 at most, the given OpenSSL
cipher string, "ALL" for no restriction) and prints "cipher NAME VERSION",
or "handshake_error TEXT" and exits. Then runs the steps in order:

  recv:N      read exactly N bytes
  sha         send the SHA-256 digest (32 bytes) of all bytes read so far
  send:N      send N pattern bytes: byte i of the stream is (i + i // 65536) % 256
  notify      send the close-notify alert and close the connection
  abort       close the connection without the alert
  wait_close  read until the client ends; print "peer_close=notify" (alert
              received) or "peer_close=ragged" (connection closed without it)
  hold        read and drop whatever comes until the client closes the connection
  stall       read nothing at all until the test closes this program's input

Every line is flushed at once so the test can follow along.
"""
import hashlib
import os
import socket
import ssl
import sys


def say(text):
    print(text, flush=True)


BLOCK = bytes(range(256)) * 256


def pattern(start, n):
    """Byte i of the stream is (i + i // 65536) % 256: every 64 KiB block is
    the same run of all byte values, turned by one more each block."""
    out = bytearray()
    while n:
        block, off = divmod(start, 65536)
        turned = BLOCK[block % 256:] + BLOCK[:block % 256]
        piece = turned[off:off + n]
        out += piece
        start += len(piece)
        n -= len(piece)
    return bytes(out)


def main():
    cert, key, ciphers, steps = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    if ciphers != "ALL":
        ctx.set_ciphers(ciphers)
    ctx.load_cert_chain(cert, key)
    lsock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    lsock.bind(("127.0.0.1", 0))
    lsock.listen(1)
    say("port %d" % lsock.getsockname()[1])
    raw, _ = lsock.accept()
    lsock.close()
    try:
        conn = ctx.wrap_socket(raw, server_side=True, suppress_ragged_eofs=False)
    except (ssl.SSLError, OSError) as e:
        say("handshake_error %s" % e)
        return
    say("cipher %s %s" % (conn.cipher()[0], conn.version()))
    digest = hashlib.sha256()
    sent = 0
    for step in steps:
        name, _, arg = step.partition(":")
        if name == "recv":
            left = int(arg)
            while left:
                chunk = conn.recv(min(left, 1 << 16))
                if not chunk:
                    say("recv_short %d" % left)
                    return
                digest.update(chunk)
                left -= len(chunk)
        elif name == "sha":
            conn.sendall(digest.digest())
        elif name == "send":
            n = int(arg)
            # In pieces, so the pattern is never held whole.
            while n:
                piece = min(n, 1 << 20)
                conn.sendall(pattern(sent, piece))
                sent += piece
                n -= piece
        elif name == "notify":
            conn.unwrap().close()
            return
        elif name == "abort":
            # Closing an SSL socket sends no alert; the shutdown makes sure
            # the connection ends now.
            socket.socket(fileno=os.dup(conn.fileno())).shutdown(socket.SHUT_RDWR)
            conn.close()
            return
        elif name == "wait_close":
            try:
                while conn.recv(1 << 16):
                    pass
                say("peer_close=notify")
            except (ssl.SSLEOFError, ConnectionResetError):
                say("peer_close=ragged")
            return
        elif name == "stall":
            sys.stdin.read()
            return
        elif name == "hold":
            try:
                while conn.recv(1 << 16):
                    pass
            except (ssl.SSLError, OSError):
                pass
            return
    conn.close()


if __name__ == "__main__":
    main()
