// Digest state texts.
//
// Input: one selector byte (the algorithm, the state text of a hash job, or
// the field table of the text format), a second byte (the job's algorithm
// set), then the text. Checks: a text that is refused leaves the context
// as it was; a text that loads gives a text that loads to the same context
// and gives itself again; a text already in the written form (lower-case,
// no leading zeros) comes back unchanged.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "fuzz_check.h"
#include "libpal/hash/digest_text.h"
#include "libpal/hash/file_hash.h"
#include "libpal/hash/md5.h"
#include "libpal/hash/sha1.h"
#include "libpal/hash/sha256.h"
#include "libpal/hash/sha512.h"
#include "libpal/hash/sm3.h"
#include "libpal/hash/xxh.h"

namespace {

// The form the digests write: fields of lower-case digits without leading
// zeros, joined by ",".
bool in_written_form(const std::string& text) {
    bool field_start = true;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        if (c == ',') {
            if (field_start) return false;
            field_start = true;
            continue;
        }
        if (!isdigit(static_cast<unsigned char>(c)) && !(c >= 'a' && c <= 'f')) return false;
        if (field_start && c == '0' && i + 1 < text.size() && text[i + 1] != ',') return false;
        field_start = false;
    }
    return !field_start;
}

template <typename Ctx, size_t TextSize, void (*Init)(Ctx*), int (*Get)(const Ctx*, char*, size_t),
          int (*Set)(Ctx*, const char*), void (*Update)(Ctx*, const void*, size_t), void (*Final)(Ctx*, uint8_t*)>
void check_record(const std::string& text) {
    Ctx a, before;
    Init(&a);
    Update(&a, "abc", 3);
    memcpy(&before, &a, sizeof a);
    if (Set(&a, text.c_str()) != 0) {
        FUZZ_CHECK(memcmp(&a, &before, sizeof a) == 0);
        return;
    }
    char got[TextSize];
    FUZZ_CHECK(Get(&a, got, sizeof got) == 0);
    FUZZ_CHECK(strlen(got) + 1 <= TextSize);
    if (in_written_form(text)) FUZZ_CHECK(text == got);
    Ctx b;
    Init(&b);
    FUZZ_CHECK(Set(&b, got) == 0);
    char again[TextSize];
    FUZZ_CHECK(Get(&b, again, sizeof again) == 0);
    FUZZ_CHECK(strcmp(got, again) == 0);
    // Both continue to the same digest.
    uint8_t da[64] = {}, db[64] = {};
    Update(&a, text.data(), text.size());
    Update(&b, text.data(), text.size());
    Final(&a, da);
    Final(&b, db);
    FUZZ_CHECK(memcmp(da, db, sizeof da) == 0);
}

void check_xxh3(const std::string& text) {
    XXH3_state_s* a = pl_xxh3_128_new();
    XXH3_state_s* b = pl_xxh3_128_new();
    FUZZ_CHECK(a && b);
    pl_xxh3_128_update(a, "abc", 3);
    static char before[PL_XXH3_TEXT_SIZE], got[PL_XXH3_TEXT_SIZE], again[PL_XXH3_TEXT_SIZE];
    FUZZ_CHECK(pl_xxh3_128_get_ctx(a, before, sizeof before) == 0);
    if (pl_xxh3_128_set_ctx(a, text.c_str()) != 0) {
        FUZZ_CHECK(pl_xxh3_128_get_ctx(a, got, sizeof got) == 0);
        FUZZ_CHECK(strcmp(before, got) == 0);
    } else {
        FUZZ_CHECK(pl_xxh3_128_get_ctx(a, got, sizeof got) == 0);
        // (The text's secret pointer is replaced by this process's own, so
        // the text read back differs from the one loaded in that field.)
        FUZZ_CHECK(pl_xxh3_128_set_ctx(b, got) == 0);
        FUZZ_CHECK(pl_xxh3_128_get_ctx(b, again, sizeof again) == 0);
        FUZZ_CHECK(strcmp(got, again) == 0);
        uint8_t da[16], db[16];
        pl_xxh3_128_update(a, text.data(), text.size());
        pl_xxh3_128_update(b, text.data(), text.size());
        pl_xxh3_128_final(a, da);
        pl_xxh3_128_final(b, db);
        FUZZ_CHECK(memcmp(da, db, sizeof da) == 0);
    }
    pl_xxh3_128_free(a);
    pl_xxh3_128_free(b);
}

