// The device's hash and byte-count jobs and its pattern writer.
#include "libblock/bd.h"
#include "libblock/bd_priv.h"

void bd_release_jobs(bd_dev* dev) {
    // No job is ever attached in this build.
    dev->hash = nullptr;
    dev->bcount = nullptr;
    dev->pwritex = nullptr;
}

int bd_pwritex_ioctl(bd_dev* dev, int32_t, void*, int64_t) {
    BD_SET_ERR(dev, VERR_NOT_IMPLEMENTED, "%s", verr2str(VERR_NOT_IMPLEMENTED));
    return VERR_NOT_IMPLEMENTED;
}
