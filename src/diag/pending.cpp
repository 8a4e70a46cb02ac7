// Placeholders for operations not built yet; each moves out as it is implemented.
#include "diag/diag.h"
#include "platform/log.h"
void zelmo_process_dumpcommand(int, char **) {}
void zelmo_dumpall() {}
void print_device_data() {}
