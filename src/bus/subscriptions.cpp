// The signals of the sibling daemons that the daemon subscribes to, with
// their match rules.
#include "bus/bus.h"

const InterestedSignal _g_signal_table[ZELMO_SIGNAL_COUNT] = {
    {"arvex.lanhostd", "setLanhostEntry", zelmo_setLanhostEntry, 0},
    {"arvex.lanhostd", "delLanhostEntry", zelmo_delLanhostEntry, 1},
    {"arvex.log.config", "setLogLevel", zelmo_handleSetLogLevelSignal, 2},
    {"", "setLogDestination", zelmo_handleSetLogDestinationSignal, 3},
    {"arvex.dhcpd", "notifyDHCPOpt43", zelmo_handleNotifyDHCPOpt43, 4},
    {"arvex.meshprovdr", "notifyDeviceInterfaceUpdate", zelmo_handleNotifyDeviceInterfaceUpdate, 5},
    {"arvex.statscollector", "notifyDeviceInterfaceUpdate", zelmo_handleNotifyDeviceInterfaceUpdate, 6},
    {"", "notifyJSONDeviceUpdate", zelmo_handleJSONDeviceInterfaceUpdate, 7},
    {"arvex.meshCtl", "NOTIFY_TR69_COMMAND", zelmo_handleTR069Command, 8},
    {"arvex.wdp", "notifyWDPRootAssocDevStatus", zelmo_handleNotifyWDPRootAssocDevStatusChange, 9},
    {"arvex.httpd", "setCriticalDevice", zelmo_handleSetCriticalDevice, 10},
    {"arvex.cfgmgr", "notifyUpdateToZelmo", zelmo_handleNotifyUpdateToZelmo, 11},
    {"arvex.cfgmgr", "notifySessionStart", zelmo_handleNotifySessionStart, 12},
    {"arvex.statscollector", "notifyStatsEthPortUpdate", zelmo_notifyStatsEthPortUpdate, 13},
    {"arvex.cfgmgr", "notifyWANStatusChange", zelmo_handleWANStatusChange, 14},
    {"arvex.fp", "notifyFPMsg", zelmo_handleFPMsg, 15},
};

// One rule per table entry, in table order; an entry without interface
// accepts its member from any sender.
static const char *const _g_signal_rules[ZELMO_SIGNAL_COUNT] = {
    "type='signal',interface='arvex.lanhostd',member='setLanhostEntry'",
    "type='signal',interface='arvex.lanhostd',member='delLanhostEntry'",
    "type='signal',interface='arvex.log.config',member='setLogLevel'",
    "type='signal',member='setLogDestination'",
    "type='signal',interface='arvex.dhcpd',member='notifyDHCPOpt43'",
    "type='signal',interface='arvex.meshprovdr',member='notifyDeviceInterfaceUpdate'",
    "type='signal',interface='arvex.statscollector',member='notifyDeviceInterfaceUpdate'",
    "type='signal',member='notifyJSONDeviceUpdate'",
    "type='signal',interface='arvex.meshCtl',member='NOTIFY_TR69_COMMAND'",
    "type='signal',interface='arvex.wdp',member='notifyWDPRootAssocDevStatus'",
    "type='signal',interface='arvex.httpd',member='setCriticalDevice'",
    "type='signal',interface='arvex.cfgmgr',member='notifyUpdateToZelmo'",
    "type='signal',interface='arvex.cfgmgr',member='notifySessionStart'",
    "type='signal',interface='arvex.statscollector',member='notifyStatsEthPortUpdate'",
    "type='signal',interface='arvex.cfgmgr',member='notifyWANStatusChange'",
    "type='signal',interface='arvex.fp',member='notifyFPMsg'",
};

// The DHCP server's option 55 fingerprints, subscribed beside the table.
static const InterestedSignal _g_opt55_signal[1] = {
    {"arvex.dhcpd", "notifyDHCPOpt55", zelmo_handleNotifyDHCPOpt55, 0},
};
static const char _g_opt55_rule[] = "type='signal',interface='arvex.dhcpd',member='notifyDHCPOpt55'";

int register_zelmo_signal()
{
    for (const char *rule : _g_signal_rules)
        ombusAddInterestedSignal(rule);
    int result = ombusSetInteresetedSignals(_g_signal_table, ZELMO_SIGNAL_COUNT);
    ombusAddInterestedSignal(_g_opt55_rule);
    ombusSetInteresetedSignals(_g_opt55_signal, 1);
    return result;
}

int deregister_zelmo_signal()
{
    int result = 0;
    for (const char *rule : _g_signal_rules)
        result = ombusRemoveMatch(rule);
    ombusRemoveMatch(_g_opt55_rule);
    return result;
}
