#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libpwd/ipcheck.h"
#include "libpwd/libpwd.h"
#include "libpwd/pwd_account.h"
#include "pwd_oracle.h"
#include "support/log_capture.h"

namespace {

// A clock the tests move by hand.
std::atomic<uint64_t> g_now{1000000};
uint64_t test_clock() { return g_now.load(); }
constexpr uint64_t k_minute = 60000;

struct account_fixture : ::testing::Test {
    void SetUp() override {
        g_now = 1000000;
        ipcheck_set_clock(test_clock);
        start(3, 60, 0);
    }
    void TearDown() override {
        libpwd_exit();
        ipcheck_set_clock(nullptr);
    }
    void start(uint32_t limit, uint32_t minutes, uint32_t table_size, const char* user = "admin",
               const char* pwd = "s3cret") {
        libpwd_conf conf{user, pwd, limit, minutes, table_size};
        ASSERT_EQ(libpwd_init(&conf), 0);
    }
    int login(const char* addr, const char* user, const char* pwd) {
        msg[0] = '\0';
        return libpwd_check_user_pwd(addr, user, pwd, msg);
    }
    char msg[LIBPWD_MSG_SIZE];
    log_capture cap{8};
};

TEST_F(account_fixture, LoginTable) {
    char sha[64];
    libpwd_sha_pwd("s3cret", sha, sizeof sha);
    const struct {
        const char* user;
        const char* pwd;
        int want;
    } rows[] = {
        {"admin", "s3cret", LIBPWD_LOGIN_OK},
        {"admin", sha, LIBPWD_LOGIN_OK},  // the "{SHA}" login
        {"admin", "s3cre", LIBPWD_LOGIN_REFUSED},
        {"admin", "s3cret!", LIBPWD_LOGIN_REFUSED},
        {"admin", "", LIBPWD_LOGIN_REFUSED},
        {"admin", nullptr, LIBPWD_LOGIN_REFUSED},
        {"Admin", "s3cret", LIBPWD_LOGIN_REFUSED},
        {"", "s3cret", LIBPWD_LOGIN_REFUSED},
        {":", "", LIBPWD_LOGIN_REFUSED},  // the client's probe
    };
    for (const auto& r : rows) {
        EXPECT_EQ(login("10.0.0.1", r.user, r.pwd), r.want) << r.user << " " << (r.pwd ? r.pwd : "(none)");
        if (r.want == LIBPWD_LOGIN_REFUSED) {
            EXPECT_STREQ(msg, "Wrong user or password");
        }
        // Reset between rows so that the refusals do not add up to a lockout.
        libpwd_check_user_pwd("10.0.0.1", "admin", "s3cret", msg);
    }
    EXPECT_TRUE(cap.contains("ip=[10.0.0.1] wrong pwd [***]"));
    EXPECT_TRUE(cap.contains("ip=[10.0.0.1] wrong user [Admin]"));
    EXPECT_TRUE(cap.contains("ip=[10.0.0.1] login_ok"));
    // A refused password is often a near miss of the right one: never logged.
    EXPECT_FALSE(cap.contains("s3cre]"));
    EXPECT_FALSE(cap.contains("s3cret!"));
    EXPECT_FALSE(cap.contains("wrong user [:]"));
}

TEST_F(account_fixture, ThirdFailureLocksTheAddressForAnHour) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(login("10.0.0.2", "admin", "bad"), LIBPWD_LOGIN_REFUSED);
    // Locked: even the right password is refused now, other addresses are not.
    g_now += 30000;
    EXPECT_EQ(login("10.0.0.2", "admin", "s3cret"), LIBPWD_LOGIN_LOCKED);
    EXPECT_STREQ(msg, "Login failed 3 times, Please try again in 59.50 minutes");
    EXPECT_TRUE(cap.contains("ip=[10.0.0.2] error: Login failed 3 times"));
    EXPECT_EQ(login("10.0.0.3", "admin", "s3cret"), LIBPWD_LOGIN_OK);
    g_now += 59 * k_minute;
    EXPECT_EQ(login("10.0.0.2", "admin", "s3cret"), LIBPWD_LOGIN_LOCKED);
    EXPECT_STREQ(msg, "Login failed 3 times, Please try again in 0.50 minutes");
    // The lockout runs out and the count starts afresh.
    g_now += k_minute / 2;
    EXPECT_EQ(login("10.0.0.2", "admin", "bad"), LIBPWD_LOGIN_REFUSED);
    EXPECT_EQ(login("10.0.0.2", "admin", "bad"), LIBPWD_LOGIN_REFUSED);
    EXPECT_EQ(login("10.0.0.2", "admin", "s3cret"), LIBPWD_LOGIN_OK);
}

