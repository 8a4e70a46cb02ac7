// Message-type table of the local messages: which main-thread handler a
// message of the bus thread goes to. The first entry whose type matches
// wins; a type without an entry (10, set critical device, and the unused
// 12 and 15) is logged as invalid and dropped.
#include "fingerprint/fingerprint.h"
#include "frame/frame.h"
#include "timers/timers.h"
#include "tracking/tracking.h"

#include <iterator>

const LocalMsgRoute _g_func[] = {
    {LM_SESSION_START, zelmo_processNotifySessionStart},
    {LM_WDP_ROOT_ASSOC, zelmo_processNotifyWDPRootAssocDevStatusChange},
    {LM_STATS_ETH_PORT, zelmo_processStatsEthPortUpdate},
    {LM_JSON_DEVICE_UPDATE, zelmo_processJSONDeviceInterfaceUpdate},
    {LM_SET_LANHOST_ENTRY, zelmo_processSetLanhostEntry},
    {LM_DEVICE_INTERFACE_UPDATE, zelmo_processNotifyDeviceInterfaceUpdate},
    {LM_DHCP_OPT43, zelmo_processNotifyDHCPOpt43},
    {LM_UPDATE_TO_ZELMO, zelmo_processNotifyUpdateToZelmo},
    {LM_DHCP_OPT55, zelmo_processNotifyDHCPOpt55},
    {LM_DEL_LANHOST_ENTRY, zelmo_processDelLanhostEntry},
    {LM_TR69_COMMAND, zelmo_processTR069Command},
    {LM_WAN_STATUS_CHANGE, zelmo_processWANStatusChange},
    {LM_FP_MSG, zelmo_processFPMsg},
    {LM_SET_LOG_LEVEL, zelmo_processSetLogLevelSignal},
    {LM_SET_LOG_DESTINATION, zelmo_processSetLogDestinationSignal},
};

const size_t _g_func_count = std::size(_g_func);
