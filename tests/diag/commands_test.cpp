// The command words, run as the real binary against a database file.
#include "fixture/fixture.h"
#include "platform/led.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace
{

const std::string RULE = "\n" + std::string(84, '-') + "\n";
const std::string FULL_HEADER = std::string(83, '+') +
                                "\nMACAddress  HostState  DeviceState  Status  LastReportedTime  "
                                "AddressSource IPAddress  Lease  HostName  "
                                "InterfaceType  L3Status  InterfaceStatus  FriendlyName  Port  Critical  "
                                "CriticalSetInterface GuestDevice "
                                "HDDState Type  Data\n" +
                                std::string(83, '+') + "\n";
const std::string SHORT_HEADER =
    std::string(83, '=') + "\nMACAddress  HostState  DeviceState  Status  LastReportedTime  Type  Data\n" +
    std::string(83, '=') + "\n";
const std::string HOSTILE_MAC(32, 'A');

// The four rows of the table below, cut where the full and the short dump differ.
const std::string START[4] = {
    "02:00:00:00:00:01  Reported New  Active  2023-11-14T22:13:20.7Z",
    "02:00:00:00:00:02   New    1970-01-01T00:00:00.0Z",
    "02:00:00:00:00:03  Reporting Reported  Removed  2023-11-14T22:13:20.123456Z",
    HOSTILE_MAC + "  Reported New  Active  1970-01-01T00:00:00.0Z",
};
const std::string MIDDLE[4] = {
    "  DHCP  192.168.1.10  86400  host  Ethernet  Reachable  Disassociated    0  0  0    0   UPNP  ",
    "  DHCP  192.168.1.11  86400  printer  802.11n  Reachable  Disassociated  Office  2  2  1 false   3   "
    "HTTP  ",
    "  DHCP  192.168.1.10  86400  host  Ethernet  Reachable  Disassociated    0  1  0    0   MDNS  ",
    "  DHCP  192.168.1.10  86400  host  Ethernet  Reachable  Disassociated    0  2  0    0   HOST  ",
};
const std::string TYPE[4] = {"  UPNP  ", "  HTTP  ", "  MDNS  ", "  HOST  "};
const std::string DATA[4] = {
    "Type-urn:tv,Mfr-Acme,Mname-X1,Mno-7,Serial-S9,UDN-uuid:1",
    "Opt55-1,3,6,15,Vid-MSFT 5.0,Uagent-curl/8",
    "Mfr-Apple,Model-TV,UUID-u-1",
    "",
};

// One record per fingerprint type; the last is hostile: its MAC fills the
// field without a terminator and the byte behind it is text too.
std::vector<DeviceRecord> sample_table()
{
    std::vector<DeviceRecord> t = {make_record(test_mac(1)),
                                   make_record(test_mac(2), "192.168.1.11", "printer", "802.11n"),
                                   make_record(test_mac(3)), make_record("x")};
    t[0].LastReportedTimeSec.set(1700000000);
    t[0].LastReportedTimeUsec.set(7);
    t[0].FingerprintType.set(FP_UPNP);
    UPnPData &u = t[0].fingerprintData.upnp;
    for (auto [field, text] : {std::pair{u.DeviceType, "urn:tv"},
                               {u.Manufacturer, "Acme"},
                               {u.ModelName, "X1"},
                               {u.ModelNumber, "7"},
                               {u.SerialNumber, "S9"},
                               {u.UDN, "uuid:1"}})
        strcpy(field, text);

    t[1].HostState.set(9);
    t[1].Status.set(7);
    t[1].FingerprintType.set(FP_HTTP);
    strcpy(t[1].Option55, "1,3,6,15");
    strcpy(t[1].fingerprintData.http.VendorID, "MSFT 5.0");
    strcpy(t[1].fingerprintData.http.UserAgent, "curl/8");
    strcpy(t[1].lanHostEntry.FriendlyName, "Office");
    strcpy(t[1].lanHostEntry.GuestDevice, "false");
    t[1].Port.set(2);
    t[1].Critical.set(2);
    t[1].CriticalSetInterface.set(1);
    t[1].HDDState.set(3);

    t[2].HostState.set(REPORT_REPORTING);
    t[2].DeviceState.set(REPORT_REPORTED);
    t[2].Status.set(STATUS_REMOVED);
    t[2].LastReportedTimeSec.set(1700000000);
    t[2].LastReportedTimeUsec.set(123456);
    t[2].FingerprintType.set(FP_MDNS);
    strcpy(t[2].fingerprintData.mdns.Manufacturer, "Apple");
    strcpy(t[2].fingerprintData.mdns.Model, "TV");
    strcpy(t[2].fingerprintData.mdns.UUID, "u-1");
    t[2].Critical.set(1);

    memset(t[3].lanHostEntry.MACAddress, 'A', sizeof t[3].lanHostEntry.MACAddress);
    t[3].lanHostEntry.opaque_134[0] = 'X';
    t[3].FingerprintType.set(FP_HOST);
    t[3].Critical.set(2);
    return t;
}

struct Outcome {
    int code;
    std::string out, err;
};
Outcome zelmo(const std::vector<std::string> &args)
{
    Outcome r;
    ProcessEnd end = run_zelmo(args, &r.out, &r.err);
    r.code = end.ended ? end.exit_code : -2;
    return r;
}

} // namespace

