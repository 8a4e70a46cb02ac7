// Placeholders for operations not built yet; each moves out as it is implemented.
#include "fingerprint/fingerprint.h"
#include "platform/log.h"
void get_ipaddress(const char *, char *, char *) {}
void exists_iptable() {}
int init_iptables_chain() { return -1; }
void add_iptables_rule(const char *, int) {}
