// Device timers: the capture schedule, attribution of fired timers to the
// record that owns them, identifiers and the session expiry.
#include "timer_test_env.h"

#include "platform/log.h"

#include <set>

TEST_F(TimerTest, ScheduleInstallsThenRemovesTheRedirect)
{
    const std::string mac = test_mac(1);
    add_record(test_mac(9)); // an unrelated record in front
    int index = add_record(mac);
    start_schedule(index);
    const uint32_t id = _g_devices[index].timer.get();

    auto fired = next_expiry(3000);
    ASSERT_TRUE(fired.has_value());
    EXPECT_EQ(*fired, id);
    handle_timer_msg(*fired);
    EXPECT_EQ(_g_devices[index].TimerStage.get(), 2);
    EXPECT_EQ(_g_devices[index].timer.get(), id);
    EXPECT_EQ(rule_calls(mac, 'D'), 1u);
    EXPECT_EQ(rule_calls(mac, 'I'), 1u);
    DbImage db = saved(); // every step that found its record is saved
    ASSERT_TRUE(db.ok);
    EXPECT_EQ(db.records[1].TimerStage.get(), 2);
    EXPECT_EQ(db.records[1].timer.get(), id);

    fired = next_expiry(3000);
    ASSERT_TRUE(fired.has_value());
    handle_timer_msg(*fired);
    EXPECT_EQ(_g_devices[index].TimerStage.get(), 3);
    EXPECT_EQ(_g_devices[index].timer.get(), 0u);
    EXPECT_EQ(rule_calls(mac, 'D'), 2u);
    EXPECT_EQ(rule_calls(mac, 'I'), 1u);
    db = saved();
    EXPECT_EQ(db.records[1].TimerStage.get(), 3);
    EXPECT_EQ(db.records[1].timer.get(), 0u);
    EXPECT_EQ(db.records[0].TimerStage.get(), 0); // the other record untouched

    // The timer is gone: it neither fires again nor can be re-armed.
    EXPECT_FALSE(next_expiry(1500).has_value());
    EXPECT_NE(zelmo_armTimer(id, 1), 0);
}

TEST_F(TimerTest, StageZeroRearmsAndFingerprintedOwnerEndsSchedule)
{
    int plain = add_record(test_mac(1));
    ASSERT_EQ(zelmo_makeTimer(plain, 1), 0); // left at stage 0
    auto fired = next_expiry(3000);
    ASSERT_TRUE(fired.has_value());
    handle_timer_msg(*fired);
    EXPECT_EQ(_g_devices[plain].TimerStage.get(), 1);
    EXPECT_EQ(all_rule_calls(), 0u);
    fired = next_expiry(3000); // re-armed with the first period
    ASSERT_TRUE(fired.has_value());
    handle_timer_msg(*fired);
    EXPECT_EQ(_g_devices[plain].TimerStage.get(), 2);
    EXPECT_EQ(rule_calls(test_mac(1), 'I'), 1u);

    // The device got a fingerprint meanwhile: its timer is deleted, the stage
    // stays, and the redirect this timer put in place goes too.
    _g_devices[plain].FingerprintType.set(FP_MDNS);
    fired = next_expiry(3000);
    ASSERT_TRUE(fired.has_value());
    handle_timer_msg(*fired);
    EXPECT_EQ(_g_devices[plain].timer.get(), 0u);
    EXPECT_EQ(_g_devices[plain].TimerStage.get(), 2);
    EXPECT_EQ(rule_calls(test_mac(1), 'D'), 2u);
    EXPECT_EQ(saved().records[0].timer.get(), 0u);
    EXPECT_FALSE(next_expiry(1500).has_value());
}

TEST_F(TimerTest, FiredTimerFollowsItsRecordThroughCompaction)
{
    for (unsigned i = 1; i <= 5; ++i)
        add_record(test_mac(i));
    start_schedule(4); // the last record
    const uint32_t id = _g_devices[4].timer.get();
    ASSERT_EQ(remove_old_device_by_index(1), 0); // the last record moves into slot 1
    ASSERT_EQ(_g_device_count, 4);
    ASSERT_EQ(std::string(_g_devices[1].lanHostEntry.MACAddress), test_mac(5));

    auto fired = next_expiry(3000);
    ASSERT_TRUE(fired.has_value());
    EXPECT_EQ(*fired, id);
    handle_timer_msg(*fired);
    EXPECT_EQ(_g_devices[1].TimerStage.get(), 2);
    EXPECT_EQ(rule_calls(test_mac(5), 'I'), 1u);
    EXPECT_EQ(all_rule_calls(), 2u); // its delete and insert, nobody else's
    for (int i : {0, 2, 3})
        EXPECT_EQ(_g_devices[i].TimerStage.get(), 0) << i;
}