TEST_F(account_fixture, SuccessForgetsFailuresAndProbesAreNotCounted) {
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(login("10.0.0.4", "admin", "bad"), LIBPWD_LOGIN_REFUSED);
        EXPECT_EQ(login("10.0.0.4", "admin", "bad"), LIBPWD_LOGIN_REFUSED);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(login("10.0.0.4", ":", ""), LIBPWD_LOGIN_REFUSED);
        EXPECT_EQ(login("10.0.0.4", "admin", "s3cret"), LIBPWD_LOGIN_OK);
    }
    // A wrong user counts like a wrong password.
    EXPECT_EQ(login("10.0.0.4", "root", "x"), LIBPWD_LOGIN_REFUSED);
    EXPECT_EQ(login("10.0.0.4", "root", "x"), LIBPWD_LOGIN_REFUSED);
    EXPECT_EQ(login("10.0.0.4", "admin", "x"), LIBPWD_LOGIN_REFUSED);
    EXPECT_EQ(login("10.0.0.4", "admin", "s3cret"), LIBPWD_LOGIN_LOCKED);
}

TEST_F(account_fixture, LimitZeroCountsNothingAndDefaultsApply) {
    start(0, 0, 0);
    EXPECT_TRUE(cap.contains("kxsd_login_fail_count==0 stop ipcheck"));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(login("10.0.0.5", "admin", "bad"), LIBPWD_LOGIN_REFUSED);
    EXPECT_EQ(login("10.0.0.5", "admin", "s3cret"), LIBPWD_LOGIN_OK);
    // Minutes 0 means 60.
    start(1, 0, 0);
    EXPECT_EQ(login("10.0.0.5", "admin", "bad"), LIBPWD_LOGIN_REFUSED);
    EXPECT_EQ(login("10.0.0.5", "admin", "s3cret"), LIBPWD_LOGIN_LOCKED);
    EXPECT_STREQ(msg, "Login failed 1 times, Please try again in 60.00 minutes");
}

TEST_F(account_fixture, FullTableDropsTheAddressesWithTheOldestFailure) {
    start(2, 60, 2);
    EXPECT_EQ(login("a", "admin", "bad"), LIBPWD_LOGIN_REFUSED);  // a fails first
    g_now += 1000;
    EXPECT_EQ(login("b", "admin", "bad"), LIBPWD_LOGIN_REFUSED);
    g_now += 1000;
    EXPECT_EQ(login("c", "admin", "bad"), LIBPWD_LOGIN_REFUSED);  // table full: a is dropped
    EXPECT_EQ(login("b", "admin", "bad"), LIBPWD_LOGIN_REFUSED);  // b's second failure locks it
    EXPECT_EQ(login("b", "admin", "s3cret"), LIBPWD_LOGIN_LOCKED);
    // a starts afresh: c (oldest failure now) is dropped to make room.
    EXPECT_EQ(login("a", "admin", "bad"), LIBPWD_LOGIN_REFUSED);
    EXPECT_EQ(login("a", "admin", "s3cret"), LIBPWD_LOGIN_OK);
}

TEST_F(account_fixture, NoAccountRefusesEveryone) {
    start(3, 60, 0, "", "");
    EXPECT_EQ(login("10.0.0.6", "", ""), LIBPWD_LOGIN_REFUSED);
    char cert[LIBPWD_CERT_SIZE], key[LIBPWD_KEY_SIZE];
    int ver = 0;
    EXPECT_EQ(libpwd_user_get_cert("10.0.0.6", 1, &ver, "", cert, sizeof cert, key, sizeof key, msg),
              LIBPWD_LOGIN_REFUSED);
}

TEST_F(account_fixture, SetAccountRefusesEachBannedCharacter) {
    char msg2[LIBPWD_MSG_SIZE];
    for (const char* c = ";/\\\"'?:@# "; *c; ++c) {
        std::string bad = std::string("ab") + *c + "cd";
        EXPECT_EQ(libpwd_set_account(bad.c_str(), "pw", msg2), -1) << bad;
        EXPECT_STREQ(msg2, "user is invalid, Cannot use [;/\\\"'?:@# ]");
        EXPECT_EQ(libpwd_set_account("user", bad.c_str(), msg2), -1) << bad;
        EXPECT_STREQ(msg2, "passwd is invalid, Cannot use [;/\\\"'?:@# ]");
    }
    // The old account still holds after the refusals; a good one replaces it.
    EXPECT_EQ(login("10.0.0.7", "admin", "s3cret"), LIBPWD_LOGIN_OK);
    ASSERT_EQ(libpwd_set_account("bob", "n3w&pw=", msg2), 0);
    EXPECT_EQ(login("10.0.0.7", "admin", "s3cret"), LIBPWD_LOGIN_REFUSED);
    EXPECT_EQ(login("10.0.0.7", "bob", "n3w&pw="), LIBPWD_LOGIN_OK);
    char sha[64];
    EXPECT_EQ(login("10.0.0.7", "bob", libpwd_sha_pwd("n3w&pw=", sha, sizeof sha)), LIBPWD_LOGIN_OK);
}

