// The command-20 control codes that carry a formatted text: the request of
// each code as the test server receives and splits it, the handles they go
// out on, and the calls refused before anything is sent.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kxsd_file_rig.h"
#include "libkxsd/kxsd_cmd.h"

using namespace kxsd_file_rig;

namespace {

constexpr uint32_t kU32Max = 0xFFFFFFFFu;
constexpr uint64_t kU64Max = ~uint64_t{0};

// The fields the server split the text into, each as text.
std::string args_of(const mini_json& r) {
    std::string out;
    const mini_json& a = r["args"];
    for (size_t i = 0; i < a.size(); i++) {
        if (i) out += '|';
        out += a[i].kind == mini_json::STR ? a[i].s() : std::to_string(a[i].i());
    }
    return out;
}

}  // namespace

TEST(KxsdFileCtl, EachCodeSendsTheTextOfItsForm) {
    const os_file_times times{{1700000000, 1}, {kU64Max, 999999999}, {0, kU32Max}};
    using call = std::function<int(void*)>;
    struct row {
        int32_t code;
        call send;
        std::string text;  // the data as sent, without its NUL
        const char* args;  // as the server split it ("" where a field is above its 64-bit reach)
    };
    const row rows[] = {
        {10016, [](void* h) { return kxsd_cli_ioctl_text2_num(h, 10016, "/a b", "/c", 7); }, "/a b\t/c\t7", "/a b|/c|7"},
        {10018, [](void* h) { return kxsd_cli_ioctl_text_num(h, 10018, "/d", 0755); }, "/d\t493", "/d|493"},
        {10019, [](void* h) { return kxsd_cli_ioctl_text_num(h, 10019, "", kU32Max); }, "\t4294967295", "|4294967295"},
        {10020, [](void* h) { return kxsd_cli_ioctl_text_num(h, 10020, "x", 0); }, "x\t0", "x|0"},
        {10021, [](void* h) { return kxsd_cli_ioctl_text_num_u64(h, 10021, "/n", 0x2000, kU64Max); },
         "/n\t8192\t18446744073709551615", nullptr},
        {10022, [](void* h) { return kxsd_cli_ioctl_text_num(h, 10022, "/e", 1); }, "/e\t1", "/e|1"},
        {10023, [](void* h) { return kxsd_cli_ioctl_text2(h, 10023, "/old", "/new"); }, "/old\t/new", "/old|/new"},
        {10024, [](void* h) { return kxsd_cli_ioctl_text2(h, 10024, "t", ""); }, "t\t", "t|"},
        {10025, [](void* h) { return kxsd_cli_ioctl_text_num(h, 10025, "/f", 2); }, "/f\t2", "/f|2"},
        {10026, [](void* h) { return kxsd_cli_ioctl_text_num(h, 10026, "/g", 3); }, "/g\t3", "/g|3"},
        {10027, [](void* h) { return kxsd_cli_ioctl_text_num2(h, 10027, "/h", 1000, 100); }, "/h\t1000\t100",
         "/h|1000|100"},
        {10028, [](void* h) { return kxsd_cli_ioctl_text_num2(h, 10028, "/i", 0, kU32Max); }, "/i\t0\t4294967295",
         "/i|0|4294967295"},
        {10029, [&times](void* h) { return kxsd_cli_ioctl_text_times(h, 10029, "/j", &times); },
         "/j\t1700000000\t18446744073709551615\t0\t1\t999999999\t4294967295", nullptr},
        {10030, [&times](void* h) { return kxsd_cli_ioctl_text_times(h, 10030, "/k", &times); },
         "/k\t1700000000\t18446744073709551615\t0\t1\t999999999\t4294967295", nullptr},
        {10035, [](void* h) { return kxsd_cli_ioctl_text_i64(h, 10035, "/l", INT64_MIN); },
         "/l\t-9223372036854775808", "/l|-9223372036854775808"},
        {10101, [](void* h) { return kxsd_cli_ioctl_text_num(h, 10101, "/m", 5); }, "/m\t5", "/m|5"},
        {10102, [](void* h) { return kxsd_cli_ioctl_num(h, 10102, 42); }, "42", "42"},
        {10103, [](void* h) { return kxsd_cli_ioctl_num2(h, 10103, kU32Max, 0); }, "4294967295\t0", "4294967295|0"},
        {10104, [](void* h) { return kxsd_cli_ioctl_num(h, 10104, 9); }, "9", "9"},
    };
    served s(noise(4096));
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f(kxsd_cli_open(s.conn(), "/img", 0x1));
    ASSERT_NE(f, nullptr) << s.msg();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.code);
        ASSERT_NE(kxsd_cli_ioctl_form(r.code), nullptr);
        // Files send their fd, the connection fd 0.
        for (void* h : {static_cast<void*>(f.get()), static_cast<void*>(s.conn())}) {
            ASSERT_EQ(r.send(h), 0) << s.msg();
            const mini_json last = s.srv.requests(KXSD_CMD_FILE_IOCTL).back();
            EXPECT_EQ(last["code"].i(), r.code);
            EXPECT_EQ(last["fields"]["fd"].i(), h == s.conn() ? 0 : f->fd);
            // fd, cmd, len, data; len counts the text and its NUL.
            ASSERT_EQ(last["order"].size(), 4u);
            EXPECT_EQ(last["order"][3].s(), "data");
            EXPECT_EQ(last["fields"]["len"].i(), static_cast<int64_t>(r.text.size() + 1));
            EXPECT_EQ(last["fields"]["data"]["len"].i(), static_cast<int64_t>(r.text.size() + 1));
            EXPECT_EQ(last["text"].s(), r.text);
            EXPECT_TRUE(last["error"].is_null());
            if (r.args) {
                EXPECT_EQ(args_of(last), r.args);
            }
        }
    }
}

