// Cloud session command texts (the notifySessionStart payload and the text
// of an analytics TR-069 command) executed by the session control, in root
// mode or, when the first byte is odd, in extender mode. The rest of the
// input is the command text.
#include "harness.h"

#include "frame/frame.h"
#include "timers/timers.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    fuzz_reset_state();
    _g_isRoot = (data[0] & 1) != 0 ? 0 : 1;
    // The text as the processors hand it on: terminated, cut at its first NUL.
    std::string command(reinterpret_cast<const char *>(data + 1), size - 1);
    zelmo_handleSessionStart(command.c_str());
    if (_g_isRoot == 0 && (_g_session_timeout != 0 || _g_session_timer != 0))
        fuzz_fail("session command", "an extender opened a cloud session");
    if ((_g_session_timer != 0) && _g_session_timeout == 0)
        fuzz_fail("session command", "a session timer runs for a closed session");
    _g_isRoot = 1;
    fuzz_check_table("session command");
    return 0;
}
