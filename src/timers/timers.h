// Device capture timers, the timer signal pipe and cloud sessions.
#pragma once

#include <cstdint>

extern volatile int32_t _g_session_timeout;
extern volatile uint32_t _g_session_timer;

int32_t zelmo_makeTimer(int index, int32_t seconds);
void handle_timer_msg(uint32_t timerHandle);
int change_timer(uint32_t timerHandle, int32_t seconds);
void zelmo_stop_cloud_session_timer();

// Cloud session control (main thread).
int zelmo_processNotifySessionStart(const uint8_t *payload, uint32_t length);
int zelmo_processTR069Command(const uint8_t *payload, uint32_t length);
int zelmo_processWANStatusChange(const uint8_t *payload, uint32_t length);
int zelmo_processStatsEthPortUpdate(const uint8_t *payload, uint32_t length);
void zelmo_handleSessionStart(const char *command);
int32_t zelmo_start_cloud_session_timer();
int fetchAnalyticalDataFromCloud();
void sendLanPhyRateToCloud();
