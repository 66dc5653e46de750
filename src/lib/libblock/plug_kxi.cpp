// The cache-image driver's choice of names.
#include "libblock/plug_comm.h"
#include "libpal/network/url.h"

int bdrv_kxi_probe(const char* url, uint32_t, void*) {
    if (!url) return -1;
    if (url_query_has_key(url, "wcache")) return 0;
    return bd_local_path_ends_with(url, ".kxi") ? 0 : -1;
}

void bdrv_kxi_exit() {}
