#include "libpal/basic/pl_vec.h"

void pl_sort_u64_array(vec_u64* v, pl_cmp_fn compare) {
    if (v) pl_sort(v->items, v->count, sizeof *v->items, compare);
}
