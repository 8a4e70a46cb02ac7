// Failing tools and malformed input reaching the running daemon: an iptables
// that fails or does not exist costs the capture chain and redirect only, and
// datagrams of every malformed shape are dropped or read as zero-extended
// messages while the daemon carries on.
#include "hardening_env.h"

#include <sys/stat.h>

using FaultInput = HardeningTest;

TEST_F(FaultInput, FailingOrMissingIptablesCostsOnlyTheRedirect)
{
    tools.add("iptables", 3); // every call fails
    {
        // A one-second first capture stage: the redirect is tried at once.
        DaemonProcess zelmo({"-d", "1", "-a", "1", "-r", "1"}, {tools.path_env()});
        ASSERT_TRUE(wait_until([&] { return send_host_update(1, "desk"); }, 5000ms));
        ASSERT_TRUE(lanhost.wait_for("notifyDeviceAdded", 1, 5000ms)) << zelmo.stderr_text();
        // Every failed listing of the chain is followed by an attempt to add the jump.
        auto jumps = [&] {
            size_t n = 0;
            for (const std::string &line : tools.calls("iptables"))
                n += line == "-t nat -I PREROUTING -j PREROUTING_USERAGENT";
            return n;
        };
        EXPECT_TRUE(wait_until([&] { return jumps() >= 2; }, 5000ms)) << zelmo.stderr_text();
        std::this_thread::sleep_for(2500ms); // both capture stages of the host have run
        ASSERT_TRUE(send_host_update(2, "laptop"));
        EXPECT_TRUE(lanhost.wait_for("notifyDeviceAdded", 2, 5000ms));
        EXPECT_EQ(stored_hosts(root.read_db()).size(), 2u);
        EXPECT_TRUE(zelmo.running());
    }
    {
        // No iptables anywhere on PATH: the commands cannot even start.
        const std::string empty = root.path() + "/no-tools";
        ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
        lanhost.clear();
        DaemonProcess zelmo({"-d", "1", "-a", "1", "-r", "1"}, {"PATH=" + empty});
        ASSERT_TRUE(wait_until([&] { return send_host_update(3, "tv"); }, 5000ms));
        ASSERT_TRUE(lanhost.wait_for("notifyDeviceAdded", 1, 5000ms)) << zelmo.stderr_text();
        std::this_thread::sleep_for(2500ms); // both capture stages have run
        ASSERT_TRUE(send_host_update(3, "tv-renamed"));
        EXPECT_TRUE(lanhost.wait_for("notifyDeviceStatusChange", 1, 5000ms)) << zelmo.stderr_text();
        EXPECT_EQ(stored_hosts(root.read_db()).size(), 3u);
        EXPECT_TRUE(zelmo.running());
    }
}

TEST_F(FaultInput, MalformedDatagramsNeverStopTheDaemon)
{
    DaemonProcess zelmo({"-d", "1"}, {tools.path_env()});
    ASSERT_TRUE(wait_until([&] { return send_host_update(1, "first"); }, 5000ms));
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceAdded", 1, 5000ms)) << zelmo.stderr_text();

    // Every length from an empty datagram to a whole header, of a device
    // update whose length field says more than was sent (a datagram that
    // ends inside the length field included), one whose length field is
    // beyond any message, and one larger than any message.
    DeviceUpdateMessage full = make_host_update_message(make_lanhost(test_mac(9), "192.168.1.9", "partial"),
                                                        STATUS_ACTIVE, "Reachable", "Associated");
    full.header.payloadLength.set(0x000b0000);
    const Bytes whole = to_bytes(full);
    for (size_t n = 0; n <= 40; ++n)
        ASSERT_TRUE(send_datagram(whole.data(), n)) << "datagram of " << n << " bytes\n"
                                                    << zelmo.stderr_text();
    full.header.payloadLength.set(0xffffffff);
    ASSERT_TRUE(send_message(full));
    ASSERT_TRUE(send_datagram(Bytes(CSMSG_MAX_DATAGRAM + 100, 0x5a)));
    // An update of every objtype with texts that fill their fields to the last byte.
    for (uint32_t objtype = 0; objtype <= 5; ++objtype) {
        DeviceUpdateMessage m = make_device_update_message(objtype, STATUS_ACTIVE, test_mac(8));
        memset(&m.payload.L3Status, 'L', sizeof m.payload.L3Status + sizeof m.payload.InterfaceStatus);
        memset(m.payload.description.raw, 'D', sizeof m.payload.description.raw);
        ASSERT_TRUE(send_message(m));
    }

    // The daemon is still there and serves the next update.
    ASSERT_TRUE(send_host_update(2, "last"));
    EXPECT_TRUE(wait_until([&] { return holds(root, 2, "last"); }, 10000ms)) << zelmo.stderr_text();
    EXPECT_TRUE(zelmo.running());
    EXPECT_TRUE(parse_db(root.read_db()).ok);
}