TEST_F(TimerTest, DroppedRecordsTimerTouchesNoRecord)
{
    // An expiry already in the pipe when its record is evicted and its slot reused.
    int victim = add_record(test_mac(1));
    start_schedule(victim);
    const uint32_t id = _g_devices[victim].timer.get();
    auto fired = next_expiry(3000);
    ASSERT_TRUE(fired.has_value());
    ASSERT_EQ(remove_old_device_by_index(victim), 0);
    int heir = add_record(test_mac(2));
    ASSERT_EQ(heir, victim);
    _g_devices[heir].TimerStage.set(1); // what a stale index would advance
    update_db();
    const Bytes before = gw.read_db();
    handle_timer_msg(*fired);
    EXPECT_EQ(_g_devices[heir].TimerStage.get(), 1);
    EXPECT_EQ(gw.read_db(), before); // nothing saved for an expiry without owner
    EXPECT_EQ(all_rule_calls(), 0u);
    EXPECT_NE(zelmo_armTimer(id, 1), 0);

    // A record whose schedule has its redirect in place is dropped: the
    // redirect goes with the timer, and no expiry follows.
    int dropped = add_record(test_mac(3));
    start_schedule(dropped);
    fired = next_expiry(3000);
    ASSERT_TRUE(fired.has_value());
    handle_timer_msg(*fired);
    ASSERT_EQ(rule_calls(test_mac(3), 'I'), 1u);
    ASSERT_EQ(remove_old_device_by_index(dropped), 0);
    EXPECT_EQ(rule_calls(test_mac(3), 'D'), 2u);
    EXPECT_FALSE(next_expiry(1500).has_value());

    // Start-up style reset: the records forget their timers; the running
    // timer then fires for nobody, is deleted and takes its redirect along.
    int reset = add_record(test_mac(4));
    start_schedule(reset);
    fired = next_expiry(3000);
    ASSERT_TRUE(fired.has_value());
    handle_timer_msg(*fired);
    ASSERT_EQ(rule_calls(test_mac(4), 'I'), 1u);
    for (int i = 0; i < _g_device_count; ++i) {
        _g_devices[i].timer.set(0);
        _g_devices[i].TimerStage.set(0);
    }
    update_db();
    const Bytes after_reset = gw.read_db();
    fired = next_expiry(3000);
    ASSERT_TRUE(fired.has_value());
    handle_timer_msg(*fired);
    EXPECT_EQ(rule_calls(test_mac(4), 'D'), 2u);
    EXPECT_EQ(gw.read_db(), after_reset);
    for (int i = 0; i < _g_device_count; ++i)
        EXPECT_EQ(_g_devices[i].TimerStage.get(), 0);
}

TEST_F(TimerTest, IdentifiersAreNonZeroAndNeverComeBack)
{
    std::set<uint32_t> seen;
    for (int i = 0; i < 3000; ++i) {
        uint32_t id = 0;
        ASSERT_EQ(zelmo_createTimer(&id), 0);
        ASSERT_NE(id, 0u);
        ASSERT_TRUE(seen.insert(id).second) << "identifier " << id << " reused";
        ASSERT_EQ(zelmo_deleteTimer(id), 0);
    }
    EXPECT_EQ(zelmo_deleteTimer(*seen.begin()), -1);
    EXPECT_EQ(change_timer(0, 5), 0);

    // A late expiry of a deleted timer does not touch the record that holds
    // the device's new timer.
    int index = add_record(test_mac(1));
    start_schedule(index);
    const uint32_t old_id = _g_devices[index].timer.get();
    ASSERT_EQ(change_timer(old_id, 0), 0);
    _g_devices[index].timer.set(0);
    start_schedule(index);
    const uint32_t new_id = _g_devices[index].timer.get();
    EXPECT_NE(new_id, old_id);
    handle_timer_msg(old_id);
    EXPECT_EQ(_g_devices[index].TimerStage.get(), 1);
    EXPECT_EQ(_g_devices[index].timer.get(), new_id);
    auto fired = next_expiry(3000);
    ASSERT_TRUE(fired.has_value());
    EXPECT_EQ(*fired, new_id);
}

