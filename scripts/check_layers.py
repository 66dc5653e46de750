#!/usr/bin/env python3
"""The layer check: a library includes and links only libraries below it.

Reads every #include "libX/..." of the files under src/lib/libY/ and the
target_link_libraries of each src/lib/libY/CMakeLists.txt, and fails naming
the file and line of every reference to a library above libY. ARCHITECTURE.md
explains the layers; this table is the one that counts.

    scripts/check_layers.py [ROOT]    (ROOT: the project's top directory)

Exit status: 0 clean, 1 a violation or an unknown library, 2 bad usage.
"""
import os
import re
import sys

# The libraries from the bottom to the top (directory names under src/lib).
LAYERS = [
    "libaff4",   # AFF4 image reader, a shared library loaded at run time
    "libpal",    # platform layer
    "liblog",    # logger
    "libconf",   # ini configuration
    "libbsv",    # binary log records
    "libbsvf",   # capture files of binary log records
    "libpack",   # block packing
    "libcrypt",  # block ciphers
    "libpwd",    # login keys and password forms
    "libvdi",    # VDI reader
    "libvmdk",   # stream-optimized VMDK writer
    "libkxcli",  # client configuration: sessions, aliases, proxy file path
    "libnet",    # sockets with deadlines, proxies, channels
    "libssl",    # TLS client
    "libkxsd",   # remote storage client
    "libkxz",    # compressed image
    "libblock",  # device interface, driver registry, drivers
    "libpart",   # partition-table readers
    "libkxi",    # cache image
    "libdd",     # copy engine
]

# References upward that stand for now, each with its reason and the files
# that make it: (library, the library above it that it uses) -> (reason,
# files). A file's entry covers its includes of that library, a
# CMakeLists.txt's its link; any other file of the library that reaches up
# is reported, so no new back-reference comes in unseen.
ALLOWED_UPWARD = {
    ('libpal', 'liblog'): (
        "the platform layer logs through the logger, which is built on the platform layer: "
        "the two are one unit (a static link cycle)",
        [
            "src/lib/libpal/CMakeLists.txt",
            "src/lib/libpal/basic/dict.cpp",
            "src/lib/libpal/basic/pl_assert.cpp",
            "src/lib/libpal/basic/pl_cmp.cpp",
            "src/lib/libpal/basic/thread_pool.cpp",
            "src/lib/libpal/basic/verr.cpp",
            "src/lib/libpal/env/os_dl.cpp",
            "src/lib/libpal/env/os_machine.cpp",
            "src/lib/libpal/env/os_opt.cpp",
            "src/lib/libpal/env/pl_env.cpp",
            "src/lib/libpal/env/pl_init.cpp",
            "src/lib/libpal/hash/file_bcount.cpp",
            "src/lib/libpal/hash/file_hash.cpp",
            "src/lib/libpal/hash/file_job.cpp",
            "src/lib/libpal/hash/xxh.cpp",
            "src/lib/libpal/memory/mbuf.cpp",
            "src/lib/libpal/memory/mem_add.cpp",
            "src/lib/libpal/memory/memory.cpp",
            "src/lib/libpal/memory/pl_mem.cpp",
            "src/lib/libpal/memory/random.cpp",
            "src/lib/libpal/memory/rbuf.cpp",
            "src/lib/libpal/network/url.cpp",
            "src/lib/libpal/os/os_file.cpp",
            "src/lib/libpal/os/os_fileutil.cpp",
            "src/lib/libpal/os/os_pf_flags.cpp",
            "src/lib/libpal/os/os_thread.cpp",
            "src/lib/libpal/os/posix/name_pipe_srv.cpp",
            "src/lib/libpal/os/posix/os_daemon.cpp",
            "src/lib/libpal/os/posix/os_file_local.cpp",
            "src/lib/libpal/os/posix/os_fs_type.cpp",
            "src/lib/libpal/os/posix/os_info.cpp",
            "src/lib/libpal/os/posix/os_panic.cpp",
            "src/lib/libpal/os/posix/os_popen.cpp",
            "src/lib/libpal/os/posix/os_serial.cpp",
            "src/lib/libpal/os/posix/os_socket.cpp",
            "src/lib/libpal/os/posix/os_system.cpp",
            "src/lib/libpal/os/posix/os_udp.cpp",
            "src/lib/libpal/qexpr/qexpr_filter.cpp",
            "src/lib/libpal/qexpr/qexpr_operate.cpp",
            "src/lib/libpal/qexpr/qexpr_parse.cpp",
            "src/lib/libpal/qexpr/qexpr_rules.cpp",
            "src/lib/libpal/regex/regex_ex.cpp",
            "src/lib/libpal/string/str_escape.cpp",
            "src/lib/libpal/string/str_kv.cpp",
            "src/lib/libpal/string/str_safe.cpp",
            "src/lib/libpal/string/str_search.cpp",
            "src/lib/libpal/string/str_size.cpp",
            "src/lib/libpal/string/str_vector.cpp",
            "src/lib/libpal/tframe/app.cpp",
        ],
    ),
    ('liblog', 'libconf'): (
        "the logger reads its section of the ini file, and the ini layer logs",
        [
            "src/lib/liblog/CMakeLists.txt",
            "src/lib/liblog/log2.cpp",
        ],
    ),
    ('liblog', 'libbsv'): (
        "the logger's binary-record outputs (UDP records), which log in turn",
        [
            "src/lib/liblog/CMakeLists.txt",
            "src/lib/liblog/log2.cpp",
            "src/lib/liblog/log_bsv_udp.cpp",
            "src/lib/liblog/log_file.cpp",
        ],
    ),
    ('liblog', 'libbsvf'): (
        "the logger's capture-file output, which logs in turn",
        [
            "src/lib/liblog/CMakeLists.txt",
            "src/lib/liblog/log_file.cpp",
        ],
    ),
    ('libblock', 'libpart'): (
        "the open asks the partition readers for a volume's window, and the readers read the "
        "whole device through the block layer",
        [
            "src/lib/libblock/CMakeLists.txt",
            "src/lib/libblock/bd_open.cpp",
        ],
    ),
    ('libblock', 'libkxi'): (
        "the cache-image driver (plug_kxi.cpp) and BLOCK_GET_CACHE_NAME reach the cache "
        "image, which opens its base device through the block layer",
        [
            "src/lib/libblock/CMakeLists.txt",
            "src/lib/libblock/bd_io.cpp",
            "src/lib/libblock/plug_kxi.cpp",
        ],
    ),
}

