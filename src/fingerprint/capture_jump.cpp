// The check, run for every device event, that the jump from the nat chain
// PREROUTING to PREROUTING_USERAGENT is still in place, without starting a
// process where the packet filter can be read directly:
//   - nf_tables (iptables-nft): the ruleset generation, read over netlink,
//     unchanged since the last check that saw the jump proves the jump is
//     still there; after a change the rules of table ip nat, chain
//     PREROUTING, are dumped and searched for a jump or goto to the chain;
//   - legacy (iptables-legacy): the nat table is read through libiptc.
// Which of the two "iptables" is, is found once, at start-up, from the file
// that PATH names: Debian's iptables is a chain of links ending at
// xtables-nft-multi or xtables-legacy-multi. Anything else (an unknown
// iptables, a program of another name) keeps the listing command per event.
// A missing jump is inserted with the iptables command in every case, and a
// check that cannot be made in-process falls back to the command.
// Called on the main thread only (event handler, start-up, timer steps).
#include "fingerprint/fingerprint.h"

#include "common/bytes.h"
#include "platform/log.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h> // before the kernel headers below, which then leave its types alone
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#ifdef ZELMO_HAVE_NFT_CHECK
#include <libmnl/libmnl.h>
#include <libnftnl/expr.h>
#include <libnftnl/gen.h>
#include <libnftnl/rule.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#endif

namespace
{

JumpBackend _g_jump_backend = JumpBackend::command;
bool _g_jump_detected = false;

// The first executable "iptables" in PATH, as execvp would find it; empty
// when there is none.
std::string find_in_path(const char *name)
{
    const char *path = getenv("PATH");
    std::string dirs =
        path != nullptr ? path : "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::string();
}

#if defined(ZELMO_HAVE_NFT_CHECK) || defined(ZELMO_HAVE_IPTC_CHECK)
constexpr char kChain[] = "PREROUTING_USERAGENT";
#endif

#ifdef ZELMO_HAVE_NFT_CHECK

// The generation of the last check that saw the jump.
bool _g_jump_generation_known = false;
uint32_t _g_jump_generation = 0;

struct MnlSocketClose {
    void operator()(mnl_socket *s) const { mnl_socket_close(s); }
};
struct NftRuleFree {
    void operator()(nftnl_rule *r) const { nftnl_rule_free(r); }
};
struct NftGenFree {
    void operator()(nftnl_gen *g) const { nftnl_gen_free(g); }
};
using MnlSocket = std::unique_ptr<mnl_socket, MnlSocketClose>;

MnlSocket open_netfilter_socket()
{
    MnlSocket sock(mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC));
    if (sock && mnl_socket_bind(sock.get(), 0, MNL_SOCKET_AUTOPID) < 0)
        sock.reset();
    return sock;
}

// Sends the request and runs cb on every message of the answer; false when
// the request failed (no nf_tables, no such table or chain, a short read).
bool netlink_exchange(mnl_socket *sock, nlmsghdr *request, mnl_cb_t cb, void *data)
{
    if (mnl_socket_sendto(sock, request, request->nlmsg_len) < 0)
        return false;
    const uint32_t seq = request->nlmsg_seq, portid = mnl_socket_get_portid(sock);
    alignas(nlmsghdr) char buf[MNL_SOCKET_BUFFER_SIZE];
    for (;;) {
        ssize_t n = mnl_socket_recvfrom(sock, buf, sizeof buf);
        if (n <= 0)
            return false;
        int ret = mnl_cb_run(buf, size_t(n), seq, portid, cb, data);
        if (ret < 0)
            return false;
        if (ret == MNL_CB_STOP)
            return true;
    }
}

int generation_cb(const nlmsghdr *nlh, void *data)
{
    std::unique_ptr<nftnl_gen, NftGenFree> gen(nftnl_gen_alloc());
    if (!gen || nftnl_gen_nlmsg_parse(nlh, gen.get()) < 0)
        return MNL_CB_ERROR;
    *static_cast<uint32_t *>(data) = nftnl_gen_get_u32(gen.get(), NFTNL_GEN_ID);
    return MNL_CB_STOP;
}

