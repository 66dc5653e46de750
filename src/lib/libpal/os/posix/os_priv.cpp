#include "libpal/os/posix/os_priv.h"

#include <grp.h>
#include <unistd.h>

#include <cstdlib>

namespace {

constexpr int k_max_groups = 16;

struct saved_identity {
    gid_t egid;
    uid_t euid;
    gid_t groups[k_max_groups];
    int ngroups;
};
saved_identity g_saved{};

}  // namespace

int os_is_root() { return geteuid() == 0 ? 1 : 0; }

void os_priv_drop(int permanent) {
    gid_t newgid = getgid(), oldegid = getegid();
    uid_t newuid = getuid(), olduid = geteuid();
    if (!permanent) {
        g_saved.egid = oldegid;
        g_saved.euid = olduid;
        int n = getgroups(k_max_groups, g_saved.groups);
        g_saved.ngroups = n < 0 ? 0 : n;
    }
    if (olduid == 0 && setgroups(1, &newgid) != 0) abort();
    if (newgid != oldegid) {
        gid_t keep = static_cast<gid_t>(-1);
        if (setresgid(permanent ? newgid : keep, newgid, permanent ? newgid : keep) != 0) abort();
    }
    if (newuid != olduid) {
        uid_t keep = static_cast<uid_t>(-1);
        if (setresuid(permanent ? newuid : keep, newuid, permanent ? newuid : keep) != 0) abort();
    }
    // The change must have taken, and a permanent one must not be undone.
    if (getegid() != newgid || geteuid() != newuid) abort();
    if (permanent) {
        if (newgid != oldegid && (setegid(oldegid) != -1 || getegid() != newgid)) abort();
        if (newuid != olduid && (seteuid(olduid) != -1 || geteuid() != newuid)) abort();
    }
}

void os_priv_restore() {
    if (geteuid() != g_saved.euid && seteuid(g_saved.euid) != 0) abort();
    if (getegid() != g_saved.egid && setegid(g_saved.egid) != 0) abort();
    if (geteuid() != g_saved.euid || getegid() != g_saved.egid) abort();
    if (g_saved.euid == 0 && setgroups(static_cast<size_t>(g_saved.ngroups), g_saved.groups) != 0) abort();
}
