#!/usr/bin/env python3
"""Cases of the layer check (scripts/check_layers.py), each on a small tree
made here: it passes a tree that keeps the order and fails, naming the file
and line, on a reference to a library above."""
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.normpath(os.path.join(HERE, "..", "..", "scripts", "check_layers.py"))

# A tree that keeps the order: every reference goes down.
BASE = {
    "src/lib/libpal/CMakeLists.txt": "add_library(pal STATIC a.cpp)\ntarget_link_libraries(pal PUBLIC Threads::Threads)\n",
    "src/lib/libpal/basic/a.cpp": '#include "libpal/basic/a.h"\n',
    "src/lib/libnet/CMakeLists.txt": textwrap.dedent("""\
        add_library(net STATIC n.cpp)
        # links block for nothing: a comment is not a link
        target_link_libraries(net PUBLIC
                              pal)
        """),
    "src/lib/libnet/net_sock.cpp": '// sockets\n#include <atomic>\n#include "libpal/basic/stop_flag.h"\n',
    "src/lib/libssl/CMakeLists.txt": "add_library(kxssl STATIC s.cpp)\ntarget_link_libraries(kxssl PUBLIC net pal)\n",
    "src/lib/libblock/CMakeLists.txt": "add_library(block STATIC b.cpp)\ntarget_link_libraries(block PUBLIC net kxssl pal)\n",
    "src/lib/libblock/bd.h": '#pragma once\n#include "libnet/net_chan.h"\n#include "libpal/basic/stop_flag.h"\n',
}

# (name, files changed or added over BASE, exit status, texts the report holds)
CASES = [
    ("clean", {}, 0, []),
    ("back-include", {"src/lib/libnet/net_sock.cpp": '// sockets\n#include <atomic>\n#include "libblock/bd.h"\n'},
     1, ["src/lib/libnet/net_sock.cpp:3: libnet includes libblock, which is above it"]),
    ("back-include deep in the platform layer",
     {"src/lib/libpal/os/posix/x.cpp": '\n  #  include "libnet/net_chan.h"\n'},
     1, ["src/lib/libpal/os/posix/x.cpp:2: libpal includes libnet"]),
    ("back-link on a continued line", {"src/lib/libnet/CMakeLists.txt": textwrap.dedent("""\
        add_library(net STATIC n.cpp)
        target_link_libraries(net PUBLIC
                              block pal)
        """)}, 1, ["src/lib/libnet/CMakeLists.txt:3: libnet links libblock, which is above it"]),
    ("back-link through a target named apart from its directory",
     {"src/lib/libnet/CMakeLists.txt": "add_library(net STATIC n.cpp)\ntarget_link_libraries(net PUBLIC kxssl)\n"},
     1, ["src/lib/libnet/CMakeLists.txt:2: libnet links libssl, which is above it"]),
    ("a library missing from the table", {"src/lib/libnew/n.cpp": '#include "libpal/basic/a.h"\n'},
     1, ["src/lib/libnew: library missing from the layer table"]),
    ("an include of a library missing from the table",
     {"src/lib/libnet/n.cpp": '#include "libnowhere/x.h"\n'},
     1, ["src/lib/libnet/n.cpp:1: libnet includes libnowhere, which is not in the layer table"]),
    ("an allowed upward reference from a file listed for it", {
        "src/lib/liblog/CMakeLists.txt": "add_library(log STATIC l.cpp)\ntarget_link_libraries(log PUBLIC pal)\n",
        "src/lib/libpal/basic/verr.cpp": '#include "liblog/log2.h"\n',
        "src/lib/libpal/CMakeLists.txt": "add_library(pal STATIC a.cpp)\ntarget_link_libraries(pal PUBLIC log)\n",
    }, 0, []),
    # The exceptions name files: another file of the same library may not
    # reach up the same way unseen.
    ("an upward reference from a file not listed, the pair allowed elsewhere", {
        "src/lib/liblog/CMakeLists.txt": "add_library(log STATIC l.cpp)\ntarget_link_libraries(log PUBLIC pal)\n",
        "src/lib/libpal/basic/verr.cpp": '#include "liblog/log2.h"\n',
        "src/lib/libpal/basic/a.cpp": '// new\n#include "liblog/log2.h"\n',
    }, 1, ["src/lib/libpal/basic/a.cpp:2: libpal includes liblog, which is above it"]),
]


def make_tree(root, files):
    for rel, text in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)


class LayerCheck(unittest.TestCase):
    def test_cases(self):
        for name, extra, status, texts in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as root:
                make_tree(root, {**BASE, **extra})
                r = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
                self.assertEqual(r.returncode, status, r.stdout + r.stderr)
                for t in texts:
                    self.assertIn(t, r.stdout)
                if status == 0:
                    self.assertEqual(r.stdout, "")

    def test_every_back_reference_is_named(self):
        # Two bad files and a bad link: each is reported, not only the first.
        with tempfile.TemporaryDirectory() as root:
            make_tree(root, {**BASE,
                             "src/lib/libpal/p1.cpp": '#include "libblock/bd.h"\n',
                             "src/lib/libnet/n2.h": '#pragma once\n#include "libssl/ssl_cli.h"\n',
                             "src/lib/libpal/CMakeLists.txt": "add_library(pal STATIC)\n"
                                                              "target_link_libraries(pal PUBLIC net)\n"})
            r = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
            self.assertEqual(r.returncode, 1)
            self.assertEqual(sorted(r.stdout.splitlines()), sorted([
                "src/lib/libnet/n2.h:2: libnet includes libssl, which is above it",
                "src/lib/libpal/CMakeLists.txt:2: libpal links libnet, which is above it",
                "src/lib/libpal/p1.cpp:1: libpal includes libblock, which is above it",
            ]))


if __name__ == "__main__":
    unittest.main()
