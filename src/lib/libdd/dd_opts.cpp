#include "libdd/dd_opts.h"

#include <cstring>
#include <initializer_list>

#include "libpal/memory/pl_mem.h"

void dd_opts_init(dd_opts* o) {
    memset(o, 0, sizeof *o);
    o->flags = DD_F_IIMAGE | DD_F_OIMAGE;
    o->ibs = DD_BS_DEFAULT;
    o->obs = DD_BS_DEFAULT;
    o->retry_mode = 1;
    o->retry_delay_seconds = 5;
    o->retry_timeout_minutes = 1;
    o->disable_os_hibernate = 1;
}

void dd_opts_free(dd_opts* o) {
    for (char** p : {&o->in_name, &o->out_name, &o->proxy, &o->proxy_url}) {
        pl_free(*p);
        *p = nullptr;
    }
}