TEST(CommandWords, DumpsAndQueriesPrintStoredTable)
{
    GatewayRoot gw;
    Bytes image = db_image(sample_table());
    gw.write_db_bytes(image);
    auto full = [](int i) { return START[i] + MIDDLE[i] + DATA[i] + RULE; };
    auto brief = [](int i) { return START[i] + TYPE[i] + DATA[i] + RULE; };

    Outcome r = zelmo({"dumpall"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, FULL_HEADER + full(0) + full(1) + full(2) + full(3));
    EXPECT_EQ(r.out, "");
    r = zelmo({"dump"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, SHORT_HEADER + brief(0) + brief(1) + brief(2) + brief(3));

    struct Case {
        std::vector<std::string> args;
        std::string out, err;
    } cases[] = {
        {{"get", "02:00:00:00:00:0A"}, "", ""},
        {{"get", std::string(32, 'a')}, "", FULL_HEADER + full(3)},
        {{"get", "02:00:00:00:00:03"}, "", FULL_HEADER + full(2)},
        {{"getopt55", "02:00:00:00:00:02"}, "1,3,6,15\n", ""},
        {{"getopt55", "02:00:00:00:00:01"}, "", ""},
        {{"gethdd", "02:00:00:00:00:02"}, "3\n", ""},
        {{"gethdd", "02:00:00:00:00:09"}, "", ""},
        {{"getcritical", "02:00:00:00:00:02"}, "2", "### Device set as critical ###\n"},
        {{"getcritical", "02:00:00:00:00:03"}, "1", "### Device set as non critical ###\n"},
        {{"getcritical", "02:00:00:00:00:01"}, "0", ""},
        {{"getcritical", "02:00:00:00:00:09"}, "0", ""},
        {{"getallcritical"}, "02:00:00:00:00:02\n" + HOSTILE_MAC + "\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        r = zelmo(c.args);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(gw.read_db(), image);

    // Only critical marks of 2 are listed; an empty table prints the headers only.
    gw.write_db({sample_table()[2]});
    EXPECT_EQ(zelmo({"getallcritical"}).out, "");
    gw.write_db({});
    EXPECT_EQ(zelmo({"dumpall"}).err, FULL_HEADER);
    EXPECT_EQ(zelmo({"dump"}).err, SHORT_HEADER);
}

TEST(CommandWords, LedWordsSignalWithoutTouchingDatabase)
{
    GatewayRoot gw;
    EXPECT_EQ(sendLedFeatureEnableSignal("arvex.zelmo", 1), -1); // no bus
    PrivateBus bus;
    BusClient client;
    ASSERT_TRUE(client.listen("type='signal',interface='arvex.led'"));
    for (uint32_t on : {1u, 0u}) {
        Outcome r = zelmo({on ? "ledon" : "ledoff"});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, on ? "Turn ON the LED\n" : "Turn OFF the LED\n");
        auto signal = client.wait_signal("arvex.led", "LedFeatureEnable", 5s);
        ASSERT_TRUE(signal.has_value());
        EXPECT_EQ(signal->path, "/arvex/led");
        EXPECT_EQ(signal->signature, "su");
        EXPECT_EQ(signal->strings, std::vector<std::string>{"arvex.zelmo"});
        EXPECT_EQ(signal->u32s, std::vector<uint32_t>{on});
    }
    EXPECT_FALSE(file_exists(gw.db_path()));
    EXPECT_EQ(sendLedFeatureEnableSignal("bad\xff", 1), -1); // not sendable as bus text
    EXPECT_FALSE(client.wait_signal("arvex.led", "LedFeatureEnable", 100ms));
}

TEST(CommandWords, ReadersChangeNoFileAndNameWhatTheyCannotRead)
{
    GatewayRoot gw;
    auto listing = [&] {
        std::string names;
        for (const auto &e : std::filesystem::recursive_directory_iterator(gw.path()))
            names += e.path().string() + "\n";
        return names;
    };
    const std::string notes = gw.file("/notes.txt"), missing = gw.file("/nothing.db");
    gw.write_db_bytes(to_bytes(std::string("# services\nhttp 80/tcp\n")), notes);
    const std::string before = listing();

    // A missing default database is the empty table; anything else that
    // cannot be read is one line naming the path and why, and status 1.
    Outcome r = zelmo({"dump"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, SHORT_HEADER);
    r = zelmo({"-l", missing});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zelmo: cannot read " + missing + ": No such file or directory\n");
    r = zelmo({"-l", notes});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zelmo: " + notes + ": not a zelmo database (record size header is not 4932)\n");
    gw.write_db_bytes(db_image(sample_table(), "4932", "300"));
    r = zelmo({"dumpall"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err,
              "zelmo: " + gw.db_path() + ": not a zelmo database (record count 300 out of range 0..256)\n");
    EXPECT_EQ(gw.read_db(), db_image(sample_table(), "4932", "300"));
    gw.write_db(sample_table());
    ASSERT_EQ(chmod(gw.db_path().c_str(), 0600), 0);
    ASSERT_EQ(chmod(gw.path().c_str(), 0755), 0);
    std::string err;
    ProcessEnd end = run_program({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                  DaemonProcess::binary(), "-l", gw.db_path()},
                                 nullptr, &err);
    EXPECT_EQ(end.exit_code, 1);
    EXPECT_EQ(err, "zelmo: cannot read " + gw.db_path() + ": Permission denied\n");

    // A database on a read-only file system is shown in full.
    const std::string dir = gw.file("/configs");
    end = run_program({"unshare", "-m", "--propagation", "private", "sh", "-c",
                       "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && \"$1\" dumpall", dir,
                       DaemonProcess::binary()},
                      nullptr, &err);
    EXPECT_EQ(end.exit_code, 0);
    EXPECT_EQ(err, FULL_HEADER + START[0] + MIDDLE[0] + DATA[0] + RULE + START[1] + MIDDLE[1] + DATA[1] +
                       RULE + START[2] + MIDDLE[2] + DATA[2] + RULE + START[3] + MIDDLE[3] + DATA[3] + RULE);
    EXPECT_EQ(gw.read_db(), db_image(sample_table()));
    EXPECT_EQ(gw.read_db(notes), to_bytes(std::string("# services\nhttp 80/tcp\n")));
    unlink(gw.db_path().c_str());
    EXPECT_EQ(listing(), before);
}
