// Start-up paths, the exported KX_PROXY_FILE and KX_CACHE, and section "conf".
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "kxcli_fixture.h"
#include "libkxcli/kx_conf.h"
#include "support/log_capture.h"

namespace {

using kxcli_test::env_of;
using kxcli_test::kxcli_fixture;
using kxcli_test::mode_of;

// The process mask of the program (everything its start-up creates is
// made under umask 0) while the test runs.
struct umask_zero {
    mode_t old = umask(0);
    ~umask_zero() { umask(old); }
};

class KxcliPaths : public kxcli_fixture {};

TEST_F(KxcliPaths, ClientProxyAndCacheTable) {
    enum user_ini { none, file, dir };
    const struct {
        const char* what;
        const char* env;  // nullptr: unset; "@": a configuration directory of its own
        user_ini user;
        bool client_in_conf;  // "kx_client.ini" exists in the configuration directory
        bool want_user;
    } rows[] = {
        {"unset, only kx_client", nullptr, none, true, false},
        {"empty env is ignored", "", file, true, true},
        {"both present: the user file wins", "@", file, true, true},
        {"user file is a directory", "@", dir, true, false},
        {"env dir, neither present", "@", none, false, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        temp_dir exe_dir, conf_dir;
        const temp_dir& where = (r.env && r.env[0] == '@') ? conf_dir : exe_dir;
        if (r.env) setenv("KX_ENV_CONF_DIR", r.env[0] == '@' ? conf_dir.path.c_str() : r.env, 1);
        else unsetenv("KX_ENV_CONF_DIR");
        if (r.user == file) write_file(where.file("kxta-gui-user.ini"), "[conf]\n");
        if (r.user == dir) std::filesystem::create_directory(where.file("kxta-gui-user.ini"));
        if (r.client_in_conf) write_file(where.file("kx_client.ini"), "[conf]\n");
        setenv("KX_CACHE", "/preset/by/user", 1);
        setenv("KX_PROXY_FILE", "/preset/proxy.ini", 1);

        log_capture cap;
        ASSERT_EQ(kx_conf_set_path(exe_dir.path.c_str()), 0);
        const std::string client = where.file(r.want_user ? "kxta-gui-user.ini" : "kx_client.ini");
        EXPECT_EQ(std::string(kx_conf_client_path()), client);
        EXPECT_EQ(std::string(kx_conf_proxy_path()), where.file("kx_proxy.ini"));
        EXPECT_EQ(env_of("KX_PROXY_FILE"), where.file("kx_proxy.ini"));
        // The cache default stays under the executable's directory.
        EXPECT_EQ(env_of("KX_CACHE"), exe_dir.file("var/cache"));
        EXPECT_EQ(cap.contains("use env_conf_dir=[" + conf_dir.path + "]\n"), r.env && r.env[0] == '@');
        EXPECT_TRUE(cap.contains("conf_client=[" + client + "] conf_proxy=[" + where.file("kx_proxy.ini") + "]\n"));
    }
}

TEST_F(KxcliPaths, CacheDirFromTheClientFile) {
    log_capture quiet;
    setenv("KX_CACHE", "/preset/by/user", 1);
    use_client("[conf]\ncache_dir = \" /data\\\\kx//cache \"\n");
    EXPECT_EQ(env_of("KX_CACHE"), "/data/kx/cache");
    char out[64];
    ASSERT_EQ(kx_conf_get_str("cache_dir", out, sizeof out), 0);
    EXPECT_STREQ(out, "/data/kx/cache");

    // An empty value keeps the default.
    use_client("[conf]\ncache_dir=\n");
    EXPECT_EQ(env_of("KX_CACHE"), exe.file("var/cache"));

    // A value too long for the caller's buffer fails with an empty text.
    use_client("[conf]\nname=" + std::string(100, 'x') + "\n");
    EXPECT_EQ(kx_conf_get_str("name", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(kx_conf_get_str("absent", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
}

TEST_F(KxcliPaths, TooLongConfDirIsRefused) {
    setenv("KX_ENV_CONF_DIR", ("/" + std::string(KX_CONF_PATH_SIZE, 'd')).c_str(), 1);
    log_capture cap;
    EXPECT_EQ(kx_conf_set_path(exe.path.c_str()), -1);
    EXPECT_STREQ(kx_conf_client_path(), "");
    EXPECT_EQ(kx_conf_get_int("read_timeout"), 15);
    char out[KX_URL_SIZE];
    EXPECT_EQ(url_conf_2_real("///s/x", out), -1);
}

TEST_F(KxcliPaths, ConfIntegers) {
    log_capture quiet;
    use_no_client();
    EXPECT_EQ(kx_conf_get_int("connect_timeout"), 6);
    EXPECT_EQ(kx_conf_get_int("read_timeout"), 15);
    EXPECT_EQ(kx_conf_get_int("write_timeout"), 8);
    EXPECT_EQ(kx_conf_get_int("other"), 0);

    use_client("[conf]\nconnect_timeout=3\nother=7\n");
    EXPECT_EQ(kx_conf_get_int("connect_timeout"), 3);
    EXPECT_EQ(kx_conf_get_int("read_timeout"), 15);
    EXPECT_EQ(kx_conf_get_int("other"), 7);
}

// The setters create the client file readable by its owner only, even
// under the program's umask 0, and "cache_dir" reaches KX_CACHE at once.
TEST_F(KxcliPaths, SettersCreateAPrivateFile) {
    umask_zero mask;
    log_capture cap;
    use_no_client();
    ASSERT_EQ(kx_conf_set_int("read_timeout", 30), 0);
    EXPECT_EQ(mode_of(client), 0600u);
    EXPECT_EQ(kx_conf_get_int("read_timeout"), 30);

    ASSERT_EQ(kx_conf_set_str("cache_dir", "/var/tmp\\kxc"), 0);
    EXPECT_EQ(env_of("KX_CACHE"), "/var/tmp/kxc");
    char out[64];
    ASSERT_EQ(kx_conf_get_str("cache_dir", out, sizeof out), 0);
    EXPECT_STREQ(out, "/var/tmp/kxc");
    EXPECT_EQ(mode_of(client), 0600u);
    EXPECT_EQ(kx_conf_get_int("read_timeout"), 30);

    // A file that cannot be created fails.
    setenv("KX_ENV_CONF_DIR", exe.file("no/such/dir").c_str(), 1);
    ASSERT_EQ(kx_conf_set_path(exe.path.c_str()), 0);
    EXPECT_EQ(kx_conf_set_int("read_timeout", 1), -1);
    EXPECT_TRUE(cap.contains("conf_create_load [" + exe.file("no/such/dir/kx_client.ini") + "] fail\n")) << cap.all();
}

}  // namespace
