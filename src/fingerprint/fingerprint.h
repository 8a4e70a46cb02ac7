// Fingerprint collection: DHCP options 55 and 43, HTTP user-agent capture redirect.
#pragma once

#include <cstdint>

int zelmo_processNotifyDHCPOpt55(const uint8_t *payload, uint32_t length);
int zelmo_processNotifyDHCPOpt43(const uint8_t *payload, uint32_t length);

// Capture redirect in the packet filter.
void get_ipaddress(const char *ifname, char *address, char *network);
int count_set_bits(uint32_t value);
void exists_iptable();
int init_iptables_chain();
void add_iptables_rule(const char *mac, int insert);

// True when mac is exactly six hexadecimal pairs separated by colons: the
// only form of outside text that may reach a command line.
bool mac_is_safe(const char *mac);
