// libFuzzer entry over the reply parse (build with -DKXDD_FUZZ=ON under clang).
#include "blobmsg_fuzz_body.h"
#include "liblog/log2.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    log2_set_level(nullptr, LOG2_CRIT);  // the parse's dbg lines would only slow the search
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    blobmsg_fuzz_one(data, size);
    return 0;
}
