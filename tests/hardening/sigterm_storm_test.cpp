// A storm of SIGTERMs: the real daemon, busy with a burst of host updates
// from the message service and the bus, logging at debug level to standard
// error or through syslog(3), gets 500 SIGTERMs from two threads at a random
// moment. Every round it must die by SIGTERM within 2 s, with one trace line,
// one archive and one chain flush (a second signal never runs the handler
// again), leave a database that loads, and release its instance lock: the
// next round's daemon starts at once.
#include "hardening_env.h"

#include "devtable/devtable.h"

#include <atomic>
#include <chrono>
#include <random>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace
{

// Host updates through both channels until stopped. Datagrams go out with
// MSG_DONTWAIT: a daemon that stops reading loses them, it never stalls the
// sender (a full queue or no daemon at all just drops the update).
class Burst
{
  public:
    explicit Burst(RecordingLanHost &lanhost) : lanhost_(lanhost), thread_([this] { run(); }) {}
    ~Burst()
    {
        stop_ = true;
        thread_.join();
    }

  private:
    void run()
    {
        const std::string path = csmsg_socket_path();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path, path.c_str(), std::min(path.size() + 1, sizeof address.sun_path - 1));
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        for (unsigned sequence = 1; !stop_; ++sequence) {
            unsigned host = 1 + sequence % 16;
            LanHostEntryObject entry = make_lanhost(test_mac(host), "192.168.1." + std::to_string(host),
                                                    "s" + std::to_string(sequence), "Ethernet", host);
            DeviceUpdateMessage message =
                make_host_update_message(entry, STATUS_ACTIVE, "Reachable", "Associated");
            sendto(fd, &message, sizeof message, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&address),
                   sizeof address);
            if (sequence % 4 == 0)
                lanhost_.emit("setLanhostEntry", to_bytes(make_lanhost_update(entry, STATUS_ACTIVE)));
            std::this_thread::sleep_for(1ms);
        }
        close(fd);
    }
    RecordingLanHost &lanhost_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

size_t count_equal(const std::vector<std::string> &lines, const std::string &line)
{
    return size_t(std::count(lines.begin(), lines.end(), line));
}

} // namespace

using SigtermStorm = HardeningTest;

TEST_F(SigtermStorm, EveryRoundDiesOnceBySigtermAndLeavesALoadableDatabase)
{
    tools.add("tar");
    const int rounds = 20;
    const unsigned seed = unsigned(time(nullptr) & 0xffff);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string trace = root.file("/logs/zelmo_btrace.log");
    const std::string flush = "-t nat -F PREROUTING_USERAGENT"; // the handler's, not the start-up's
    // Stored devices of an earlier run: a stop at any moment keeps them.
    root.write_db({make_record(test_mac(0x31)), make_record(test_mac(0x32)), make_record(test_mac(0x33))});
    Burst burst(lanhost);

    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Odd rounds log through syslog(3), raised to debug level at run time.
        const bool to_syslog = round % 2 == 1;
        DaemonProcess zelmo(to_syslog ? std::vector<std::string>{} : std::vector<std::string>{"-d", "1"},
                            {tools.path_env()});
        ASSERT_TRUE(zelmo.wait_for_output("Started Zelmo Process", 10000ms)) << zelmo.stderr_text();
        if (to_syslog)
            send_csmsg(CSMSG_TYPE_SET_LOG_LEVEL, 7, {});
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 250));
        ASSERT_TRUE(zelmo.running()) << zelmo.stderr_text();

        // The pid cannot be reused while the storm lasts: the daemon is
        // reaped only after both senders are done.
        const auto first = std::chrono::steady_clock::now();
        std::atomic<int> sent{0};
        auto storm = [&] {
            for (int i = 0; i < 250; ++i)
                sent += ::kill(zelmo.pid(), SIGTERM) == 0;
        };
        std::thread a(storm), b(storm);
        a.join();
        b.join();
        ProcessEnd end = zelmo.wait_exit(2000ms);
        const auto took = std::chrono::steady_clock::now() - first;
        ASSERT_TRUE(end.ended) << "still running 2 s after the first SIGTERM";
        EXPECT_EQ(end.signal, SIGTERM) << "exit " << end.exit_code << "\n" << zelmo.stderr_text();
        EXPECT_LE(took, 2000ms);
        EXPECT_EQ(sent, 500);

        // One handler run: one trace line, one flush, one archive; no other
        // signal's line, no sanitizer report.
        const std::vector<std::string> lines = read_lines(trace);
        EXPECT_EQ(lines.size(), size_t(round + 1));
        EXPECT_EQ(count_equal(lines, "zelmo recived SIGTERM"), lines.size());
        EXPECT_EQ(count_equal(tools.calls("iptables"), flush), size_t(round + 1));
        EXPECT_TRUE(wait_until([&] { return tools.calls("tar").size() >= size_t(round + 1); }, 2000ms));
        EXPECT_EQ(tools.calls("tar").size(), size_t(round + 1));
        EXPECT_EQ(zelmo.count_output("zelmo recived SIGTERM\n"), to_syslog ? 0u : 1u);
        EXPECT_EQ(zelmo.count_output("Sanitizer"), 0u) << zelmo.stderr_text();
        EXPECT_EQ(zelmo.count_output("runtime error"), 0u) << zelmo.stderr_text();

        // The database is whole and loads, the stored devices still in it.
        const DbImage image = parse_db(root.read_db());
        ASSERT_TRUE(image.ok);
        EXPECT_EQ(image.size_text, "4932");
        EXPECT_GE(image.records.size(), 3u);
        ASSERT_EQ(devtable_alloc(), 0);
        ASSERT_EQ(db_load_readonly(root.db_path().c_str(), false), 0);
        // A save the stop cut short is completed from its journal.
        EXPECT_GE(size_t(_g_device_count), image.records.size());
        if (HasFailure())
            break;
    }
    // The lock of the last round's daemon is gone as well.
    DaemonProcess next({"-d", "1"}, {tools.path_env()});
    EXPECT_TRUE(next.wait_for_output("Started Zelmo Process", 10000ms)) << next.stderr_text();
    EXPECT_GT(lanhost.calls("notifyDeviceAdded").size(), 0u); // the burst reached the daemons
}
