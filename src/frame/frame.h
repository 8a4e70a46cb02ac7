// Daemon frame: start-up settings, local message channel, main loop, crash handling.
#pragma once

#include "platform/csmsg.h"

#include <cstddef>
#include <cstdint>
#include <pthread.h>

// Process-wide settings (start-up, command line and configuration).
extern char _g_file[128];
extern char _g_serial[32];
extern char _g_oui[32];
extern char _g_model[32];
extern int32_t log_opt;
extern int32_t _g_add_timer;
extern int32_t _g_remove_timer;
extern int32_t _g_isRoot;
extern char _g_br0_ip[32];
extern char _g_subnet[32];
extern CsMsgHandle msgHandle;
extern int csmsg_fd;

// Local message channel.
extern int local_pipe[2];
extern int signal_pipe[2];

// Types of the messages the bus thread hands to the main thread.
enum LocalMessageType : uint32_t {
    LM_SESSION_START = 0,
    LM_WDP_ROOT_ASSOC = 1,
    LM_STATS_ETH_PORT = 2,
    LM_JSON_DEVICE_UPDATE = 3,
    LM_DEVICE_INTERFACE_UPDATE = 4,
    LM_SET_LANHOST_ENTRY = 5,
    LM_DHCP_OPT43 = 6,
    LM_UPDATE_TO_ZELMO = 7,
    LM_DHCP_OPT55 = 8,
    LM_DEL_LANHOST_ENTRY = 9,
    LM_SET_CRITICAL_DEVICE = 10,
    LM_TR69_COMMAND = 11,
    LM_SET_LOG_LEVEL = 13,
    LM_SET_LOG_DESTINATION = 14,
    LM_WAN_STATUS_CHANGE = 16,
    LM_FP_MSG = 17,
    LM_TYPE_LIMIT = 18,
};

// Written through local_pipe as one unit; never leaves the process.
struct LocalMessage {
    uint32_t type;
    uint32_t length;
    uint8_t *payload; // length + 1 bytes, NUL after the payload; freed by the main thread
};

using LocalHandler = int (*)(const uint8_t *payload, uint32_t length);

// One entry of the message-type table: the first entry whose type matches
// a message gets it (msgtable.cpp).
struct LocalMsgRoute {
    uint32_t type;
    LocalHandler handler;
};
extern const LocalMsgRoute _g_func[];
extern const size_t _g_func_count;

// The bus thread, kept for joining.
extern pthread_t _g_dbus_thread;

int zelmo_create_local_unix_socket();
int zelmo_send_to_localfd(uint32_t type, const void *payload, uint32_t length);
int zelmo_handle_recv_msg(LocalMessage *message);
[[noreturn]] void zelmo_handle_main_fds();
// One wake-up of the main loop: waits until a watched descriptor is readable
// and serves the first ready one. Returns the descriptor served, -1 when the
// wait failed or nothing was ready.
int zelmo_serve_main_fds_once();
void zelmo_process_cs_message();
void zelmo_process_signal_msg();
void zelmo_process_localunix_msg(int fd);
int zelmo_dbus_msg_thread_init(void *argument);
void zelmo_dbus_thread_join();
void zelmo_setLogLevel(int level);
void zelmo_setLogDestination(int destination);
int zelmo_processSetLogLevelSignal(const uint8_t *payload, uint32_t length);
int zelmo_processSetLogDestinationSignal(const uint8_t *payload, uint32_t length);

// Start-up.
// Reads the options into the settings; exits for -h, -l and bad options.
void zelmo_parse_options(int argc, char **argv);
void zelmo_logInit();
int dm_monitor_register(const char *name, int policy, const char *text, int number, const char *handler);
void zelmo_read_args();

// Crash and termination handling.
int zelmo_initSigHdlr();
// From now on the termination handler flushes the capture chain first.
void zelmo_armChainFlush();
void zelmo_sigSegvHdlr(int signal);
