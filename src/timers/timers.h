// Device capture timers, the timer signal pipe and cloud sessions.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>

// Written by the SIGUSR1 handler (session expiry) and by the main thread, so
// both are lock-free atomics: plain loads and stores are async-signal-safe.
extern std::atomic<int32_t> _g_session_timeout;
extern std::atomic<uint32_t> _g_session_timer; // timer identifier, 0 when none

// Timers are named by non-zero 32-bit identifiers, never by raw timer_t
// (docs/timers.md). These are the building blocks of every daemon timer.
int zelmo_installTimerHandler();                  // 0, or -1 after perror("sigaction")
int zelmo_createTimer(uint32_t *id);              // one-shot SIGUSR1 timer; 0, or -1 after perror("timer_create")
int zelmo_armTimer(uint32_t id, int32_t seconds); // relative, one-shot; result of timer_settime
int zelmo_deleteTimer(uint32_t id);               // result of timer_delete; -1 for an unknown identifier
void timerHandler(int signal, siginfo_t *info, void *context);

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