SOURCE_EXTS = (".h", ".hpp", ".hh", ".c", ".cc", ".cpp", ".cxx", ".inc")
INCLUDE_RE = re.compile(r'^\s*#\s*include\s*"(lib[A-Za-z0-9_]+)/')
ADD_LIBRARY_RE = re.compile(r'\badd_library\s*\(\s*([A-Za-z0-9_.+-]+)')
LINK_RE = re.compile(r'\btarget_link_libraries\s*\(', re.I)


def strip_cmake_comment(line):
    # A '#' outside a quoted text starts a comment.
    out, quoted = [], False
    for ch in line:
        if ch == '"':
            quoted = not quoted
        elif ch == "#" and not quoted:
            break
        out.append(ch)
    return "".join(out)


def library_dirs(lib_root):
    return sorted(d for d in os.listdir(lib_root)
                  if d.startswith("lib") and os.path.isdir(os.path.join(lib_root, d)))


def cmake_targets(lib_root, libs):
    """Target name -> library directory, from each add_library."""
    targets = {}
    for lib in libs:
        path = os.path.join(lib_root, lib, "CMakeLists.txt")
        if not os.path.isfile(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                m = ADD_LIBRARY_RE.search(strip_cmake_comment(line))
                if m:
                    targets[m.group(1)] = lib
    return targets


def link_refs(path):
    """(line, target) for every word inside a target_link_libraries call."""
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = [strip_cmake_comment(l) for l in f]
    refs = []
    inside = False
    for no, line in enumerate(lines, 1):
        rest = line
        if not inside:
            m = LINK_RE.search(rest)
            if not m:
                continue
            rest = rest[m.end():]
            inside = True
            first = True
        else:
            first = False
        end = rest.find(")")
        body = rest if end < 0 else rest[:end]
        words = body.split()
        if first and words:
            words = words[1:]  # the target being linked
        refs.extend((no, w) for w in words)
        if end >= 0:
            inside = False
    return refs


def check(root):
    lib_root = os.path.join(root, "src", "lib")
    if not os.path.isdir(lib_root):
        print(f"check_layers: no directory {lib_root}", file=sys.stderr)
        return 2
    rank = {lib: i for i, lib in enumerate(LAYERS)}
    libs = library_dirs(lib_root)
    problems = []
    used_allowances = set()  # (library, library above, file)

    for lib in libs:
        if lib not in rank:
            problems.append(f"src/lib/{lib}: library missing from the layer table of scripts/check_layers.py")

    def judge(rel, where, lib, other, what):
        if other == lib or lib not in rank:
            return
        if other not in rank:
            problems.append(f"{where}: {lib} {what} {other}, which is not in the layer table")
            return
        if rank[other] < rank[lib]:
            return
        allowed = ALLOWED_UPWARD.get((lib, other))
        if allowed and rel in allowed[1]:
            used_allowances.add((lib, other, rel))
            return
        problems.append(f"{where}: {lib} {what} {other}, which is above it")

    for lib in libs:
        top = os.path.join(lib_root, lib)
        for dirpath, dirnames, filenames in os.walk(top):
            dirnames.sort()
            for name in sorted(filenames):
                if not name.endswith(SOURCE_EXTS):
                    continue
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, root)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for no, line in enumerate(f, 1):
                        m = INCLUDE_RE.match(line)
                        if m:
                            judge(rel, f"{rel}:{no}", lib, m.group(1), "includes")

    targets = cmake_targets(lib_root, libs)
    for lib in libs:
        path = os.path.join(lib_root, lib, "CMakeLists.txt")
        if not os.path.isfile(path):
            continue
        rel = os.path.relpath(path, root)
        for no, word in link_refs(path):
            if word in targets:
                judge(rel, f"{rel}:{no}", lib, targets[word], "links")

    for (lib, other), (_, files) in sorted(ALLOWED_UPWARD.items()):
        if lib not in libs or other not in libs:
            continue
        for rel in files:
            if (lib, other, rel) not in used_allowances and os.path.isfile(os.path.join(root, rel)):
                print(f"check_layers: note: {rel} no longer uses {other}: "
                      f"remove it from ALLOWED_UPWARD", file=sys.stderr)

    for p in problems:
        print(p)
    if problems:
        print(f"check_layers: {len(problems)} reference(s) against the layer order "
              f"(a library includes and links only libraries below it)", file=sys.stderr)
        return 1
    return 0


def main(argv):
    if len(argv) > 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root = argv[1] if len(argv) == 2 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    return check(os.path.abspath(root))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
