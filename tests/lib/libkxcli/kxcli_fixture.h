// A client configuration of its own for each test: a temporary
// "executable directory", KX_ENV_CONF_DIR, KX_CACHE and KX_PROXY_FILE as
// the test sets them and restored afterwards, and the paths fixed by
// kx_conf_set_path.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "libkxcli/kx_conf.h"
#include "support/proc.h"

namespace kxcli_test {

// Saves the variables the client configuration reads and writes; restores
// them when it ends.
class env_guard {
public:
    env_guard() {
        for (int i = 0; i < k_n; ++i)
            if (const char* v = getenv(k_names[i])) old_[i] = v;
    }
    ~env_guard() {
        for (int i = 0; i < k_n; ++i) {
            if (old_[i]) setenv(k_names[i], old_[i]->c_str(), 1);
            else unsetenv(k_names[i]);
        }
    }
    env_guard(const env_guard&) = delete;
    env_guard& operator=(const env_guard&) = delete;

private:
    static constexpr int k_n = 3;
    static constexpr const char* k_names[k_n] = {"KX_ENV_CONF_DIR", "KX_CACHE", "KX_PROXY_FILE"};
    std::optional<std::string> old_[k_n];
};

inline std::string env_of(const char* name) {
    const char* v = getenv(name);
    return v ? v : "<unset>";
}

inline unsigned mode_of(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xffffffffu;
}

// exe: the "executable directory" handed to kx_conf_set_path; the client
// file is exe/kx_client.ini unless a test says otherwise.
class kxcli_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("KX_ENV_CONF_DIR");
        unsetenv("KX_CACHE");
        client = exe.file("kx_client.ini");
    }
    // Writes the client file and fixes the paths.
    void use_client(const std::string& ini) {
        write_file(client, ini);
        ASSERT_EQ(kx_conf_set_path(exe.path.c_str()), 0);
        ASSERT_EQ(std::string(kx_conf_client_path()), client);
    }
    // No client file at all.
    void use_no_client() {
        ASSERT_EQ(kx_conf_set_path(exe.path.c_str()), 0);
        ASSERT_EQ(std::string(kx_conf_client_path()), client);
    }

    env_guard env;
    temp_dir exe;
    std::string client;
};

}  // namespace kxcli_test
