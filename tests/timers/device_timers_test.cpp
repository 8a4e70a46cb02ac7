// Device timers in process: real POSIX timers and signals, the timer signal
// pipe as a real socket pair, the table's database in a temporary root, and a
// recording iptables first in PATH with a known bridge address, 1 s periods.
#include "devtable/devtable.h"
#include "fixture/fixture.h"
#include "frame/frame.h"
#include "platform/log.h"
#include "timers/timers.h"

#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <set>
#include <sys/socket.h>

class TimerTest : public ::testing::Test
{
  protected:
    GatewayRoot gw;
    ToolStandIns tools;
    std::string path = getenv("PATH");

    void SetUp() override
    {
        ASSERT_EQ(devtable_alloc(), 0);
        field_set(_g_file, gw.db_path().c_str());
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signal_pipe), 0);
        tools.add("iptables");
        setenv("PATH", (tools.dir() + ":" + path).c_str(), 1);
        field_set(_g_br0_ip, "192.168.77.1");
        field_set(_g_subnet, "192.168.77.0/24");
        _g_add_timer = _g_remove_timer = 1;
        cslibLog_setLevel(ZLOG_ERR); // the timers' own work, not the log's
    }
    void TearDown() override
    {
        for (int i = 0; i < _g_device_count; ++i) // nothing fires into the next test
            zelmo_deleteTimer(_g_devices[i].timer.get());
        setenv("PATH", path.c_str(), 1);
        close(signal_pipe[0]);
        close(signal_pipe[1]);
    }
    int add(unsigned n)
    {
        _g_devices[_g_device_count] = make_record(test_mac(n));
        update_db();
        return _g_device_count++;
    }
    DeviceRecord &rec(int i) { return _g_devices[i]; }
    void start(int i) // the schedule start of the update handler
    {
        ASSERT_EQ(zelmo_makeTimer(i, _g_add_timer), 0);
        rec(i).TimerStage.set(1);
    }
    // The next identifier the signal handler wrote into the pipe.
    static std::optional<uint32_t> fired(int timeout_ms = 3000)
    {
        pollfd p{signal_pipe[0], POLLIN, 0};
        uint32_t id = 0;
        while (poll(&p, 1, timeout_ms) < 0) // EINTR: the timer signal itself
            ;
        if (!(p.revents & POLLIN) || read(signal_pipe[0], &id, sizeof id) != sizeof id)
            return std::nullopt;
        return id;
    }
    void step() // the main loop's handling of the next expiry
    {
        auto id = fired();
        ASSERT_TRUE(id.has_value());
        handle_timer_msg(*id);
    }
    size_t rules(unsigned n, char op) const
    {
        size_t count = 0;
        for (const std::string &line : tools.calls("iptables"))
            count += line.find(std::string("-") + op + " PREROUTING_USERAGENT") != std::string::npos &&
                     (n == 0 || line.find(test_mac(n) + " ") != std::string::npos);
        return count;
    }
    DeviceRecord saved(int i) const { return parse_db(gw.read_db()).records.at(size_t(i)); }
};

TEST_F(TimerTest, ScheduleInstallsThenRemovesTheRedirect)
{
    add(9); // an unrelated record in front
    int i = add(1);
    start(i);
    const uint32_t id = rec(i).timer.get();
    ASSERT_NE(id, 0u);
    ASSERT_EQ(fired(), id);
    handle_timer_msg(id);
    EXPECT_EQ(saved(i).TimerStage.get(), 2); // every step that finds its record is saved
    EXPECT_EQ(saved(i).timer.get(), id);
    EXPECT_EQ(rules(1, 'D'), 1u);
    EXPECT_EQ(rules(1, 'I'), 1u);
    step();
    EXPECT_EQ(saved(i).TimerStage.get(), 3);
    EXPECT_EQ(saved(i).timer.get(), 0u);
    EXPECT_EQ(rules(1, 'D'), 2u);
    EXPECT_EQ(saved(0).TimerStage.get(), 0);
    EXPECT_FALSE(fired(1500)); // gone for good
    EXPECT_NE(zelmo_armTimer(id, 1), 0);

    // Stage 0 re-arms with the first period; an owner fingerprinted meanwhile
    // loses its timer, keeps its stage, and the redirect its timer set goes.
    int j = add(2);
    ASSERT_EQ(zelmo_makeTimer(j, 1), 0);
    step();
    EXPECT_EQ(rec(j).TimerStage.get(), 1);
    EXPECT_EQ(rules(2, 'I'), 0u);
    step();
    EXPECT_EQ(rules(2, 'I'), 1u);
    rec(j).FingerprintType.set(FP_MDNS);
    step();
    EXPECT_EQ(saved(j).timer.get(), 0u);
    EXPECT_EQ(saved(j).TimerStage.get(), 2);
    EXPECT_EQ(rules(2, 'D'), 2u);
}