// The state text of a job: one opened from a text gives a text that opens
// a job giving the same text.
void check_job(uint32_t flag, const std::string& text) {
    file_hash_param p{};
    p.hash_flag = flag;
    p.bs = 4096;
    p.ctx = text.c_str();
    verr_info err{};
    file_hash_ctx* a = file_hash_open(&p, &err);
    if (!a) return;
    static char got[16384], again[16384];
    const bool fits = file_hash_get_ctx(a, got, sizeof got) == 0;
    file_hash_close(a);
    if (!fits) return;
    p.ctx = got;
    file_hash_ctx* b = file_hash_open(&p, &err);
    FUZZ_CHECK(b != nullptr);
    FUZZ_CHECK(file_hash_get_ctx(b, again, sizeof again) == 0);
    FUZZ_CHECK(strcmp(got, again) == 0);
    FUZZ_CHECK(file_hash_set_ctx(b, got) == 0);
    FUZZ_CHECK(file_hash_get_ctx(b, again, sizeof again) == 0);
    FUZZ_CHECK(strcmp(got, again) == 0);
    file_hash_close(b);
}

// The text format itself, over a record of every field width.
struct mixed_rec {
    uint8_t bytes[3];
    uint8_t pad;
    uint32_t words[2];
    uint64_t longs[2];
};

void check_table(const std::string& text) {
    static constexpr digest_field fields[] = {
        {offsetof(mixed_rec, bytes), 1, 3},
        {offsetof(mixed_rec, words), 4, 2},
        {offsetof(mixed_rec, longs), 8, 2},
    };
    mixed_rec a{}, b{};
    if (digest_text_set(&a, fields, text.c_str()) != 0) return;
    char got[DIGEST_TEXT_MAX], again[DIGEST_TEXT_MAX];
    FUZZ_CHECK(digest_text_get(&a, fields, got, sizeof got) == 0);
    if (in_written_form(text)) FUZZ_CHECK(text == got);
    FUZZ_CHECK(digest_text_set(&b, fields, got) == 0);
    FUZZ_CHECK(memcmp(&a, &b, sizeof a) == 0);
    FUZZ_CHECK(digest_text_get(&b, fields, again, sizeof again) == 0);
    FUZZ_CHECK(strcmp(got, again) == 0);
    // A short buffer keeps the beginning of the text, terminated.
    char small[7];
    FUZZ_CHECK(digest_text_get(&a, fields, small, sizeof small) == 0);
    FUZZ_CHECK(strncmp(small, got, sizeof small - 1) == 0 && strlen(small) <= sizeof small - 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    fuzz::reader in(data, size);
    const uint8_t which = in.byte();
    const uint32_t flag = in.byte() | (static_cast<uint32_t>(in.byte() & 0xf) << 8);
    const std::string text = in.text();
    switch (which % 8) {
    case 0:
        check_record<pl_md5_ctx, PL_MD5_TEXT_SIZE, pl_md5_init, pl_md5_get_ctx, pl_md5_set_ctx, pl_md5_update,
                     pl_md5_final>(text);
        break;
    case 1:
        check_record<pl_sha1_ctx, PL_SHA1_TEXT_SIZE, pl_sha1_init, pl_sha1_get_ctx, pl_sha1_set_ctx, pl_sha1_update,
                     pl_sha1_final>(text);
        break;
    case 2:
        check_record<pl_sha256_ctx, PL_SHA256_TEXT_SIZE, pl_sha256_init, pl_sha256_get_ctx, pl_sha256_set_ctx,
                     pl_sha256_update, pl_sha256_final>(text);
        break;
    case 3:
        check_record<pl_sha512_ctx, PL_SHA512_TEXT_SIZE, pl_sha512_init, pl_sha512_get_ctx, pl_sha512_set_ctx,
                     pl_sha512_update, pl_sha512_final>(text);
        break;
    case 4:
        check_record<pl_sm3_ctx, PL_SM3_TEXT_SIZE, pl_sm3_init, pl_sm3_get_ctx, pl_sm3_set_ctx, pl_sm3_update,
                     pl_sm3_final>(text);
        break;
    case 5: check_xxh3(text); break;
    case 6: check_job(flag, text); break;
    default: check_table(text); break;
    }
    return 0;
}