TEST_F(account_fixture, ChallengeLoginEndToEnd) {
    char cert[LIBPWD_CERT_SIZE], cert2[LIBPWD_CERT_SIZE], key[LIBPWD_KEY_SIZE], key2[LIBPWD_KEY_SIZE];
    int ver = -1;
    ASSERT_EQ(libpwd_user_get_cert("10.0.0.8", 7, &ver, "admin", cert, sizeof cert, key, sizeof key, msg), 0);
    EXPECT_EQ(ver, 1);
    EXPECT_EQ(strlen(cert), 2 * LIBPWD_CERT_BYTES);
    EXPECT_EQ(std::string(cert).find_first_not_of("0123456789abcdef"), std::string::npos);
    ASSERT_EQ(libpwd_user_get_cert("10.0.0.8", 0, &ver, "admin", cert2, sizeof cert2, key2, sizeof key2, msg), 0);
    EXPECT_EQ(ver, 0);
    EXPECT_STRNE(cert, cert2);  // a fresh challenge every time

    // The client's answer, computed independently.
    auto want = pwd_test::oracle({{"key", LIBPWD_KEY_SALT, "admin", "s3cret", cert}});
    if (!want.empty()) {
        EXPECT_EQ(want[0], key);
    }
    char client_key[LIBPWD_KEY_SIZE];
    libpwd_build_key("admin", "s3cret", 1, cert, client_key, sizeof client_key);
    EXPECT_EQ(libpwd_check_key("10.0.0.8", client_key, key, msg), LIBPWD_LOGIN_OK);
    EXPECT_TRUE(cap.contains("ip=[10.0.0.8] key=["));

    // Wrong keys count; the third locks the address for the next password login.
    // The client's probe login comes first on every connection and makes the
    // address known.
    EXPECT_EQ(login("10.0.0.8", ":", ""), LIBPWD_LOGIN_REFUSED);
    EXPECT_EQ(libpwd_check_key("10.0.0.8", client_key, key2, msg), LIBPWD_LOGIN_REFUSED);
    EXPECT_STREQ(msg, "Wrong user or password");
    EXPECT_EQ(libpwd_check_key("10.0.0.8", "", key2, msg), LIBPWD_LOGIN_REFUSED);
    EXPECT_EQ(libpwd_check_key("10.0.0.8", "", "", msg), LIBPWD_LOGIN_REFUSED);  // no challenge made
    EXPECT_EQ(login("10.0.0.8", "admin", "s3cret"), LIBPWD_LOGIN_LOCKED);
}

TEST_F(account_fixture, WrongUserOfChallengeIsAlwaysCounted) {
    char cert[LIBPWD_CERT_SIZE], key[LIBPWD_KEY_SIZE];
    int ver = 0;
    login("10.0.0.9", ":", "");  // the probe makes the address known
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(libpwd_user_get_cert("10.0.0.9", -3, &ver, ":", cert, sizeof cert, key, sizeof key, msg), 1);
    EXPECT_EQ(ver, -3);
    EXPECT_STREQ(msg, "Wrong user or password");
    EXPECT_EQ(login("10.0.0.9", "admin", "s3cret"), LIBPWD_LOGIN_LOCKED);
}

TEST_F(account_fixture, ConcurrentFailuresAreAllCounted) {
    start(200, 60, 0);
    login("10.1.1.1", "admin", "s3cret");  // known address
    login("10.1.1.2", "admin", "s3cret");
    ipcheck_check("10.1.1.1", msg);
    ipcheck_check("10.1.1.2", msg);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 50; ++i) ipcheck_fail("10.1.1.1");
            for (int i = 0; i < 49; ++i) ipcheck_fail("10.1.1.2");
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ipcheck_check("10.1.1.1", msg), LIBPWD_LOGIN_LOCKED);  // 200 failures
    EXPECT_EQ(ipcheck_check("10.1.1.2", msg), LIBPWD_LOGIN_OK);      // 196
}

}  // namespace
