// Message-type table of the local messages: which main-thread handler a
// message of the bus thread goes to. The first entry whose type matches
// wins; a type without an entry is logged as invalid and dropped.
//
// Entries are added as their handlers exist, keeping this order of the
// types: 0 session start, 1 Wi-Fi root association, 2 Ethernet port
// statistics, 3 JSON device update, 5 set lanhost entry, 4 device interface
// update, 6 DHCP option 43, 7 update to zelmo, 8 DHCP option 55, 9 delete
// lanhost entry, 11 TR-069 command, 16 WAN status change, 17 fingerprint
// daemon message, 13 set log level, 14 set log destination. Type 10 (set
// critical device) deliberately has no entry.
#include "frame/frame.h"
#include "tracking/tracking.h"

#include <iterator>

const LocalMsgRoute _g_func[] = {
    {LM_JSON_DEVICE_UPDATE, zelmo_processJSONDeviceInterfaceUpdate},
    {LM_FP_MSG, zelmo_processFPMsg},
    {LM_SET_LOG_LEVEL, zelmo_processSetLogLevelSignal},
    {LM_SET_LOG_DESTINATION, zelmo_processSetLogDestinationSignal},
};

const size_t _g_func_count = std::size(_g_func);
