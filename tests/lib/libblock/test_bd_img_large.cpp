// Reads of more than 2 GiB in one call: the VDI driver counts in 64 bits,
// the AFF4 driver feeds the library, whose lengths are 32-bit, in pieces.
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include "bd_test_util.h"
#include "img_test_util.h"
#include "libblock/bd_aff4.h"
#include "libpal/os/os_fileutil.h"

namespace {

using namespace img_test;

constexpr int64_t k_gib = 1LL << 30;
constexpr int64_t k_len = 2 * k_gib + 8192;  // the read
constexpr int64_t k_from = 4096;             // where it starts
constexpr size_t k_marked = 65536;           // marked bytes from 2 GiB on

// A buffer of k_len bytes that takes memory only where it is written.
struct big_buffer {
    char* p = nullptr;
    big_buffer() {
        void* m = mmap(nullptr, k_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (m == MAP_FAILED) return;
        p = static_cast<char*>(m);
        madvise(p, k_len, MADV_HUGEPAGE);  // fewer page faults, where the system allows
    }
    ~big_buffer() {
        if (p) munmap(p, k_len);
    }
    big_buffer(const big_buffer&) = delete;
    big_buffer& operator=(const big_buffer&) = delete;
};

// The read's bytes at the marked place, and a few before it.
void check_tail(const char* buf) {
    const char* mark = buf + (2 * k_gib - k_from);
    EXPECT_EQ(std::string(mark - 16, 16), std::string(16, '\0'));
    EXPECT_EQ(std::string(mark, k_len - (2 * k_gib - k_from)), std::string(k_len - (2 * k_gib - k_from), '\x42'));
}

TEST(BdImageLarge, VdiReadOfMoreThanTwoGiB) {
    IMG_NEED_TOOL("qemu-img");
    IMG_NEED_TOOL("qemu-io");
    bd_init2();
    temp_dir dir;
    std::string vdi = dir.file("big.vdi");
    ASSERT_TRUE(run_ok({"qemu-img", "create", "-q", "-f", "vdi", vdi, "3G"}));
    ASSERT_TRUE(run_ok({"qemu-io", "-f", "vdi", "-c", "write -q -P 0x42 2G " + std::to_string(k_marked), vdi}));
    verr_info err{};
    dev_ptr dev(bd_open2s(vdi.c_str(), OS_PF_RDONLY | BD_OFLAG_IMAGE, 0, &err));
    ASSERT_TRUE(dev) << verr_msg(&err);
    big_buffer buf;
    ASSERT_NE(buf.p, nullptr);
    ASSERT_EQ(bd_pread(dev.get(), buf.p, k_len, k_from), k_len) << bd_errmsg(dev.get());
    check_tail(buf.p);
    EXPECT_EQ(bd_offset(dev.get()), k_from + k_len);
}

TEST(BdImageLarge, Aff4ReadOfMoreThanTwoGiBGoesInPieces) {
    bd_init2();
    temp_dir dir;
    // A stream whose reads leave the buffer untouched: the read's count is
    // what is checked, and the buffer takes no memory.
    std::string aff4 = dir.file("big.aff4");
    uint64_t size = 3 * k_gib, never = UINT64_MAX;
    write_file(aff4, std::string("AFF4HOLE") + std::string(reinterpret_cast<const char*>(&size), 8) +
                         std::string(reinterpret_cast<const char*>(&never), 8));
    bdrv_aff4_set_library(KXDD_AFF4_STUB);
    verr_info err{};
    dev_ptr dev(bd_open2s(aff4.c_str(), OS_PF_RDONLY | BD_OFLAG_IMAGE, 0, &err));
    ASSERT_TRUE(dev) << verr_msg(&err);
    big_buffer buf;
    ASSERT_NE(buf.p, nullptr);
    EXPECT_EQ(bd_pread(dev.get(), buf.p, k_len, k_from), k_len) << bd_errmsg(dev.get());
    EXPECT_EQ(bd_offset(dev.get()), k_from + k_len);
    void* stub = dlopen(KXDD_AFF4_STUB, RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_NE(stub, nullptr);
    auto max_read = reinterpret_cast<int (*)()>(dlsym(stub, "AFF4STUB_max_read"));
    ASSERT_NE(max_read, nullptr);
    EXPECT_GT(max_read(), 0);
    EXPECT_LE(max_read(), 1 << 30);
    dlclose(stub);
    bdrv_aff4_set_library(nullptr);
}

}  // namespace
