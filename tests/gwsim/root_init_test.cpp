// gwsim root init: the configuration objects and database it writes below
// ZELMO_ROOT, byte for byte.
#include "fixture/fixture.h"
#include "tool_process.h"

#include <gtest/gtest.h>

namespace
{

// Identity, cloud URL, credentials and mode reach the daemon and the cloud in
// the demo (demo_test.cpp); here the hosts, the database and a second run.
TEST(GwsimRootInit, WritesHostsAndDatabaseAndKeepsInstances)
{
    GatewayRoot root;
    ToolResult r = run_gwsim({"root", "init", "--host", "AA:bb:cc:00:00:01,192.168.1.21,phone,802.11",
                              "--host", "aa:bb:cc:00:00:02,192.168.1.22,laptop,Ethernet,My Laptop", "--db"});
    ASSERT_EQ(r.status, 0) << r.err;

    ASSERT_EQ(root.read_lanhosts().size(), 2u);
    auto laptop = root.read_lanhost("AA:BB:CC:00:00:02");
    ASSERT_TRUE(laptop.has_value());
    EXPECT_EQ(laptop->ObjectId.get(), 273u);
    EXPECT_EQ(laptop->instanceId.depth, 2);
    EXPECT_EQ(laptop->instanceId.inst[0].get(), 1u);
    EXPECT_EQ(laptop->instanceId.inst[1].get(), 2u);
    EXPECT_STREQ(laptop->IPAddress, "192.168.1.22");
    EXPECT_STREQ(laptop->HostName, "laptop");
    EXPECT_STREQ(laptop->InterfaceType, "Ethernet");
    EXPECT_STREQ(laptop->FriendlyName, "My Laptop");
    EXPECT_STREQ(laptop->AddressSource, "DHCP");
    EXPECT_EQ(laptop->HostActive.get(), 1);
    EXPECT_TRUE(file_exists(root.cfg_path(273, make_instance(2, {1, 1}))));

    DbImage db = parse_db(root.read_db());
    ASSERT_TRUE(db.ok);
    EXPECT_EQ(db.size_text, "4932");
    EXPECT_EQ(db.count_text, "2");
    ASSERT_EQ(db.records.size(), 2u);
    EXPECT_STREQ(db.records[0].lanHostEntry.MACAddress, "AA:bb:cc:00:00:01");
    EXPECT_STREQ(db.records[0].InterfaceStatus, "Associated");
    EXPECT_STREQ(db.records[1].InterfaceStatus, "Disassociated");
    EXPECT_EQ(db.records[1].HostState.get(), REPORT_REPORTED);

    // A second run keeps the instance of a known MAC and gives a new one the next number.
    r = run_gwsim({"root", "init", "--mode", "EXT", "--host",
                   "aa:bb:cc:00:00:02,192.168.1.99,laptop,Ethernet", "--host",
                   "aa:bb:cc:00:00:03,192.168.1.23,tv,Ethernet"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(text_at(root.read_object(CFG_OID_WIFI_SERVICE, make_instance(0, {})), CFG_WIFI_SERVICE_MODE),
              "EXT");
    EXPECT_EQ(root.read_lanhosts().size(), 3u);
    EXPECT_STREQ(root.read_lanhost("aa:bb:cc:00:00:02")->IPAddress, "192.168.1.99");
    EXPECT_EQ(root.read_lanhost("aa:bb:cc:00:00:02")->instanceId.inst[1].get(), 2u);
    EXPECT_EQ(root.read_lanhost("aa:bb:cc:00:00:03")->instanceId.inst[1].get(), 3u);

    r = run_gwsim({"root", "show"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("mode: EXT"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("host 3: aa:bb:cc:00:00:03 192.168.1.23 tv Ethernet"), std::string::npos) << r.out;
}

TEST(GwsimRootInit, RefusesBadInputWithoutWriting)
{
    {
        GatewayRoot root;
        ToolResult r = run_gwsim({"root", "init", "--host", "not-a-mac,1.2.3.4,x,Ethernet"});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("not a MAC address"), std::string::npos) << r.err;
        EXPECT_TRUE(root.read_lanhosts().empty());
        EXPECT_EQ(run_gwsim({"root", "init", "--mode", "MESH"}).status, 2);
        EXPECT_TRUE(root.read_object(CFG_OID_WIFI_SERVICE, make_instance(0, {})).empty());
        EXPECT_EQ(run_gwsim({"root", "init", "--colour", "red"}).status, 2);
    }
    // Without a root the tool never writes to the real gateway paths.
    ToolResult r = run_gwsim({"root", "init"}, {"ZELMO_ROOT="});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("ZELMO_ROOT"), std::string::npos);
}

} // namespace
