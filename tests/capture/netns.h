// A private network namespace ("ip netns add") for packet-filter tests, and
// RAII entry of the calling thread into it (setns): sockets it opens and
// children it starts, the zelmo binary too, live in the namespace. Real
// iptables runs inside; the machine's own rules are never touched.
#pragma once

#include "fixture/fixture.h"

#include <fcntl.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

class NetNamespace
{
  public:
    NetNamespace() : name_("zelmo-t" + std::to_string(getpid()) + "-" + std::to_string(created_count++))
    {
        std::string ignored;
        if (geteuid() != 0)
            skip_ = "needs root for a private network namespace";
        else if (!(created_ = run_program({"ip", "netns", "add", name_}).exit_code == 0))
            skip_ = "network namespaces are not available (ip netns add failed)";
        else if ((fd_ = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC)) < 0 ||
                 exec({"iptables", "-t", "nat", "-S"}, &ignored) != 0)
            skip_ = "no iptables nat table in a network namespace";
    }
    ~NetNamespace()
    {
        if (fd_ >= 0)
            close(fd_);
        if (created_)
            run_program({"ip", "netns", "del", name_});
    }
    NetNamespace(const NetNamespace &) = delete;
    NetNamespace &operator=(const NetNamespace &) = delete;

    const std::string &skip_reason() const { return skip_; }
    int fd() const { return fd_; }
    int exec(std::vector<std::string> argv, std::string *out = nullptr) const
    {
        argv.insert(argv.begin(), {"ip", "netns", "exec", name_});
        return run_program(argv, out).exit_code;
    }
    // A bridge ("br0" unless named), up, with the address ("192.168.77.1/24"; empty: none).
    bool add_bridge(const std::string &cidr, const std::string &name = "br0") const
    {
        return exec({"ip", "link", "add", name, "type", "bridge"}) == 0 &&
               (cidr.empty() || exec({"ip", "addr", "add", cidr, "dev", name}) == 0) &&
               exec({"ip", "link", "set", name, "up"}) == 0;
    }
    // The lines of "<iptables> -t nat -S [chain]".
    std::vector<std::string> nat_rules(const std::string &chain = "",
                                       const std::string &iptables = "iptables") const
    {
        std::string out;
        exec(chain.empty() ? std::vector<std::string>{iptables, "-t", "nat", "-S"}
                           : std::vector<std::string>{iptables, "-t", "nat", "-S", chain},
             &out);
        std::vector<std::string> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                lines.push_back(line);
        return lines;
    }

  private:
    static inline int created_count = 0;
    std::string name_, skip_;
    bool created_ = false;
    int fd_ = -1;
};

class InNamespace
{
  public:
    explicit InNamespace(const NetNamespace &ns)
        : saved_(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)),
          ok_(saved_ >= 0 && setns(ns.fd(), CLONE_NEWNET) == 0)
    {
    }
    ~InNamespace()
    {
        if (ok_)
            setns(saved_, CLONE_NEWNET);
        if (saved_ >= 0)
            close(saved_);
    }
    InNamespace(const InNamespace &) = delete;
    InNamespace &operator=(const InNamespace &) = delete;
    bool ok() const { return ok_; }

  private:
    int saved_;
    bool ok_;
};

#define SKIP_WITHOUT_NAMESPACE(ns)                                                                           \
    if (!(ns).skip_reason().empty())                                                                         \
    GTEST_SKIP() << (ns).skip_reason()
