// Cloud session commands and the cloud-related signals, in root and extender mode.
#include "signals_env.h"

namespace
{

Bytes tr69(uint32_t kind, const std::string &text)
{
    Bytes b(4, 0);
    store_le32(b.data(), kind);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

} // namespace

TEST_F(SignalsTest, SessionWindowAndUploads)
{
    const std::string reported = test_mac(1), failed = test_mac(2), fresh = test_mac(3);
    for (const std::string &mac : {reported, failed, fresh})
        _g_devices[_g_device_count++] = make_record(mac);
    _g_devices[1].HostState.set(REPORT_REPORTING);
    _g_devices[2].HostState.set(REPORT_NEW);
    auto rows = [](const Sent &s) {
        std::string macs;
        for (const std::string &p : s.parts)
            for (size_t at = p.find(",02:"); at != std::string::npos; at = p.find(",02:", at + 1))
                macs += p.substr(at + 1, 17) + " ";
        return macs;
    };

    // A start opens an 1800-second window and uploads every reportable host.
    EXPECT_EQ(rows(sent_by(zelmo_processNotifySessionStart, to_bytes(std::string("Session_START")))),
              reported + " " + failed + " ");
    EXPECT_EQ(_g_session_timeout, 1800);
    const uint32_t first_timer = _g_session_timer;
    EXPECT_NE(first_timer, 0u);
    EXPECT_EQ(stored(failed).substr(0, 4), "0 4 ");

    // Mobile commands, other TR-069 kinds and unknown words change nothing;
    // only the fingerprint change command is logged.
    CaptureFd log(2);
    EXPECT_EQ(sent_by([&] {
                  zelmo_handleSessionStart("Session_START Mobile");
                  zelmo_handleSessionStart("Session_STOP Mobile");
                  deliver(zelmo_processTR069Command, tr69(2, "Session_STOP"));
                  deliver(zelmo_processTR069Command, Bytes{1, 0, 0});
                  zelmo_handleSessionStart("Device_FPChange");
                  zelmo_handleSessionStart("");
              }).parts,
              std::vector<std::string>{});
    EXPECT_EQ(_g_session_timeout, 1800);
    EXPECT_EQ(_g_session_timer, first_timer);
    EXPECT_EQ(log.count("ANALYTICS_COMMAND"), 0u);
    EXPECT_EQ(log.count("command : Device_FPChange\n"), 1u);

    // A new start replaces the window and its timer; a start without a
    // readable length uploads but leaves the window closed.
    sent_by(zelmo_processTR069Command, tr69(1, "Session_START timeout= 600 Session_STOP"));
    EXPECT_EQ(log.count("ANALYTICS_COMMAND cmd:Session_START timeout= 600 Session_STOP\n"), 1u);
    EXPECT_EQ(_g_session_timeout, 600);
    EXPECT_NE(_g_session_timer, first_timer);
    EXPECT_EQ(zelmo_deleteTimer(first_timer), -1) << "the old timer is gone";
    EXPECT_EQ(rows(sent_by([&] { zelmo_handleSessionStart("Session_START timeout"); })),
              reported + " " + failed + " ");
    EXPECT_EQ(_g_session_timeout, 0);
    EXPECT_EQ(_g_session_timer, 0u);

    // A stop closes the window; a stop without one does nothing at all.
    const size_t stops = log.count("stop cloud session");
    sent_by([&] {
        zelmo_handleSessionStart("Session_START timeout=300");
        zelmo_handleSessionStart("Session_STOP");
        zelmo_handleSessionStart("Session_STOP");
    });
    EXPECT_EQ(_g_session_timeout, 0);
    EXPECT_EQ(log.count("stop cloud session"), stops + 1);

    // A WAN status change uploads only what is unreported, session or not; a
    // failed upload stops uploads until the port statistics signal.
    _g_devices[1].HostState.set(REPORT_REPORTING);
    _g_cloud_reachable = 0;
    EXPECT_EQ(rows(sent_by(zelmo_processWANStatusChange, {})), "");
    deliver(zelmo_processStatsEthPortUpdate, {});
    EXPECT_EQ(_g_cloud_reachable, 1);
    EXPECT_EQ(rows(sent_by(zelmo_processWANStatusChange, {})), failed + " ");
}

TEST_F(SignalsTest, ExtenderIgnoresTableSignalsAndNotesSessionStarts)
{
    _g_isRoot = 0;
    LanHostEntryObject e = make_lanhost(test_mac(1));
    root.write_lanhost(e);
    Sent s = sent_by([&] {
        deliver(zelmo_processSetLanhostEntry, lanhost_update(e, STATUS_ACTIVE, 1));
        deliver(zelmo_processNotifyWDPRootAssocDevStatusChange, wdp(1, 1, 1, test_mac(1)));
        deliver(zelmo_processNotifyDHCPOpt55, opt55(test_mac(1), {1, 3, 0}));
        deliver(zelmo_processNotifyDHCPOpt43, texts(1056, {{0, test_mac(1)}, {160, "x"}}));
        deliver(zelmo_processNotifyDeviceInterfaceUpdate, texts(128, {{0, test_mac(1)}}));
        deliver(zelmo_processNotifyUpdateToZelmo, texts(169, {{8, test_mac(1)}, {104, "n"}}));
        deliver(zelmo_processDelLanhostEntry, texts(104, {{72, test_mac(1)}}));
        deliver(zelmo_processWANStatusChange, {});
        zelmo_handleSessionStart("Session_STOP");
        zelmo_handleSessionStart("Device_FPChange");
    });
    EXPECT_EQ(_g_device_count, 0);
    EXPECT_FALSE(file_exists(root.db_path()));
    EXPECT_EQ(s, Sent{});
    EXPECT_EQ(to_bytes(*root.read_lanhost(test_mac(1))), to_bytes(e));

    _g_cloud_reachable = 0;
    zelmo_handleSessionStart("Session_START Mobile");
    EXPECT_EQ(_g_cloud_reachable, 0);
    EXPECT_EQ(sent_by(zelmo_processNotifySessionStart, to_bytes(std::string("Session_START"))), Sent{});
    EXPECT_EQ(_g_cloud_reachable, 1);
    EXPECT_EQ(_g_session_timeout, 0);
}
