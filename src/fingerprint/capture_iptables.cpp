// The HTTP user-agent capture redirect: the nat chain PREROUTING_USERAGENT,
// the jump into it from PREROUTING and one DNAT rule per device, which sends
// the device's port-80 connections to the capture service on port 8001 of the
// gateway. iptables is run without a shell, with an argument vector.
#include "fingerprint/fingerprint.h"

#include "common/bytes.h"
#include "common/run_command.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <cstdio>
#include <string>

namespace
{

constexpr char kChain[] = "PREROUTING_USERAGENT";

// True when some line of the text contains the word (the "| grep" of the listing).
bool has_line_with(const std::string &text, const char *word)
{
    return text.find(word) != std::string::npos;
}

} // namespace

void insert_capture_jump()
{
    const char *jump[] = {"iptables", "-t", "nat", "-I", "PREROUTING", "-j", kChain, nullptr};
    run_command(jump);
}

void exists_iptable_command()
{
    const char *list[] = {"iptables", "-t", "nat", "-L", "PREROUTING", "-nv", nullptr};
    std::string listing;
    RunOptions options;
    options.out = ChildStream::capture;
    options.captured = &listing;
    if (run_command(list, options) < 0)
        return; // the listing could not be started: no jump is added
    if (has_line_with(listing, kChain))
        return;
    insert_capture_jump();
}

int init_iptables_chain()
{
    capture_detect_backend();
    const char *create[] = {"iptables", "-N", kChain, "-t", "nat", nullptr};
    RunOptions quiet;
    quiet.err = ChildStream::discard; // the chain usually exists already
    run_command(create, quiet);
    exists_iptable();
    const char *flush[] = {"iptables", "-F", kChain, "-t", "nat", nullptr};
    return run_command(flush);
}

void add_iptables_rule(const char *mac, int insert)
{
    if (text_empty(mac))
        return;
    if (!mac_is_safe(mac)) {
        ZLOG(ZLOG_ERR, "refusing capture redirect change: MAC address is not six hexadecimal pairs\n");
        return;
    }
    exists_iptable();
    get_ipaddress(_g_bridge, _g_br0_ip, _g_subnet);
    if (_g_br0_ip[0] == '\0' || _g_subnet[0] == '\0')
        return;

    char subnet[32], address[32], destination[48];
    field_copy(subnet, _g_subnet);
    field_copy(address, _g_br0_ip);
    snprintf(destination, sizeof destination, "%s:8001", address);
    const char *rule[] = {"iptables",
                          "-t",
                          "nat",
                          "-" /* placeholder */,
                          kChain,
                          "-p",
                          "tcp",
                          "-m",
                          "mac",
                          "--mac-source",
                          mac,
                          "-s",
                          subnet,
                          "!",
                          "-d",
                          address,
                          "--dport",
                          "80",
                          "-j",
                          "DNAT",
                          "--to-destination",
                          destination,
                          nullptr};
    rule[3] = insert ? "-I" : "-D";
    RunOptions quiet;
    quiet.err = ChildStream::discard;
    run_command(rule, quiet);
}