TEST(KxsdFileCtl, RefusedCallsSendNothing) {
    served s(noise(4096));
    ASSERT_TRUE(s.ok()) << s.why();
    void* c = s.conn();
    struct row {
        const char* what;
        std::function<int()> send;
    };
    const row rows[] = {
        {"a code of another form", [c] { return kxsd_cli_ioctl_text_num(c, 10016, "/a", 1); }},
        {"the pack switch is not one of these", [c] { return kxsd_cli_ioctl_num(c, KXSD_IOCTL_PACK, 1); }},
        {"a code without a form", [c] { return kxsd_cli_ioctl_num(c, 10017, 1); }},
        {"a text with a tab", [c] { return kxsd_cli_ioctl_text2(c, 10023, "/a\tb", "/c"); }},
        {"a second text with a line end", [c] { return kxsd_cli_ioctl_text2(c, 10023, "/a", "/c\n"); }},
        {"no text", [c] { return kxsd_cli_ioctl_text_i64(c, 10035, nullptr, 1); }},
        {"no times", [c] { return kxsd_cli_ioctl_text_times(c, 10029, "/j", nullptr); }},
    };
    const size_t before = s.srv.requests().size();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.send(), -1);
        EXPECT_EQ(s.err().code, -2);
    }
    EXPECT_EQ(s.srv.requests().size(), before);
    EXPECT_EQ(kxsd_cli_ioctl_num(nullptr, 10102, 1), -1);

    // The server's refusal comes back in the error record.
    served r(noise(16), {"--fault", "errno:cmd=20,code=10104,value=-38,text=Permission denied"});
    ASSERT_TRUE(r.ok()) << r.why();
    EXPECT_EQ(kxsd_cli_ioctl_num(r.conn(), 10104, 1), -1);
    EXPECT_EQ(r.err().code, -38);
    EXPECT_EQ(r.msg(), "Permission denied");
    EXPECT_EQ(kxsd_cli_ioctl_num(r.conn(), 10104, 1), 0) << r.msg();
}
