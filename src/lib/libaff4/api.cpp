// The six entry points: handles are small integers naming open images; each
// image has its own lock, the table has one for opens and closes.
#include <cerrno>
#include <climits>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "libaff4/aff4.h"

// The entry points are the library's only exported names.
#pragma GCC visibility push(default)
#include "libaff4/aff4_api.h"
#pragma GCC visibility pop

#define AFF4_EXPORT extern "C"

namespace {

constexpr size_t k_max_handles = 4096;

struct handle_table {
    std::mutex lock;
    std::vector<std::shared_ptr<aff4::image>> slots;
};

handle_table& table() {
    static handle_table t;
    return t;
}

std::shared_ptr<aff4::image> lookup(int handle) {
    handle_table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    if (handle < 0 || static_cast<size_t>(handle) >= t.slots.size()) return nullptr;
    return t.slots[static_cast<size_t>(handle)];
}

int fail_errno(int rc) {
    errno = -rc;
    return -1;
}

}  // namespace

AFF4_EXPORT const char* AFF4_version(void) { return "kxdd libaff4 1.0 (AFF4 Standard v1.0, read-only)"; }

AFF4_EXPORT void AFF4_init(void) { table(); }

AFF4_EXPORT int AFF4_open(const char* path) {
    if (!path || !*path) return fail_errno(aff4::fail(EINVAL, "no path"));
    std::shared_ptr<aff4::image> img;
    try {
        img = std::make_shared<aff4::image>();
        if (int rc = aff4::image_open(path, *img); rc < 0) return fail_errno(rc);
        handle_table& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        for (size_t i = 0; i < t.slots.size(); ++i) {
            if (!t.slots[i]) {
                t.slots[i] = std::move(img);
                return static_cast<int>(i);
            }
        }
        if (t.slots.size() >= k_max_handles) return fail_errno(aff4::fail(EMFILE, "too many open images"));
        t.slots.push_back(std::move(img));
        return static_cast<int>(t.slots.size() - 1);
    } catch (const std::bad_alloc&) {
        return fail_errno(aff4::fail(ENOMEM, "%s: out of memory", path));
    }
}

AFF4_EXPORT uint64_t AFF4_object_size(int handle) {
    std::shared_ptr<aff4::image> img = lookup(handle);
    if (!img) {
        errno = EBADF;
        return 0;
    }
    return img->size;
}

AFF4_EXPORT int AFF4_read(int handle, uint64_t offset, void* buffer, int length) {
    if (length < 0 || (length > 0 && !buffer)) return fail_errno(aff4::fail(EINVAL, "bad read arguments"));
    std::shared_ptr<aff4::image> img = lookup(handle);
    if (!img) return fail_errno(aff4::fail(EBADF, "no image has handle %d", handle));
    if (length == 0) return 0;
    try {
        std::lock_guard<std::mutex> guard(img->lock);
        int64_t n = aff4::image_read(*img, offset, static_cast<uint8_t*>(buffer), static_cast<size_t>(length));
        return n < 0 ? fail_errno(static_cast<int>(n)) : static_cast<int>(n);
    } catch (const std::bad_alloc&) {
        return fail_errno(aff4::fail(ENOMEM, "out of memory"));
    }
}

AFF4_EXPORT int AFF4_close(int handle) {
    std::shared_ptr<aff4::image> img;
    {
        handle_table& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        if (handle < 0 || static_cast<size_t>(handle) >= t.slots.size() || !t.slots[static_cast<size_t>(handle)])
            return fail_errno(aff4::fail(EBADF, "no image has handle %d", handle));
        img = std::move(t.slots[static_cast<size_t>(handle)]);
    }
    return 0;  // the image goes when its last reader is done with it
}

AFF4_EXPORT const char* AFF4_last_error(void) { return aff4::last_error(); }
