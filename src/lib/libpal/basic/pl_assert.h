// Failed internal checks: "expr[%s]: assert failed" at level err, then the
// assertion hook, which does nothing; the caller goes on with its failure value.
#pragma once

#include <cstdint>

void pl_assert_hook();
void pl_assert_fail(const char* tag, const char* path, int32_t line, const char* func, const char* expr);

// True when expr holds; otherwise logs the expression text and calls the hook.
#define PL_CHECK(tag, expr) \
    ((expr) ? true : (pl_assert_fail((tag), __FILE__, __LINE__, __func__, #expr), false))
// The same with the expression text given explicitly.
#define PL_CHECK_TEXT(tag, expr, text) \
    ((expr) ? true : (pl_assert_fail((tag), __FILE__, __LINE__, __func__, (text)), false))
