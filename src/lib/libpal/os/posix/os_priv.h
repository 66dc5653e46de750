// Identity of the process: root test, giving up and regaining privileges.
#pragma once

// 1 when the effective user id is 0.
int os_is_root();
// Sets the effective group and user ids to the real ones. Not permanent:
// the effective ids and up to 16 supplementary groups are saved first for
// os_priv_restore. Permanent: the real, effective and saved ids all become
// the real ones, so the old ids cannot be regained. A root process keeps
// only its real group as supplementary group. Any failed step or check
// aborts the process.
void os_priv_drop(int permanent);
// Sets the saved effective user and group back (and, for root, the saved
// supplementary groups); aborts when that fails or does not take.
void os_priv_restore();
