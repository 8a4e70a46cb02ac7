// Fingerprint collection: DHCP options 55 and 43, HTTP user-agent capture redirect.
#pragma once

#include <cstdint>

int zelmo_processNotifyDHCPOpt55(const uint8_t *payload, uint32_t length);
int zelmo_processNotifyDHCPOpt43(const uint8_t *payload, uint32_t length);

// Capture redirect in the packet filter. _g_bridge (-b, "br0" unless given)
// is the LAN bridge whose address and network the redirect uses.
extern char _g_bridge[16];
void get_ipaddress(const char *ifname, char *address, char *network);
int count_set_bits(uint32_t value);
// The jump PREROUTING -> PREROUTING_USERAGENT: checked for every event and
// put back when missing. exists_iptable reads the packet filter in-process
// where the backend behind "iptables" allows it, else it runs
// exists_iptable_command, the listing command.
enum class JumpBackend { command, nf_tables, legacy };
// Finds, from PATH, which packet filter "iptables" is; init_iptables_chain
// calls it at start-up, exists_iptable before its first check otherwise.
JumpBackend capture_detect_backend();
void exists_iptable();
void exists_iptable_command();
void insert_capture_jump();
// Legacy tables (libiptc): 1 when a rule of the chain has the target, 0 when
// none has (or the chain is missing), -1 when the table could not be read.
int iptc_jump_present(const char *table, const char *chain, const char *target);
int init_iptables_chain();
void add_iptables_rule(const char *mac, int insert);

// True when mac is exactly six hexadecimal pairs separated by colons: the
// only form of outside text that may reach a command line.
bool mac_is_safe(const char *mac);
