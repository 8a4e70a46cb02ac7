// Handlers of two subscribed bus signals whose contents the daemon does not
// use: the JSON device update and the fingerprint daemon's message. The
// messages reach the main thread like any other and are dropped here.
#include "tracking/tracking.h"

int zelmo_processJSONDeviceInterfaceUpdate(const uint8_t *, uint32_t)
{
    return 0;
}

int zelmo_processFPMsg(const uint8_t *, uint32_t)
{
    return 0;
}
