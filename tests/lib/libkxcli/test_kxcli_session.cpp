// Saved sessions: reading, writing, walking, renaming and deleting.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kxcli_fixture.h"
#include "libkxcli/kx_conf.h"
#include "support/log_capture.h"

namespace {

using kxcli_test::kxcli_fixture;
using kxcli_test::mode_of;

struct umask_zero {
    mode_t old = umask(0);
    ~umask_zero() { umask(old); }
};

conf_client_info kxp_record(const char* name) {
    conf_client_info cc{};
    cc.kind = KX_SESSION_KXP;
    strcpy(cc.name, name);
    cc.use_ssl = 1;
    strcpy(cc.ip, "fe80__1");
    strcpy(cc.port, "6688");
    strcpy(cc.user, "ann");
    strcpy(cc.pwd, "p;w#d@x");
    strcpy(cc.bs, "4M");
    strcpy(cc.fmod, "600");
    strcpy(cc.dmod, "700");
    strcpy(cc.proxy, "corp");
    return cc;
}

class KxcliSession : public kxcli_fixture {};

TEST_F(KxcliSession, WriteThenReadBack) {
    log_capture quiet;
    umask_zero mask;
    use_no_client();
    const conf_client_info want = kxp_record("srv1");
    ASSERT_EQ(conf_client_set_info(&want), 0);
    // The file holds the password: its owner only.
    EXPECT_EQ(mode_of(client), 0600u);

    conf_client_info got{};
    ASSERT_EQ(conf_client_get_info("srv1", &got), 0);
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_STREQ(got.name, want.name);
    EXPECT_EQ(got.use_ssl, want.use_ssl);
    EXPECT_STREQ(got.ip, want.ip);
    EXPECT_STREQ(got.port, want.port);
    EXPECT_STREQ(got.user, want.user);
    EXPECT_STREQ(got.pwd, want.pwd);
    EXPECT_STREQ(got.bs, want.bs);
    EXPECT_STREQ(got.fmod, want.fmod);
    EXPECT_STREQ(got.dmod, want.dmod);
    EXPECT_STREQ(got.proxy, want.proxy);

    char url[KX_URL_SIZE];
    ASSERT_EQ(conf_client_get_url("srv1", url), 0);
    EXPECT_STREQ(url, "kxps://ann:p;w%23d%40x@[fe80::1]:6688?proxy=corp");

    conf_client_info net{};
    net.kind = KX_SESSION_NET;
    strcpy(net.name, "lan");
    ASSERT_EQ(conf_client_set_info(&net), 0);
    ASSERT_EQ(conf_client_get_info("lan", &got), 0);
    EXPECT_EQ(got.kind, static_cast<uint32_t>(KX_SESSION_NET));
    EXPECT_EQ(mode_of(client), 0600u);
}

TEST_F(KxcliSession, DefaultsOfAKxpSession) {
    log_capture quiet;
    use_client("[session/min]\nprot=kxp\nip=h\n");
    conf_client_info got{};
    ASSERT_EQ(conf_client_get_info("min", &got), 0);
    EXPECT_EQ(got.use_ssl, 0);
    EXPECT_STREQ(got.port, "");
    EXPECT_STREQ(got.user, "");
    EXPECT_STREQ(got.bs, "2M");
    EXPECT_STREQ(got.fmod, "644");
    EXPECT_STREQ(got.dmod, "755");
    EXPECT_STREQ(got.proxy, "");
}

// A text that goes into the URL is never cut (a cut host is another host).
TEST_F(KxcliSession, OverlongUrlTextsFail) {
    use_client("[session/longip]\nprot=kxp\nip=" + std::string(300, 'a') + "\n[session/longfmod]\nprot=kxp\nip=h\nfmod=06440\n");
    conf_client_info got{};
    log_capture cap;
    EXPECT_EQ(conf_client_get_info("longip", &got), -1);
    EXPECT_TRUE(cap.contains("[session/longip][ip] is longer than 255\n")) << cap.all();
    // Texts that stay out of the URL are cut to their field.
    ASSERT_EQ(conf_client_get_info("longfmod", &got), 0);
    EXPECT_STREQ(got.fmod, "064");
}

TEST_F(KxcliSession, RefusedRecordsWriteNothing) {
    umask_zero mask;
    use_client("[session/keep]\nprot=net\n");
    const std::string before = read_file(client);

    conf_client_info loc{};
    loc.kind = KX_SESSION_LOC;
    strcpy(loc.name, "here");
    conf_client_info odd = kxp_record("odd");
    odd.kind = 9;
    conf_client_info newline = kxp_record("nl");
    strcpy(newline.pwd, "a\nb");
    conf_client_info bad_name = kxp_record("a]b");
    conf_client_info no_name = kxp_record("");

    log_capture cap;
    EXPECT_EQ(conf_client_set_info(&loc), -1);
    EXPECT_TRUE(cap.contains("cc->prot=2 error\n"));
    EXPECT_EQ(conf_client_set_info(&odd), -1);
    EXPECT_TRUE(cap.contains("cc->prot=9 error\n"));
    EXPECT_EQ(conf_client_set_info(&newline), -1);
    EXPECT_EQ(conf_client_set_info(&bad_name), -1);
    EXPECT_EQ(conf_client_set_info(&no_name), -1);
    EXPECT_EQ(read_file(client), before);
}

TEST_F(KxcliSession, WalkListsValidSessions) {
    log_capture quiet;
    use_client(
        "[session/srv1]\nprot=kxp\nip=h\n"
        "[session/_Quick_Connection]\nprot=kxp\nip=q\n"
        "[session/broken]\nip=h\n"
        "[session/lan]\nprot=net\n"
        "[conf]\nread_timeout=1\n");
    std::vector<std::pair<std::string, uint32_t>> seen;
    auto collect = [](void* arg, const char* name, uint32_t kind) {
        static_cast<std::vector<std::pair<std::string, uint32_t>>*>(arg)->emplace_back(name, kind);
    };
    ASSERT_EQ(conf_walk_item(collect, &seen), 0);
    std::sort(seen.begin(), seen.end());
    const std::vector<std::pair<std::string, uint32_t>> want = {
        {"lan", KX_SESSION_NET}, {"localhost", KX_SESSION_LOC}, {"network", KX_SESSION_NET}, {"srv1", KX_SESSION_KXP}};
    EXPECT_EQ(seen, want);
    // The fixed sessions are in the file now; the rest is kept.
    EXPECT_EQ(conf_client_is_exist("localhost"), 1);
    EXPECT_EQ(conf_client_is_exist("network"), 1);
    EXPECT_EQ(kx_conf_get_int("read_timeout"), 1);

    // A second walk sees the same and leaves the file as it is.
    const std::string after = read_file(client);
    std::vector<std::pair<std::string, uint32_t>> again;
    ASSERT_EQ(conf_walk_item(collect, &again), 0);
    EXPECT_EQ(again.size(), seen.size());
    EXPECT_EQ(read_file(client), after);
}

TEST_F(KxcliSession, RenameAndDelete) {
    log_capture quiet;
    use_client("[session/srv1]\nprot=kxp\nip=h\n[session/lan]\nprot=net\n");
    EXPECT_EQ(conf_client_is_exist("srv1"), 1);
    EXPECT_EQ(conf_client_is_exist("srv2"), 0);

    ASSERT_EQ(conf_client_copy_move("srv1", "srv2"), 0);
    EXPECT_EQ(conf_client_is_exist("srv1"), 0);
    EXPECT_EQ(conf_client_is_exist("srv2"), 1);
    char url[KX_URL_SIZE];
    ASSERT_EQ(conf_client_get_url("srv2", url), 0);
    EXPECT_STREQ(url, "kxp://h");

    // The new name is taken, or the old one is missing: nothing changes.
    const std::string before = read_file(client);
    EXPECT_EQ(conf_client_copy_move("srv2", "lan"), -1);
    EXPECT_EQ(conf_client_copy_move("missing", "x"), -1);
    EXPECT_EQ(read_file(client), before);

    ASSERT_EQ(conf_client_del("srv2"), 0);
    EXPECT_EQ(conf_client_is_exist("srv2"), 0);
    EXPECT_EQ(conf_client_del("srv2"), -1);
    EXPECT_EQ(conf_client_is_exist("lan"), 1);
}

TEST_F(KxcliSession, NoClientFile) {
    use_no_client();
    conf_client_info got{};
    log_capture cap;
    EXPECT_EQ(conf_client_get_info("srv1", &got), -1);
    EXPECT_TRUE(cap.contains("conf_load " + client + " failed\n"));
    EXPECT_EQ(conf_client_is_exist("srv1"), -1);
    EXPECT_TRUE(cap.contains("conf_load [" + client + "] failed\n"));
    EXPECT_EQ(conf_client_del("srv1"), -1);
    EXPECT_EQ(conf_client_copy_move("a", "b"), -1);
}

// A client file written by hand keeps the mode its owner gave it when a
// session is saved into it.
TEST_F(KxcliSession, SavingKeepsTheModeTheUserGaveTheFile) {
    log_capture quiet;
    use_client("[conf]\nread_timeout=1\n");
    ASSERT_EQ(chmod(client.c_str(), 0644), 0);
    const conf_client_info cc = kxp_record("srv1");
    ASSERT_EQ(conf_client_set_info(&cc), 0);
    EXPECT_EQ(mode_of(client), 0644u);
    // The session went into that file, beside what its owner wrote there.
    conf_client_info got{};
    ASSERT_EQ(conf_client_get_info("srv1", &got), 0);
    EXPECT_STREQ(got.ip, cc.ip);
    EXPECT_STREQ(got.user, cc.user);
    EXPECT_STREQ(got.pwd, cc.pwd);
    EXPECT_STREQ(got.proxy, cc.proxy);
    EXPECT_NE(read_file(client).find("read_timeout=1"), std::string::npos) << read_file(client);
    EXPECT_EQ(kx_conf_get_int("read_timeout"), 1);
}

}  // namespace
