// Independent computations of the password forms in Python (hashlib,
// base64 and a plain RC4), for the tests of libpwd.
#pragma once

#include <string>
#include <vector>

#include "support/proc.h"

namespace pwd_test {

inline std::string to_hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Each request is an operation name and its arguments; each answer one line.
// Operations: sha (password), key (salt, user, password, cert), rc4b64
// (value, key). The arguments travel as hexadecimal so any byte can pass.
// An empty result means that python3 is missing.
inline std::vector<std::string> oracle(const std::vector<std::vector<std::string>>& requests) {
    static const char script[] = R"PY(
import sys, hashlib, base64
def rc4(key, data):
    s = list(range(256)); j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 255; s[i], s[j] = s[j], s[i]
    i = j = 0; out = bytearray()
    for b in data:
        i = (i + 1) & 255; j = (j + s[i]) & 255; s[i], s[j] = s[j], s[i]
        out.append(b ^ s[(s[i] + s[j]) & 255])
    return bytes(out)
for line in sys.stdin:
    op, *args = line.split()
    a = [bytes.fromhex(x[1:]) for x in args]
    if op == "sha":
        print("{SHA}" + base64.b64encode(hashlib.sha1(a[0]).digest()).decode() if a[0] else "")
    elif op == "key":
        print(hashlib.sha1(b"".join(a)).hexdigest())
    elif op == "rc4b64":
        print(base64.b64encode(rc4(a[1], a[0])).decode())
)PY";
    std::string input;
    for (const auto& req : requests) {
        input += req[0];
        // A leading "x" keeps empty arguments from vanishing in the split.
        for (size_t i = 1; i < req.size(); ++i) input += " x" + to_hex(req[i]);
        input += "\n";
    }
    proc_result r;
    try {
        r = run_proc({"/usr/bin/python3", "-c", script}, input);
    } catch (...) {
        return {};
    }
    if (r.status != 0) return {};
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < r.out.size()) {
        size_t nl = r.out.find('\n', pos);
        lines.push_back(r.out.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

}  // namespace pwd_test
