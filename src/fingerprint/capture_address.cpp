// The LAN bridge's address and network, and the MAC check that guards every
// packet-filter command line.
#include "fingerprint/fingerprint.h"

#include "common/bytes.h"
#include "common/owned_fd.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

int count_set_bits(uint32_t value)
{
    int count = 0;
    while (value != 0) {
        value &= value - 1;
        ++count;
    }
    return count;
}

// Reads the interface's IPv4 address and netmask. address and network are
// 32-byte fields; each is written only when the address could be read, so a
// bridge that is down leaves the texts of the last successful read in place.
void get_ipaddress(const char *ifname, char *address, char *network)
{
    if (text_empty(ifname))
        return;
    OwnedFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.fd < 0)
        return;

    struct ifreq request;
    memset(&request, 0, sizeof request);
    str_copy(request.ifr_name, sizeof request.ifr_name, ifname);
    request.ifr_addr.sa_family = AF_INET;

    uint32_t addr = 0, mask = 0;
    bool have_addr = false;
    if (ioctl(sock.fd, SIOCGIFADDR, &request) == 0) {
        struct sockaddr_in sin;
        memcpy(&sin, &request.ifr_addr, sizeof sin);
        addr = sin.sin_addr.s_addr;
        have_addr = true;
        if (address != nullptr) {
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
            str_copy(address, 32, text);
        }
    }
    if (ioctl(sock.fd, SIOCGIFNETMASK, &request) == 0) {
        struct sockaddr_in sin;
        memcpy(&sin, &request.ifr_netmask, sizeof sin);
        mask = sin.sin_addr.s_addr;
    }
    if (network != nullptr && have_addr) {
        struct in_addr net;
        net.s_addr = addr & mask;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &net, text, sizeof text);
        snprintf(network, 32, "%s/%d", text, count_set_bits(ntohl(mask)));
    }
}

bool mac_is_safe(const char *mac)
{
    if (mac == nullptr)
        return false;
    for (int i = 0; i < 17; ++i) {
        char c = mac[i];
        if (i % 3 == 2 ? c != ':' : !is_hex(c))
            return false; // also stops at a terminator before the 17th character
    }
    return mac[17] == '\0';
}
