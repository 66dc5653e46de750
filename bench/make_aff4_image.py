#!/usr/bin/python3
"""Writes an AFF4 image of a raw file with the tests' own AFF4 writer.

    make_aff4_image.py METHOD RAW OUT.aff4

METHOD is a chunk compression the writer knows (deflate, snappy, lz4,
deflate-raw, stored). The image has 32 KiB chunks, 1024 to a bevy, and one map
entry over the whole stream, as the common imagers write them. The whole image
is built in memory (about three times the raw file).
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "lib", "libaff4"))
import make_aff4  # noqa: E402  (the tests' writer)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    method, raw, out = sys.argv[1:]
    with open(raw, "rb") as f:
        data = f.read()
    name = "bench-" + method
    s = make_aff4.Stream(name + "/stream", data, method, 32768, 1024)
    m = make_aff4.Map(name + "/map", len(data), [(0, len(data), 0, s.uri)], gap=make_aff4.ZERO)
    image = make_aff4.Image(name, [s], m)
    # Containers of 4 GiB or more need zip64 headers.
    blob = image.container(zip64=len(data) >= (4 << 30) - (64 << 20))
    with open(out + ".tmp", "wb") as f:
        f.write(blob)
    os.replace(out + ".tmp", out)


if __name__ == "__main__":
    main()
