// A private network namespace for packet-filter tests: created with
// "ip netns add", entered by the calling thread only (setns), removed again.
// Real iptables runs inside it; nothing touches the machine's own rules.
#pragma once

#include "common/run_command.h"

#include <fcntl.h>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

class NetNamespace
{
  public:
    NetNamespace()
    {
        static int counter = 0;
        name_ = "zelmo-t" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        if (geteuid() != 0) {
            skip_ = "needs root for a private network namespace";
            return;
        }
        if (run({"ip", "netns", "add", name_}) != 0) {
            skip_ = "network namespaces are not available (ip netns add failed)";
            return;
        }
        created_ = true;
        fd_ = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0 || exec({"ip", "link", "set", "lo", "up"}) != 0)
            skip_ = "cannot use the network namespace " + name_;
        else if (std::string ignored; exec({"iptables", "-t", "nat", "-S"}, &ignored, true) != 0)
            skip_ = "iptables nat table unavailable in a network namespace";
    }
    ~NetNamespace()
    {
        if (fd_ >= 0)
            close(fd_);
        if (created_)
            run({"ip", "netns", "del", name_});
    }
    NetNamespace(const NetNamespace &) = delete;
    NetNamespace &operator=(const NetNamespace &) = delete;

    // Empty when usable, else why the test must be skipped.
    const std::string &skip_reason() const { return skip_; }
    const std::string &name() const { return name_; }
    int fd() const { return fd_; }

    // Runs a command inside the namespace; its exit status.
    int exec(const std::vector<std::string> &argv, std::string *out = nullptr, bool quiet = false) const
    {
        std::vector<std::string> full{"ip", "netns", "exec", name_};
        full.insert(full.end(), argv.begin(), argv.end());
        return run(full, out, quiet);
    }

    // The bridge "br0", up, with the address (e.g. "192.168.77.1/24"; empty: none).
    bool add_bridge(const std::string &cidr) const
    {
        if (exec({"ip", "link", "add", "br0", "type", "bridge"}) != 0)
            return false;
        if (!cidr.empty() && exec({"ip", "addr", "add", cidr, "dev", "br0"}) != 0)
            return false;
        return exec({"ip", "link", "set", "br0", "up"}) == 0;
    }

    // "iptables -t nat -S [chain]" lines inside the namespace.
    std::vector<std::string> nat_rules(const std::string &chain = "") const
    {
        std::vector<std::string> argv{"iptables", "-t", "nat", "-S"};
        if (!chain.empty())
            argv.push_back(chain);
        std::string out;
        exec(argv, &out, true);
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < out.size()) {
            size_t end = out.find('\n', start);
            if (end == std::string::npos)
                end = out.size();
            if (end > start)
                lines.push_back(out.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    static int run(const std::vector<std::string> &argv, std::string *out = nullptr, bool quiet = false)
    {
        std::vector<const char *> v;
        for (const std::string &a : argv)
            v.push_back(a.c_str());
        v.push_back(nullptr);
        RunOptions options;
        options.err = quiet ? ChildStream::discard : ChildStream::inherit;
        if (out != nullptr) {
            options.out = ChildStream::capture;
            options.captured = out;
        }
        return run_command(v.data(), options);
    }

  private:
    std::string name_, skip_;
    bool created_ = false;
    int fd_ = -1;
};

// The calling thread inside a namespace for its lifetime: sockets it opens and
// children it starts (the real zelmo binary too) live in that namespace.
class InNamespace
{
  public:
    explicit InNamespace(const NetNamespace &ns)
    {
        saved_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        ok_ = saved_ >= 0 && setns(ns.fd(), CLONE_NEWNET) == 0;
    }
    ~InNamespace()
    {
        if (saved_ >= 0) {
            if (ok_)
                setns(saved_, CLONE_NEWNET);
            close(saved_);
        }
    }
    InNamespace(const InNamespace &) = delete;
    InNamespace &operator=(const InNamespace &) = delete;
    bool ok() const { return ok_; }

  private:
    int saved_ = -1;
    bool ok_ = false;
};

#define SKIP_WITHOUT_NAMESPACE(ns)                                                                           \
    do {                                                                                                     \
        if (!(ns).skip_reason().empty())                                                                     \
            GTEST_SKIP() << (ns).skip_reason();                                                              \
    } while (0)
