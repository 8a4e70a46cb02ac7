// Power cuts: the real daemon is killed with SIGKILL at random moments while
// host updates stream in through the message service and the bus. After
// every kill the database file must be whole (size header "4932", a count of
// 0..256, exactly 64 + 4932 x count bytes, used records only), must hold
// every change the LAN host daemon had been told of before the kill, and must
// never lose a device or step back to an older state; the next start must
// load it completely (with a save the kill cut short completed from its
// journal, as any reader sees it).
//
// Each update gives its host a new host name "h<sequence>", with one global
// sequence, so a record's host name tells which change it holds. Hosts
// 1..20 are fed through the message service and 21..40 through the bus, so
// within one channel the updates of a host arrive in the order sent.
#include "hardening_env.h"

#include "devtable/devtable.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

namespace
{

constexpr unsigned kHostsPerChannel = 20;

// The sequence number in the record's host name "h<n>"; 0 for anything else.
unsigned host_sequence(const DeviceRecord &r)
{
    std::string name(r.lanHostEntry.HostName, strnlen(r.lanHostEntry.HostName, 256));
    return name.size() < 2 || name[0] != 'h' ? 0 : unsigned(std::stoul(name.substr(1)));
}

// A number from the environment (to lengthen a run by hand), or the default.
int env_number(const char *name, int fallback)
{
    const char *v = getenv(name);
    return v != nullptr && v[0] != '\0' ? atoi(v) : fallback;
}

// Sends host updates until stopped, one every few milliseconds.
class UpdateStream
{
  public:
    explicit UpdateStream(RecordingLanHost &lanhost) : lanhost_(lanhost), thread_([this] { run(); }) {}
    ~UpdateStream()
    {
        stop_ = true;
        thread_.join();
    }
    unsigned sent() const { return sequence_; }

  private:
    void run()
    {
        std::mt19937 rng(7);
        while (!stop_) {
            unsigned host = 1 + rng() % (2 * kHostsPerChannel);
            unsigned sequence = ++sequence_;
            LanHostEntryObject entry = make_lanhost(test_mac(host), "192.168.1." + std::to_string(host),
                                                    "h" + std::to_string(sequence), "Ethernet", host);
            if (host <= kHostsPerChannel)
                send_message(make_host_update_message(entry, STATUS_ACTIVE, "Reachable", "Associated"));
            else
                lanhost_.emit("setLanhostEntry", to_bytes(make_lanhost_update(entry, STATUS_ACTIVE)));
            std::this_thread::sleep_for(3ms);
        }
    }
    RecordingLanHost &lanhost_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> sequence_{0};
    std::thread thread_;
};

} // namespace

using PowerCut = HardeningTest;

