#include "libpal/basic/pl_assert.h"

#include "liblog/log2.h"

void pl_assert_hook() {}

void pl_assert_fail(const char* tag, const char* path, int32_t line, const char* func, const char* expr) {
    log2_printf(nullptr, LOG2_ERR, tag, path, line, func, "expr[%s]: assert failed\n", expr);
    pl_assert_hook();
}
