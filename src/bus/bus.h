// Bus service: the daemon's name, signal subscriptions and method interface.
#pragma once

#include "platform/ombus.h"

#include <cstdint>

int start_zelmo_service();
int register_zelmo_service();
int register_zelmo_signal();
int deregister_zelmo_signal();

// The sixteen subscribed signals, in their fixed order.
constexpr int ZELMO_SIGNAL_COUNT = 16;
extern const InterestedSignal _g_signal_table[ZELMO_SIGNAL_COUNT];

// The service descriptor of the daemon's object, made on first use and kept
// for the life of the process; null without memory.
const OmbusService *zelmo_service_descriptor();

// Answers the method calls of the "arvex.kvx.zelmo" interface.
void onArvexKvxZelmoDispatch(const OmbusService *descriptor, OmbusCall *call, OmbusReply *reply,
                             uint8_t *handled);

// Bus-thread signal handlers: each hands its payload to the main thread as a
// local message of its own type and returns what that hand-over returned.
int zelmo_setLanhostEntry(void *, void *, const void *payload, uint32_t length);
int zelmo_delLanhostEntry(void *, void *, const void *payload, uint32_t length);
int zelmo_handleSetLogLevelSignal(void *, void *, const void *payload, uint32_t length);
int zelmo_handleSetLogDestinationSignal(void *, void *, const void *payload, uint32_t length);
int zelmo_handleNotifyDHCPOpt43(void *, void *, const void *payload, uint32_t length);
int zelmo_handleNotifyDeviceInterfaceUpdate(void *, void *, const void *payload, uint32_t length);
int zelmo_handleJSONDeviceInterfaceUpdate(void *, void *, const void *payload, uint32_t length);
int zelmo_handleTR069Command(void *, void *, const void *payload, uint32_t length);
int zelmo_handleNotifyWDPRootAssocDevStatusChange(void *, void *, const void *payload, uint32_t length);
int zelmo_handleSetCriticalDevice(void *, void *, const void *payload, uint32_t length);
int zelmo_handleNotifyUpdateToZelmo(void *, void *, const void *payload, uint32_t length);
int zelmo_handleNotifySessionStart(void *, void *, const void *payload, uint32_t length);
int zelmo_notifyStatsEthPortUpdate(void *, void *, const void *payload, uint32_t length);
int zelmo_handleWANStatusChange(void *, void *, const void *payload, uint32_t length);
int zelmo_handleFPMsg(void *, void *, const void *payload, uint32_t length);
int zelmo_handleNotifyDHCPOpt55(void *, void *, const void *payload, uint32_t length);