TEST_F(PowerCut, KillsAtRandomMomentsNeverLoseAnAcknowledgedChange)
{
    // Fewer rounds with the sanitizers, whose start-up is slower.
    const int rounds = env_number("ZELMO_POWERCUT_ROUNDS", built_with_asan() ? 120 : 200);
    const unsigned seed = unsigned(env_number("ZELMO_POWERCUT_SEED", int(time(nullptr) & 0xffff)));
    SCOPED_TRACE("seed " + std::to_string(seed) + " (ZELMO_POWERCUT_SEED repeats a run)");
    std::mt19937 rng(seed);

    std::map<std::string, unsigned> floor; // per MAC: the oldest change the file may hold
    DbImage previous;                      // the file as the last kill left it
    int acknowledged = 0, loads_checked = 0, killed_in_startup = 0;
    UpdateStream stream(lanhost);

    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        lanhost.clear();
        // A quarter of the kills hit the start-up; the others come at a
        // random moment after the daemon has begun to acknowledge updates.
        const bool in_startup = rng() % 4 == 0;
        const auto delay = std::chrono::milliseconds(in_startup ? rng() % 150 : rng() % 300);
        {
            DaemonProcess zelmo({}, {tools.path_env()});
            if (!in_startup) {
                ASSERT_TRUE(wait_until(
                    [&] {
                        return !lanhost.calls("notifyDeviceStatusChange").empty() ||
                               !lanhost.calls("notifyDeviceAdded").empty();
                    },
                    10000ms))
                    << "no update acknowledged after the start";
            }
            std::this_thread::sleep_for(delay);
            ASSERT_TRUE(zelmo.running()) << zelmo.stderr_text();
            zelmo.kill(SIGKILL);
            ASSERT_EQ(zelmo.wait_exit(5000ms).signal, SIGKILL);
        }
        std::this_thread::sleep_for(40ms); // notifications still on their way arrive

        // The start-up handed the whole loaded table to the LAN host daemon:
        // the file of the previous round was loaded completely.
        std::vector<BusMessage> calls = lanhost.calls();
        auto sync = std::find_if(calls.begin(), calls.end(),
                                 [](const BusMessage &c) { return c.member == "notifySyncAllDevices"; });
        if (sync != calls.end()) {
            ++loads_checked;
            const Bytes &b = sync->bytes();
            ASSERT_GE(b.size(), 4u);
            const uint32_t count = load_le32(b.data());
            ASSERT_EQ(count, previous.records.size());
            for (uint32_t i = 0; i < count; ++i) {
                const auto *r =
                    reinterpret_cast<const DeviceRecord *>(b.data() + 4 + i * sizeof(DeviceRecord));
                EXPECT_EQ(record_mac(*r), record_mac(previous.records[i]));
                EXPECT_EQ(host_sequence(*r), host_sequence(previous.records[i]));
            }
        } else if (in_startup && !previous.records.empty()) {
            ++killed_in_startup;
        }

        // Changes the LAN host daemon was told of were saved before.
        for (const BusMessage &c : calls) {
            if (c.member != "notifyDeviceAdded" && c.member != "notifyDeviceStatusChange")
                continue;
            const Bytes &b = c.bytes();
            ASSERT_GE(b.size(), 4 + sizeof(DeviceRecord));
            const auto *r = reinterpret_cast<const DeviceRecord *>(b.data() + 4);
            unsigned &f = floor[record_mac(*r)];
            f = std::max(f, host_sequence(*r));
            ++acknowledged;
        }

        // The file left by the kill: whole, and never older than what was
        // acknowledged or stored before.
        if (!file_exists(root.db_path())) {
            ASSERT_TRUE(previous.records.empty()) << "the database file disappeared";
            ASSERT_TRUE(floor.empty()) << "changes were acknowledged but no database file exists";
            continue;
        }
        const Bytes image = root.read_db();
        DbImage now = parse_db(image);
        ASSERT_TRUE(now.ok) << "damaged file of " << image.size() << " bytes";
        ASSERT_EQ(now.size_text, "4932");
        ASSERT_EQ(now.count_text, std::to_string(now.records.size()));
        ASSERT_LE(now.records.size(), size_t(MAX_DEVICES));
        // What the file holds for a reader, and for the next start: with a
        // save that the kill interrupted after its journal was complete.
        ASSERT_EQ(devtable_alloc(), 0);
        ASSERT_EQ(db_load_readonly(root.db_path().c_str(), false), 0);
        now.records.assign(_g_devices, _g_devices + _g_device_count);
        std::map<std::string, unsigned> stored;
        for (const DeviceRecord &r : now.records) {
            const std::string mac = record_mac(r);
            ASSERT_FALSE(mac.empty()) << "a record without MAC address";
            ASSERT_TRUE(stored.emplace(mac, host_sequence(r)).second) << mac << " stored twice";
        }
        for (auto &[mac, oldest] : floor) {
            ASSERT_TRUE(stored.count(mac)) << mac << " lost";
            ASSERT_GE(stored[mac], oldest) << mac << " went back to an older change";
            oldest = stored[mac];
        }
        for (const auto &[mac, sequence] : stored)
            floor[mac] = std::max(floor[mac], sequence);
        previous = now;
    }

    printf("power cut: %d kills, %u updates sent, %d acknowledged, %d restarts checked for a full load, "
           "%d kills inside the start-up, %zu devices\n",
           rounds, stream.sent(), acknowledged, loads_checked, killed_in_startup, floor.size());
    // The run did what it is for: many acknowledged changes and devices,
    // restarts that loaded a file, and kills inside the start-up.
    EXPECT_GT(acknowledged, rounds);
    EXPECT_GE(floor.size(), size_t(kHostsPerChannel));
    EXPECT_GT(loads_checked, rounds / 2);
    EXPECT_GT(killed_in_startup, 0);
    EXPECT_GT(stream.sent(), unsigned(rounds));
}
