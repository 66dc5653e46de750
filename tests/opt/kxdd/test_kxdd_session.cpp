// kxdd with saved sessions: a device name "///<session>/<path>" read
// through the client configuration of KX_ENV_CONF_DIR.
#include <gtest/gtest.h>

#include <string>

#include "kxdd_e2e.h"
#include "support/proc.h"

namespace {

using namespace kxdd_e2e;

class KxddSession : public ::testing::Test {
protected:
    void SetUp() override {
        data = random_bytes((1u << 20) + 777, 121);
        write_file(dir.file("source.bin"), data);
        write_file(dir.file("kx_client.ini"),
                   "[conf]\n"
                   "cache_dir=" + dir.file("cache") + "\n"
                   "\n"
                   "[session/mydisk]\n"
                   "prot=loc\n"
                   "\n"
                   "[session/lan]\n"
                   "prot=net\n");
    }
    proc_result run(const std::string& in) {
        return run_kxdd({"if=" + in, "of=" + dir.file("out.bin"), "bs=64K"}, {}, {"KX_ENV_CONF_DIR=" + dir.path});
    }

    temp_dir dir;
    std::string data;
};

TEST_F(KxddSession, LocalSessionAliasCopiesTheFile) {
    proc_result r = run("///mydisk" + dir.file("source.bin"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("out.bin")) == data) << "the copy differs from the source";
}

TEST_F(KxddSession, UnusableAliasesFailWithoutCopying) {
    const struct {
        const char* what;
        std::string in;
    } rows[] = {
        {"missing session", "///nosuch" + dir.file("source.bin")},
        // the network entry must not fall through to the local path
        {"network entry", "///lan" + dir.file("source.bin")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        proc_result r = run(row.in);
        EXPECT_NE(r.status, 0);
        EXPECT_TRUE(contains(clean_err(r.err), "url_conf_2_real [" + row.in + "] failed")) << r.err;
        EXPECT_LE(file_size(dir.file("out.bin")), 0);
    }
}

}  // namespace
