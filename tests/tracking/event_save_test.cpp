// Saves per event, counted outside the daemon: a shim loaded into the real
// binary logs every fsync of the database file (or of a temporary file that
// replaces it). Each event that changes the table saves it once, at its end,
// whatever number of table operations it made.
#include "tracking_env.h"

#include "fixture/fixture.h"

namespace
{

// Compiles the shim into dir; its path, or "" when no C compiler is at hand.
std::string build_sync_shim(const std::string &dir)
{
    const std::string so = dir + "/synclog.so";
    const std::string source = std::string(ZELMO_SOURCE_DIR) + "/tests/tracking/sync_log_shim.c";
    return run_program({"cc", "-shared", "-fPIC", "-O2", "-o", so, source, "-ldl"}).exit_code == 0 ? so : "";
}

} // namespace

TEST(EventSave, EachEventSavesOnceAndNotifiesWhatIsStored)
{
    TempDir scratch("zelmo-synclog");
    const std::string shim = build_sync_shim(scratch.path());
    if (shim.empty())
        GTEST_SKIP() << "no C compiler for the sync shim";
    const std::string log = scratch.path() + "/syncs";
    std::vector<std::string> env{"LD_PRELOAD=" + shim, "ZELMO_SYNC_LOG=" + log, "ZELMO_SYNC_DB=devices.db"};
#if defined(__SANITIZE_ADDRESS__)
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
#endif
    // A full table: a new device first evicts the oldest Removed record.
    std::vector<DeviceRecord> table;
    for (unsigned i = 0; i < MAX_DEVICES; ++i)
        table.push_back(make_record(test_mac(0x1000 + i)));
    TrackingDaemon d(table, env);
    ASSERT_TRUE(d.ready);
    size_t seen = read_lines(log).size();
    ASSERT_GE(seen, 1u) << "the start-up's save was not seen";
    auto saves = [&] {
        const size_t now = read_lines(log).size();
        const size_t n = now - seen;
        seen = now;
        return n;
    };

    // New device: eviction, insert, timer and stage, one save.
    LanHostEntryObject pc = lanhost_entry(1);
    ASSERT_TRUE(d.host(pc, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 1));
    EXPECT_EQ(saves(), 1u);
    EXPECT_EQ(parse_db(d.gw.read_db()).records.size(), size_t(MAX_DEVICES));
    EXPECT_EQ(to_bytes(d.notified_record("notifyDeviceAdded", 0)), to_bytes(*d.record(1)));

    // The same again: nothing to save.
    ASSERT_TRUE(d.host(pc, STATUS_ACTIVE));
    ASSERT_TRUE(d.logged("No change in state. So ignore..!", 1));
    EXPECT_EQ(saves(), 0u);

    // A changed device: one save.
    field_set(pc.IPAddress, "192.168.1.99");
    ASSERT_TRUE(d.host(pc, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 1));
    EXPECT_EQ(saves(), 1u);
    EXPECT_STREQ(d.record(1)->lanHostEntry.IPAddress, "192.168.1.99");

    // A description of a device never seen: entered, host reported first,
    // description reported, two notifications, one save before both.
    HTTPData http{};
    field_set(http.UserAgent, "Agent/1.0");
    ASSERT_TRUE(d.fingerprint(FP_HTTP, 2, http));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 1));
    EXPECT_EQ(saves(), 1u);
    ASSERT_EQ(d.notifications("notifyDeviceAdded"), 2u);
    EXPECT_EQ(to_bytes(d.notified_record("notifyDeviceInfoUpdate", 0)), to_bytes(*d.record(2)));
    EXPECT_EQ(d.record(2)->FingerprintType.get(), FP_HTTP);
}