TEST_F(TimerTest, FiredTimerIsAttributedToItsOwnerOrToNone)
{
    for (unsigned n = 1; n <= 5; ++n)
        add(n);
    start(4);
    ASSERT_EQ(remove_old_device_by_index(1), 0); // the last record moves into slot 1
    ASSERT_STREQ(rec(1).lanHostEntry.MACAddress, test_mac(5).c_str());
    step();
    EXPECT_EQ(rec(1).TimerStage.get(), 2);
    EXPECT_EQ(rules(5, 'I'), 1u);
    EXPECT_EQ(rules(0, 'I'), 1u); // nobody else's

    // An expiry still in the pipe when its record is evicted and the slot reused.
    ASSERT_EQ(remove_old_device_by_index(1), 0); // deletes the timer and the redirect it set
    EXPECT_EQ(rules(5, 'D'), 2u);
    int victim = add(6);
    start(victim);
    auto id = fired();
    ASSERT_EQ(id, rec(victim).timer.get());
    ASSERT_EQ(remove_old_device_by_index(victim), 0);
    int heir = add(7);
    rec(heir).TimerStage.set(1); // what a stale index would advance
    update_db();
    const Bytes before = gw.read_db();
    handle_timer_msg(*id);
    EXPECT_EQ(gw.read_db(), before); // untouched, not even saved
    EXPECT_EQ(rules(7, 'I') + rules(6, 'I'), 0u);

    // Start-up style reset: the records forget their timers; the running one
    // then fires for nobody and takes its redirect along.
    start(heir);
    step();
    ASSERT_EQ(rules(7, 'I'), 1u);
    for (int i = 0; i < _g_device_count; ++i)
        rec(i).timer.set(0);
    step();
    EXPECT_EQ(rules(7, 'D'), 2u);
    EXPECT_EQ(rec(heir).TimerStage.get(), 2);
}

TEST_F(TimerTest, IdentifiersAreNonZeroUniqueAndManyRunAtOnce)
{
    std::set<uint32_t> seen;
    for (int i = 0; i < 3000; ++i) {
        uint32_t id = 0;
        ASSERT_EQ(zelmo_createTimer(&id), 0);
        ASSERT_TRUE(id != 0 && seen.insert(id).second) << id;
        ASSERT_EQ(zelmo_deleteTimer(id), 0);
    }
    EXPECT_EQ(zelmo_deleteTimer(*seen.begin()), -1);
    EXPECT_EQ(change_timer(0, 5), 0);

    // A late expiry of a replaced timer leaves the record with the new one alone.
    int i = add(1);
    start(i);
    const uint32_t old_id = rec(i).timer.get();
    ASSERT_EQ(change_timer(old_id, 0), 0);
    rec(i).timer.set(0);
    start(i);
    handle_timer_msg(old_id);
    EXPECT_EQ(rec(i).TimerStage.get(), 1);
    ASSERT_EQ(fired(), rec(i).timer.get());
    zelmo_deleteTimer(rec(i).timer.get());
    rec(i).TimerStage.set(0);

    // A full table, every fourth record with a timer for the same second.
    while (_g_device_count < MAX_DEVICES)
        _g_devices[_g_device_count] = make_record(test_mac(unsigned(_g_device_count + 1))), ++_g_device_count;
    std::set<uint32_t> armed, got;
    for (int k = 0; k < MAX_DEVICES; k += 4) {
        ASSERT_EQ(zelmo_makeTimer(k, 1), 0);
        armed.insert(rec(k).timer.get());
    }
    _g_add_timer = 60; // the re-armed timers stay quiet
    for (size_t k = 0; k < armed.size(); ++k) {
        auto id = fired(5000);
        ASSERT_TRUE(id.has_value());
        got.insert(*id);
        handle_timer_msg(*id);
    }
    EXPECT_EQ(got, armed);
    const DbImage db = parse_db(gw.read_db());
    ASSERT_EQ(db.records.size(), size_t(MAX_DEVICES));
    for (int k = 0; k < MAX_DEVICES; ++k)
        EXPECT_EQ(db.records[size_t(k)].TimerStage.get(), k % 4 == 0 ? 1 : 0) << k;
}

TEST_F(TimerTest, SessionExpiryAndLostExpiries)
{
    _g_session_timeout = 1;
    ASSERT_EQ(zelmo_start_cloud_session_timer(), 0);
    const uint32_t id = _g_session_timer.load();
    ASSERT_EQ(fired(), id);
    EXPECT_EQ(_g_session_timeout.load(), 0); // closed in signal context already
    EXPECT_EQ(_g_session_timer.load(), 0u);
    handle_timer_msg(id);
    EXPECT_NE(zelmo_armTimer(id, 1), 0); // and the timer deleted on the main thread
    _g_session_timeout = 600;
    ASSERT_EQ(zelmo_start_cloud_session_timer(), 0);
    const uint32_t second = _g_session_timer.load();
    zelmo_stop_cloud_session_timer();
    EXPECT_EQ(_g_session_timeout.load() + int32_t(_g_session_timer.load()), 0);
    EXPECT_NE(zelmo_armTimer(second, 1), 0);

    // The pipe cannot take the expiry: it is lost (the schedule stops) and
    // reported on the main thread.
    int i = add(1);
    const int write_end = signal_pipe[1];
    signal_pipe[1] = -1;
    start(i);
    usleep(1500 * 1000);
    signal_pipe[1] = write_end;
    EXPECT_FALSE(fired(200));
    cslibLog_setDestination(1);
    cslibLog_setLevel(7);
    CaptureFd err(STDERR_FILENO);
    handle_timer_msg(0);
    EXPECT_EQ(err.count("socketpair write failed"), 1u);
    EXPECT_EQ(rec(i).TimerStage.get(), 1);
}
