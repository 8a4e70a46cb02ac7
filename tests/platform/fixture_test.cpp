// The shared fixture's own behaviour, checked against the real libraries and binary.
#include "fixture/fixture.h"
#include "platform/cfgstore.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

TEST(Fixture, ConfigurationWritersMatchTheStore)
{
    GatewayRoot root;
    root.write_wifi_mode("RGW");
    root.write_http_profile("https://127.0.0.1:8443/upload", "user", "secret");
    std::vector<char> wifi(CFG_SIZE_WIFI_SERVICE, 0);
    store_le32(wifi.data(), CFG_OID_WIFI_SERVICE);
    ASSERT_EQ(cfg_getObj(wifi.data(), wifi.size(), 0), 0);
    EXPECT_STREQ(&wifi[CFG_WIFI_SERVICE_MODE], "RGW");
    std::vector<char> http(CFG_SIZE_HTTP_PROFILE, 0);
    CfgObjHeader h{};
    h.ObjectId.set(CFG_OID_HTTP_PROFILE);
    h.instanceId = make_instance(1, {1});
    memcpy(http.data(), &h, sizeof h);
    ASSERT_EQ(cfg_getObj(http.data(), http.size(), 0), 0);
    EXPECT_STREQ(&http[CFG_HTTP_PROFILE_URL], "https://127.0.0.1:8443/upload");
    EXPECT_STREQ(&http[CFG_HTTP_PROFILE_USERNAME], "user");
    EXPECT_STREQ(&http[CFG_HTTP_PROFILE_PASSWORD], "secret");

    LanHostEntryObject e = make_lanhost("AA:BB:CC:DD:EE:01", "192.168.1.5", "phone", "802.11ax", 5);
    root.write_lanhost(e);
    EXPECT_TRUE(file_exists(root.file("/var/lib/cfgstore/273/2.1.5.0.0.0.0")));
    std::optional<LanHostEntryObject> back = root.read_lanhost("aa:bb:cc:dd:ee:01");
    ASSERT_TRUE(back);
    EXPECT_EQ(memcmp(&*back, &e, sizeof e), 0);
    EXPECT_FALSE(root.read_lanhost("aa:bb:cc:dd:ee:02"));
}

TEST(Fixture, DatabaseImagesRoundTrip)
{
    GatewayRoot root;
    std::vector<DeviceRecord> records = {make_record(test_mac(1)),
                                         make_record(test_mac(2), "192.168.1.11", "b")};
    root.write_db(records);
    Bytes image = root.read_db();
    ASSERT_EQ(image.size(), 64 + 2 * sizeof(DeviceRecord));
    EXPECT_STREQ(reinterpret_cast<const char *>(image.data()), "4932");
    EXPECT_STREQ(reinterpret_cast<const char *>(image.data() + 32), "2");
    DbImage db = parse_db(image);
    ASSERT_TRUE(db.ok);
    EXPECT_EQ(db.count_text, "2");
    ASSERT_EQ(db.records.size(), 2u);
    EXPECT_STREQ(db.records[1].lanHostEntry.MACAddress, "02:00:00:00:00:02");
    EXPECT_EQ(memcmp(&db.records[0], &records[0], sizeof(DeviceRecord)), 0);
    EXPECT_FALSE(parse_db(Bytes(65, 0)).ok);
    EXPECT_EQ(parse_db(db_image({}, "4931", "")).size_text, "4931");
}

TEST(Fixture, ProcessesAndToolStandIns)
{
    GatewayRoot root;
    std::string err;
    ProcessEnd end = run_zelmo({"-h"}, nullptr, &err);
    ASSERT_TRUE(end.ended);
    EXPECT_EQ(end.exit_code, 1);
    EXPECT_NE(err.find("usage:- " + DaemonProcess::binary() + " -f <devices db>"), std::string::npos);

    ToolStandIns tools;
    tools.add("iptables", 3);
    std::string tool = tools.dir() + "/iptables";
    const char *argv[] = {"iptables", "-t", "nat", "-L", "a b", nullptr};
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, tool.c_str(), nullptr, nullptr, const_cast<char **>(argv), environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(tools.calls("iptables"), std::vector<std::string>{"-t nat -L a b"});
    EXPECT_EQ(tools.path_env().rfind("PATH=" + tools.dir() + ":", 0), 0u);
}