bool read_generation(mnl_socket *sock, uint32_t seq, uint32_t *generation)
{
    alignas(nlmsghdr) char buf[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *nlh = nftnl_nlmsg_build_hdr(buf, NFT_MSG_GETGEN, AF_UNSPEC, 0, seq);
    return netlink_exchange(sock, nlh, generation_cb, generation);
}

struct JumpSearch {
    bool found = false;
};

int expr_is_jump(nftnl_expr *expr, void *data)
{
    const char *name = nftnl_expr_get_str(expr, NFTNL_EXPR_NAME);
    if (name == nullptr || strcmp(name, "immediate") != 0 || !nftnl_expr_is_set(expr, NFTNL_EXPR_IMM_VERDICT))
        return 0;
    const uint32_t verdict = nftnl_expr_get_u32(expr, NFTNL_EXPR_IMM_VERDICT);
    const char *chain = nftnl_expr_is_set(expr, NFTNL_EXPR_IMM_CHAIN)
                            ? nftnl_expr_get_str(expr, NFTNL_EXPR_IMM_CHAIN)
                            : nullptr;
    if ((verdict == uint32_t(NFT_JUMP) || verdict == uint32_t(NFT_GOTO)) && chain != nullptr &&
        strcmp(chain, kChain) == 0)
        static_cast<JumpSearch *>(data)->found = true;
    return 0;
}

int rule_cb(const nlmsghdr *nlh, void *data)
{
    std::unique_ptr<nftnl_rule, NftRuleFree> rule(nftnl_rule_alloc());
    if (!rule || nftnl_rule_nlmsg_parse(nlh, rule.get()) < 0)
        return MNL_CB_ERROR;
    const char *table = nftnl_rule_get_str(rule.get(), NFTNL_RULE_TABLE);
    const char *chain = nftnl_rule_get_str(rule.get(), NFTNL_RULE_CHAIN);
    if (table != nullptr && chain != nullptr && strcmp(table, "nat") == 0 && strcmp(chain, "PREROUTING") == 0)
        nftnl_expr_foreach(rule.get(), expr_is_jump, data);
    return MNL_CB_OK;
}

// 1: the jump is in table ip nat, chain PREROUTING; 0: it is not; -1: the
// rules could not be read.
int nft_jump_in_rules(mnl_socket *sock, uint32_t seq)
{
    alignas(nlmsghdr) char buf[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *nlh = nftnl_nlmsg_build_hdr(buf, NFT_MSG_GETRULE, NFPROTO_IPV4, NLM_F_DUMP, seq);
    std::unique_ptr<nftnl_rule, NftRuleFree> filter(nftnl_rule_alloc());
    if (!filter)
        return -1;
    nftnl_rule_set_str(filter.get(), NFTNL_RULE_TABLE, "nat");
    nftnl_rule_set_str(filter.get(), NFTNL_RULE_CHAIN, "PREROUTING");
    nftnl_rule_nlmsg_build_payload(nlh, filter.get());
    JumpSearch search;
    if (!netlink_exchange(sock, nlh, rule_cb, &search))
        return errno == ENOENT ? 0 : -1; // no nat table or no PREROUTING: no jump
    return search.found ? 1 : 0;
}

// The netfilter socket of the checks, kept open from one event to the
// next; closed after a failed exchange, so that an answer left unread can
// never be taken for the next one's.
MnlSocket _g_nft_socket;

// The jump check on nf_tables; false when it could not be made in-process.
bool nft_check_jump()
{
    if (!_g_nft_socket)
        _g_nft_socket = open_netfilter_socket();
    if (!_g_nft_socket)
        return false;
    mnl_socket *sock = _g_nft_socket.get();
    static uint32_t seq = 0;
    uint32_t generation = 0;
    if (!read_generation(sock, ++seq, &generation)) {
        _g_nft_socket.reset();
        return false;
    }
    if (_g_jump_generation_known && generation == _g_jump_generation)
        return true; // nothing changed since the jump was seen
    _g_jump_generation_known = false;
    // The generation is read before the rules: a change made during the
    // dump moves it on, and the next event looks again.
    int present = nft_jump_in_rules(sock, ++seq);
    if (present < 0) {
        _g_nft_socket.reset();
        return false;
    }
    if (present == 0) {
        insert_capture_jump(); // the next event sees its generation and looks once more
        return true;
    }
    _g_jump_generation = generation;
    _g_jump_generation_known = true;
    return true;
}

#endif // ZELMO_HAVE_NFT_CHECK

#ifdef ZELMO_HAVE_IPTC_CHECK

// The jump check on the legacy tables; false when the nat table could not
// be read.
bool iptc_check_jump()
{
    int present = iptc_jump_present("nat", "PREROUTING", kChain);
    if (present < 0)
        return false;
    if (present == 0)
        insert_capture_jump();
    return true;
}

#endif // ZELMO_HAVE_IPTC_CHECK

} // namespace

JumpBackend capture_detect_backend()
{
    _g_jump_detected = true;
#ifdef ZELMO_HAVE_NFT_CHECK
    _g_jump_generation_known = false;
#endif
    _g_jump_backend = JumpBackend::command;
    std::string path = find_in_path("iptables");
    char resolved[PATH_MAX];
    if (path.empty() || realpath(path.c_str(), resolved) == nullptr)
        return _g_jump_backend;
    const char *base = strrchr(resolved, '/');
    base = base != nullptr ? base + 1 : resolved;
#ifdef ZELMO_HAVE_NFT_CHECK
    if (strcmp(base, "xtables-nft-multi") == 0)
        _g_jump_backend = JumpBackend::nf_tables;
#endif
#ifdef ZELMO_HAVE_IPTC_CHECK
    if (strcmp(base, "xtables-legacy-multi") == 0)
        _g_jump_backend = JumpBackend::legacy;
#endif
    ZLOG(ZLOG_DEBUG, "capture jump check: %s\n",
         _g_jump_backend == JumpBackend::nf_tables ? "nf_tables generation"
         : _g_jump_backend == JumpBackend::legacy  ? "legacy table read"
                                                   : "iptables listing");
    (void)base;
    return _g_jump_backend;
}

void exists_iptable()
{
    if (!_g_jump_detected)
        capture_detect_backend();
    bool checked = false;
#ifdef ZELMO_HAVE_NFT_CHECK
    if (_g_jump_backend == JumpBackend::nf_tables)
        checked = nft_check_jump();
#endif
#ifdef ZELMO_HAVE_IPTC_CHECK
    if (_g_jump_backend == JumpBackend::legacy)
        checked = iptc_check_jump();
#endif
    if (!checked)
        exists_iptable_command();
}
