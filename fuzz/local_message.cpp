// One bus signal payload, as the bus thread hands it over, processed by the
// main thread: built once per message type (ZELMO_FUZZ_TYPE), so each
// processor has a corpus and coverage figures of its own.
#include "harness.h"

#include <cstddef>
#include <cstdint>

#ifndef ZELMO_FUZZ_TYPE
#error "ZELMO_FUZZ_TYPE selects the local message type"
#endif

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_reset_state();
    if (!fuzz_deliver_local(ZELMO_FUZZ_TYPE, data, size))
        fuzz_fail("local message", "the message did not reach the main thread");
    fuzz_check_table("local message");
    return 0;
}
