// Runs kxdd_fi_reader (reads through the file layer) under the
// fault-injection library and parses what it printed.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/faultinject.h"
#include "support/proc.h"

struct fi_read {
    long long ret = -2;
    int err = -1;
    int verr = 1;
    unsigned long long cls = 99;
    unsigned long long digest = 0;
};

inline std::vector<fi_read> fi_run_reader(const std::string& path, const std::vector<std::string>& requests,
                                          const fi_options& opt, std::string* raw = nullptr) {
    std::vector<std::string> argv = {KXDD_FI_READER, path};
    argv.insert(argv.end(), requests.begin(), requests.end());
    proc_result r;
    {
        fi_env_guard env(opt);
        r = run_proc(argv);
    }
    if (raw) *raw = r.out + r.err;
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::vector<fi_read> out;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        fi_read x;
        if (std::sscanf(line.c_str(), "%*s ret=%lld errno=%d verr=%d class=%llu digest=%llx", &x.ret, &x.err, &x.verr,
                        &x.cls, &x.digest) == 5)
            out.push_back(x);
    }
    EXPECT_EQ(out.size(), requests.size()) << r.out << r.err;
    out.resize(requests.size());
    return out;
}

inline unsigned long long digest_of(const std::string& data, size_t off, size_t len) {
    return fi_digest(data.data() + off, len);
}
