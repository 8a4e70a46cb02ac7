// A sequence of bus signals of any type, so that one signal can act on the
// records an earlier one created or changed. Input: repeated
// [type: 1 byte][length: 2 bytes little-endian][payload], at most 16
// messages; a length beyond the input takes what is left. Types of 18 and
// more reach the dispatcher too and must be refused there.
#include "harness.h"

#include "frame/frame.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_reset_state();
    size_t at = 0;
    for (int n = 0; n < 16 && at + 3 <= size; ++n) {
        uint32_t type = data[at] % (LM_TYPE_LIMIT + 2);
        size_t length = size_t(data[at + 1]) | size_t(data[at + 2]) << 8;
        at += 3;
        length = std::min(length, size - at);
        if (!fuzz_deliver_local(type, data + at, length))
            fuzz_fail("message sequence", "a message did not reach the main thread");
        at += length;
        fuzz_check_table("message sequence");
    }
    return 0;
}
