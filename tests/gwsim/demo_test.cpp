// The README's demo, run for real: the scripted home with the real daemon,
// the capture service and the cloud endpoint, in network namespaces with real
// iptables and, without them, with a recording stand-in.
#include "fixture/fixture.h"
#include "tool_process.h"

#include <gtest/gtest.h>

#include <map>
#include <unistd.h>

namespace
{

const char *const PHONE = "02:5a:00:00:00:01";
const char *const LAPTOP = "02:5a:00:00:00:02";
const char *const TV = "02:5a:00:00:00:03";
const char *const SPEAKER = "02:5a:00:00:00:04";
const char *const PRINTER = "02:5a:00:00:00:05";
const char *const PLUG = "02:5a:00:00:00:06";
const char *const PLUG_UA = "SmartPlug/2.1 (zelmo-demo; HTTP only)";

struct DemoRun {
    ToolResult result;
    std::string work; // the demo's work directory, from its first line
};

DemoRun run_demo(const std::string &out, bool namespaces)
{
    DemoRun run;
    run.result = run_tool({"bash", std::string(ZELMO_SOURCE_DIR) + "/scripts/demo.sh"},
                          {"ZELMO_DEMO_BIN=" + build_dir(), "ZELMO_DEMO_OUT=" + out, "ZELMO_DEMO_SKIP_DEPS=1",
                           std::string("ZELMO_DEMO_NETNS=") + (namespaces ? "1" : "0")},
                          240s);
    const std::string marker = "work directory ";
    size_t at = run.result.out.find(marker);
    if (at != std::string::npos)
        run.work =
            run.result.out.substr(at + marker.size(), run.result.out.find('\n', at) - at - marker.size());
    return run;
}

std::map<std::string, DeviceRecord> table(const std::string &out)
{
    DbImage db = parse_db(read_file_bytes(out + "/devices.db"));
    EXPECT_TRUE(db.ok);
    EXPECT_EQ(db.size_text, "4932");
    EXPECT_EQ(db.count_text, std::to_string(db.records.size()));
    std::map<std::string, DeviceRecord> by_mac;
    for (const auto &r : db.records)
        by_mac[r.lanHostEntry.MACAddress] = r;
    return by_mac;
}

struct Report {
    std::string meta;
    std::vector<std::pair<std::string, std::string>> parts; // name, body
};

std::vector<Report> reports(const std::string &out)
{
    std::vector<Report> all;
    for (const auto &seq : list_dir(out + "/reports")) {
        Report r;
        std::string dir = out + "/reports/" + seq;
        r.meta = read_file(dir + "/meta.txt");
        for (int i = 1; file_exists(dir + "/part-" + std::to_string(i) + ".name"); ++i) {
            std::string part = dir + "/part-" + std::to_string(i);
            r.parts.emplace_back(read_file(part + ".name"), read_file(part + ".body"));
            EXPECT_EQ(read_file(part + ".type"), "text/csv") << part;
        }
        all.push_back(r);
    }
    return all;
}

// Rows of every part of that name, over all reports.
std::string rows_of(const std::vector<Report> &all, const std::string &name)
{
    std::string rows;
    for (const auto &r : all)
        for (const auto &[n, body] : r.parts)
            if (n == name)
                rows += body + "\n";
    return rows;
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// Every process whose environment points below the demo's work directory: the
// demo exports ZELMO_ROOT before it starts anything, so all it started.
std::vector<std::string> processes_of(const std::string &work)
{
    std::vector<std::string> found;
    const std::string needle = "ZELMO_ROOT=" + work + "/root";
    for (const auto &pid : list_dir("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (contains('\0' + read_file("/proc/" + pid + "/environ"), '\0' + needle + '\0'))
            found.push_back(pid + " " + read_file("/proc/" + pid + "/comm"));
    }
    return found;
}

// What both runs end with: the final table (database bytes), what the cloud
// stored, what the LAN host daemon was told and the capture service saw, and
// that nothing the demo created is left behind.
void expect_home_stored_and_reported(const DemoRun &run, const std::string &out)
{
    auto devices = table(out);
    ASSERT_EQ(devices.size(), 6u);
    const DeviceRecord &phone = devices[PHONE];
    EXPECT_EQ(phone.Status.get(), STATUS_INACTIVE);
    EXPECT_EQ(phone.HostState.get(), REPORT_REPORTED);
    EXPECT_STREQ(phone.InterfaceStatus, "Disassociated");
    EXPECT_EQ(phone.Port.get(), 1);
    EXPECT_STREQ(phone.lanHostEntry.InterfaceType, "802.11");
    EXPECT_EQ(devices[LAPTOP].Status.get(), STATUS_REMOVED);
    const DeviceRecord &tv = devices[TV];
    EXPECT_EQ(tv.Status.get(), STATUS_ACTIVE);
    EXPECT_EQ(tv.FingerprintType.get(), FP_UPNP);
    EXPECT_EQ(tv.DeviceState.get(), REPORT_REPORTED);
    EXPECT_STREQ(tv.fingerprintData.upnp.ModelName, "Vistara 55Q");
    EXPECT_STREQ(tv.lanHostEntry.FriendlyName, "Living-room TV");
    const DeviceRecord &speaker = devices[SPEAKER];
    EXPECT_EQ(speaker.FingerprintType.get(), FP_MDNS);
    EXPECT_EQ(speaker.DeviceState.get(), REPORT_REPORTED);
    EXPECT_EQ(speaker.Port.get(), 5);
    EXPECT_STREQ(speaker.lanHostEntry.InterfaceType, "802.11ac");
    EXPECT_STREQ(speaker.fingerprintData.mdns.Model, "Sonora One");
    const DeviceRecord &printer = devices[PRINTER];
    EXPECT_EQ(printer.Status.get(), STATUS_ACTIVE);
    EXPECT_EQ(printer.HostState.get(), REPORT_REPORTED);
    EXPECT_STREQ(printer.Option55, "1,3,6,15,44,47");
    EXPECT_STREQ(printer.lanHostEntry.HostName, "printer-1");
    const DeviceRecord &plug = devices[PLUG];
    EXPECT_EQ(plug.Status.get(), STATUS_ACTIVE);
    EXPECT_EQ(plug.FingerprintType.get(), FP_HTTP);
    EXPECT_EQ(plug.DeviceState.get(), REPORT_REPORTED);
    EXPECT_EQ(plug.TimerStage.get(), 3);
    EXPECT_STREQ(plug.fingerprintData.http.UserAgent, PLUG_UA);

    auto all = reports(out);
    ASSERT_GE(all.size(), 13u);
    for (const auto &r : all) {
        EXPECT_TRUE(contains(r.meta, "scheme: https\nmethod: POST\npath: /zelmo/report\n")) << r.meta;
        EXPECT_TRUE(contains(r.meta, "\ntimestamp: ")) << r.meta;
        EXPECT_TRUE(contains(r.meta, "query: oui=A1B2C3&pc=ZX%20GW1&sn=SN0001\n")) << r.meta;
        EXPECT_TRUE(contains(r.meta, "user: demo\npassword: demo-secret\n")) << r.meta;
    }
    std::string hosts = rows_of(all, "Device.Hosts.Host.{i}.");
    for (const char *mac : {PHONE, LAPTOP, TV, SPEAKER, PRINTER, PLUG})
        EXPECT_TRUE(contains(hosts, std::string(",") + mac + ",")) << mac;
    EXPECT_TRUE(contains(hosts,
                         "192.168.77.21,DHCP,86400,02:5a:00:00:00:01,phone,802.11,false,,1,0,Reachable,"
                         "Disassociated,0"))
        << hosts;
    EXPECT_TRUE(
        contains(rows_of(all, "Device.UPnP.Description.{i}."),
                 "02:5a:00:00:00:03,urn:schemas-upnp-org:device:MediaRenderer:1,\"Vistara\",Vistara 55Q,"
                 "Q55-2024,VQ55X0012,uuid:tv-vistara-55q-000003"));
    EXPECT_TRUE(contains(rows_of(all, "Device.MDNS.Description.{i}."),
                         "02:5a:00:00:00:04,Sonora,Sonora One,7c1a2b3c-0000-4000-8000-000000000004\n"));
    EXPECT_TRUE(contains(rows_of(all, "Device.FingerPrint.Description.{i}."),
                         std::string("02:5a:00:00:00:06,,,\"") + PLUG_UA + "\""));
    // The demo shows each new report once ("cloud list --since"), with its rows.
    const std::string &text = run.result.out;
    EXPECT_EQ(count_of(text, "#1 https /zelmo/report?oui=A1B2C3&pc=ZX%20GW1&sn=SN0001 user=demo "
                             "Device.Hosts.Host.{i}.[1 rows]\n"),
              1u)
        << text;
    EXPECT_TRUE(contains(text, "[Device.MDNS.Description.{i}.]\n")) << text;
    EXPECT_TRUE(contains(text, "    02:5a:00:00:00:04,Sonora,Sonora One,")) << text;
    bool bulk = false; // the session's description upload: three parts in one request
    for (const auto &r : all)
        bulk = bulk || (r.parts.size() == 3 && r.parts[0].first == "Device.UPnP.Description.{i}." &&
                        r.parts[1].first == "Device.MDNS.Description.{i}." &&
                        r.parts[2].first == "Device.FingerPrint.Description.{i}.");
    EXPECT_TRUE(bulk);

    std::string notes = read_file(out + "/lanhost.log");
    for (const char *mac : {PHONE, LAPTOP, TV, SPEAKER, PRINTER, PLUG})
        EXPECT_TRUE(contains(notes, std::string("notifyDeviceAdded len=4941 count=1 | ") + mac + " Active"))
            << mac << "\n"
            << notes;
    for (const char *mac : {TV, SPEAKER})
        EXPECT_TRUE(contains(notes, std::string("notifyDeviceInfoUpdate len=4941 count=1 | ") + mac)) << mac;
    EXPECT_TRUE(contains(notes, std::string("notifyDeviceInfoUpdate len=4941 count=1 | ") + PLUG +
                                    " Active host=Reported desc=Reported type=HTTP stage=3 "))
        << notes;
    EXPECT_TRUE(contains(notes, std::string("data=http{vendor=,ua=") + PLUG_UA + "}\n")) << notes;
    EXPECT_TRUE(
        contains(notes, std::string("notifyDeviceStatusChange len=4941 count=1 | ") + PHONE + " Inactive"));
    EXPECT_TRUE(
        contains(notes, std::string("notifyDeviceStatusChange len=4941 count=1 | ") + LAPTOP + " Removed"));
    EXPECT_TRUE(contains(notes, "UpdateZelmoDevice: sent setLanhostEntry sync=1 for 1 host(s)"));
    EXPECT_TRUE(contains(read_file(out + "/capture.log"), std::string(" 02:5a:00:00:00:06 User-Agent \"") +
                                                              PLUG_UA + "\" -> HTTP fingerprint sent"));

    ASSERT_FALSE(run.work.empty());
    EXPECT_FALSE(file_exists(run.work)) << run.work;
    EXPECT_TRUE(processes_of(run.work).empty()) << processes_of(run.work)[0];
    std::string netns = run_tool({"ip", "netns", "list"}).out;
    for (const auto &line : read_lines(out + "/names")) {
        std::string kind = line.substr(0, line.find(' ')), name = line.substr(line.find(' ') + 1);
        if (kind == "netns")
            EXPECT_FALSE(contains(netns, name)) << name;
        else
            EXPECT_NE(run_tool({"ip", "link", "show", name}).status, 0) << name;
    }
}

TEST(Demo, ScriptedHomeInNetworkNamespaces)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the demo's network namespaces need root";
    if (run_tool({"unshare", "-n", "true"}).status != 0)
        GTEST_SKIP() << "network namespaces cannot be created here";
    TempDir out("zelmo-demo-out");
    DemoRun run = run_demo(out.path(), true);
    ASSERT_EQ(run.result.status, 0) << run.result.out << run.result.err;
    const std::string &text = run.result.out;
    EXPECT_TRUE(contains(text, "network: namespace zdemo-gw-")) << text;
    EXPECT_TRUE(contains(text, "--mac-source 02:5a:00:00:00:06 -m tcp --dport 80 -j DNAT --to-destination "
                               "192.168.77.1:8001"))
        << text;
    // The kernel's record of the gateway's packet filter: the plug's redirect came, then went.
    std::string netfilter = read_file(out.path() + "/netfilter.log");
    if (!netfilter.empty()) {
        size_t added =
            netfilter.find("-A PREROUTING_USERAGENT -s 192.168.77.0/24 ! -d 192.168.77.1/32 -p tcp -m mac "
                           "--mac-source 02:5a:00:00:00:06 -m tcp --dport 80 -j DNAT");
        size_t deleted =
            netfilter.find("-D PREROUTING_USERAGENT -s 192.168.77.0/24 ! -d 192.168.77.1/32 -p tcp -m "
                           "mac --mac-source 02:5a:00:00:00:06");
        EXPECT_NE(added, std::string::npos) << netfilter;
        EXPECT_NE(deleted, std::string::npos) << netfilter;
        EXPECT_LT(added, deleted);
    }
    expect_home_stored_and_reported(run, out.path());
    // The host's own packet filter never saw a demo rule.
    EXPECT_FALSE(contains(run_tool({"iptables", "-t", "nat", "-S"}).out, "02:5a:00:00:00:0"));
}

TEST(Demo, RunsTheRestWithoutNamespaces)
{
    TempDir out("zelmo-demo-out");
    DemoRun run = run_demo(out.path(), false);
    ASSERT_EQ(run.result.status, 0) << run.result.out << run.result.err;
    EXPECT_TRUE(contains(run.result.out, "cannot create network namespaces here")) << run.result.out;
    expect_home_stored_and_reported(run, out.path());
}

} // namespace
