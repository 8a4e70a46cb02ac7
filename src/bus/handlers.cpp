// Bus-thread signal handlers. They touch no daemon state: each copies its
// payload into a local message for the main thread and returns at once.
#include "bus/bus.h"
#include "frame/frame.h"

int zelmo_setLanhostEntry(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_SET_LANHOST_ENTRY, payload, length);
}

int zelmo_delLanhostEntry(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_DEL_LANHOST_ENTRY, payload, length);
}

int zelmo_handleSetLogLevelSignal(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_SET_LOG_LEVEL, payload, length);
}

int zelmo_handleSetLogDestinationSignal(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_SET_LOG_DESTINATION, payload, length);
}

int zelmo_handleNotifyDHCPOpt43(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_DHCP_OPT43, payload, length);
}

int zelmo_handleNotifyDeviceInterfaceUpdate(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_DEVICE_INTERFACE_UPDATE, payload, length);
}

int zelmo_handleJSONDeviceInterfaceUpdate(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_JSON_DEVICE_UPDATE, payload, length);
}

int zelmo_handleTR069Command(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_TR69_COMMAND, payload, length);
}

int zelmo_handleNotifyWDPRootAssocDevStatusChange(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_WDP_ROOT_ASSOC, payload, length);
}

int zelmo_handleSetCriticalDevice(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_SET_CRITICAL_DEVICE, payload, length);
}

int zelmo_handleNotifyUpdateToZelmo(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_UPDATE_TO_ZELMO, payload, length);
}

int zelmo_handleNotifySessionStart(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_SESSION_START, payload, length);
}

int zelmo_notifyStatsEthPortUpdate(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_STATS_ETH_PORT, payload, length);
}

int zelmo_handleWANStatusChange(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_WAN_STATUS_CHANGE, payload, length);
}

int zelmo_handleFPMsg(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_FP_MSG, payload, length);
}

int zelmo_handleNotifyDHCPOpt55(void *, void *, const void *payload, uint32_t length)
{
    return zelmo_send_to_localfd(LM_DHCP_OPT55, payload, length);
}