TEST_F(TimerTest, ManyDevicesWithTimersAtOnce)
{
    // A full table, every fourth record with a timer armed for the same second.
    for (int i = 0; i < MAX_DEVICES; ++i)
        _g_devices[i] = make_record(test_mac(unsigned(i + 1)));
    _g_device_count = MAX_DEVICES;
    std::set<uint32_t> ids;
    for (int i = 0; i < MAX_DEVICES; i += 4) {
        ASSERT_EQ(zelmo_makeTimer(i, 1), 0); // stage 0: the expiry re-arms, no redirect yet
        ids.insert(_g_devices[i].timer.get());
    }
    ASSERT_EQ(ids.size(), size_t(MAX_DEVICES / 4));
    EXPECT_EQ(ids.count(0), 0u);

    _g_add_timer = 60; // the re-armed timers stay quiet while checking
    std::set<uint32_t> fired_ids;
    for (int i = 0; i < MAX_DEVICES / 4; ++i) {
        auto fired = next_expiry(5000);
        ASSERT_TRUE(fired.has_value()) << "only " << i << " expiries";
        fired_ids.insert(*fired);
        handle_timer_msg(*fired);
    }
    EXPECT_EQ(fired_ids, ids);
    for (int i = 0; i < MAX_DEVICES; ++i)
        EXPECT_EQ(_g_devices[i].TimerStage.get(), i % 4 == 0 ? 1 : 0) << i;
    DbImage db = saved();
    ASSERT_EQ(db.records.size(), size_t(MAX_DEVICES));
    for (int i = 0; i < MAX_DEVICES; ++i)
        EXPECT_EQ(db.records[size_t(i)].timer.get(), _g_devices[i].timer.get()) << i;
    EXPECT_EQ(all_rule_calls(), 0u);
    EXPECT_FALSE(next_expiry(300).has_value());
}

TEST_F(TimerTest, SessionExpiryClosesTheSessionInTheHandler)
{
    _g_session_timeout = 1;
    ASSERT_EQ(zelmo_start_cloud_session_timer(), 0);
    const uint32_t id = _g_session_timer.load();
    ASSERT_NE(id, 0u);
    int index = add_record(test_mac(1)); // no record is touched by a session expiry
    auto fired = next_expiry(3000);
    ASSERT_TRUE(fired.has_value());
    EXPECT_EQ(*fired, id);
    EXPECT_EQ(_g_session_timeout.load(), 0); // closed in signal context already
    EXPECT_EQ(_g_session_timer.load(), 0u);
    handle_timer_msg(*fired);
    EXPECT_NE(zelmo_armTimer(id, 1), 0); // and the timer deleted on the main thread
    EXPECT_EQ(_g_devices[index].TimerStage.get(), 0);

    // Closing an open session from the main thread deletes its timer.
    _g_session_timeout = 600;
    ASSERT_EQ(zelmo_start_cloud_session_timer(), 0);
    const uint32_t second = _g_session_timer.load();
    zelmo_stop_cloud_session_timer();
    EXPECT_EQ(_g_session_timeout.load(), 0);
    EXPECT_EQ(_g_session_timer.load(), 0u);
    EXPECT_NE(zelmo_armTimer(second, 1), 0);
}

TEST_F(TimerTest, LostExpiryIsReportedAndPipeFailureNeverBlocks)
{
    int index = add_record(test_mac(1));
    const int write_end = signal_pipe[1];
    signal_pipe[1] = -1; // the handler's send fails
    start_schedule(index);
    usleep(1500 * 1000);
    signal_pipe[1] = write_end;
    EXPECT_FALSE(next_expiry(200).has_value());

    cslibLog_setDestination(1);
    cslibLog_setLevel(7);
    std::string log_path = gw.path() + "/stderr.log";
    int saved = dup(STDERR_FILENO);
    FILE *f = fopen(log_path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    dup2(fileno(f), STDERR_FILENO);
    handle_timer_msg(0);
    dup2(saved, STDERR_FILENO);
    close(saved);
    fclose(f);
    EXPECT_NE(read_file(log_path).find("socketpair write failed"), std::string::npos);
    EXPECT_EQ(_g_devices[index].TimerStage.get(), 1); // the schedule stopped there
}
