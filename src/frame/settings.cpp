// Process-wide settings of the daemon and the descriptors of the local
// message channel.
#include "fingerprint/fingerprint.h"
#include "frame/frame.h"

// The database path starts as the gateway's default; main() moves it below
// ZELMO_ROOT before anything reads it, and -f / -l replace it as given.
char _g_file[128] = "/configs/devices.db";
char _g_serial[32];
char _g_oui[32];
char _g_model[32];
int32_t log_opt = 0;
int32_t _g_add_timer = 15;
int32_t _g_remove_timer = 3600;
int32_t _g_isRoot = 1;
char _g_bridge[16] = "br0"; // -b
char _g_br0_ip[32];
char _g_subnet[32];
CsMsgHandle msgHandle = nullptr;
int csmsg_fd = -1;

int local_pipe[2] = {-1, -1};
int signal_pipe[2] = {-1, -1};

pthread_t _g_dbus_thread;
