// The system bus policy of the daemon, loaded by a real dbus-daemon whose
// default policy is the system bus's: only root may own "arvex.kvx.zelmo",
// anyone may call the daemon's interface, and only root may call the LAN
// host daemon. The unprivileged client runs as user nobody.
#include "fixture/fixture.h"
#include "tool_process.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

TEST(DaemonBusPolicy, OnlyRootOwnsTheNameAndAnyoneCallsTheInterface)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client as user nobody";
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr)
        GTEST_SKIP() << "no user nobody";
    TempDir dir("gwsim-policy");
    chmod(dir.path().c_str(), 0755);
    const std::string socket = dir.path() + "/bus", address = "unix:path=" + socket;
    write_file(dir.path() + "/bus.conf",
               R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" +
                   socket + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
  </policy>
  <policy user="root">
    <allow own="arvex.lanhostd"/>
  </policy>
  <include>)" + std::string(ZELMO_SOURCE_DIR) +
                   R"(/dist/arvex.kvx.zelmo.conf</include>
</busconfig>
)");
    DaemonProcess bus({"--config-file=" + dir.path() + "/bus.conf", "--nofork", "--nopidfile"}, {},
                      "dbus-daemon");
    ASSERT_TRUE(wait_until([&] { return file_exists(socket) || !bus.running(); }, 10s) && file_exists(socket))
        << bus.output();
    // A copy of the simulator that user nobody can run wherever the build lives.
    const std::string tool = dir.path() + "/gwsim";
    write_file(tool, read_file(gwsim_path()));
    chmod(tool.c_str(), 0755);
    // The simulator copy as root or, through setpriv, as user nobody; its
    // standard output and error as one text.
    auto run_as = [&](bool as_nobody, const std::vector<std::string> &args) {
        std::vector<std::string> argv{tool, "--bus", address};
        argv.insert(argv.end(), args.begin(), args.end());
        if (as_nobody)
            argv.insert(argv.begin(), {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                                       "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups"});
        ToolResult r = run_tool(argv, {}, 15s);
        r.out += r.err;
        return r;
    };

    ToolResult r = run_as(true, {"bus", "own", "arvex.kvx.zelmo"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("denied arvex.kvx.zelmo: org.freedesktop.DBus.Error.AccessDenied"),
              std::string::npos)
        << r.out;
    r = run_as(false, {"bus", "own", "arvex.kvx.zelmo"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("owned arvex.kvx.zelmo"), std::string::npos);

    // Root holds the daemon's name and the LAN host daemon's; the holders
    // handle no method, so a call that passes the policy gets UnknownMethod.
    DaemonProcess zelmo({"--bus", address, "bus", "own", "arvex.kvx.zelmo", "--hold", "60"}, {}, tool);
    DaemonProcess lanhostd({"--bus", address, "bus", "own", "arvex.lanhostd", "--hold", "60"}, {}, tool);
    ASSERT_TRUE(zelmo.wait_for_output("owned", 10s)) << zelmo.output();
    ASSERT_TRUE(lanhostd.wait_for_output("owned", 10s)) << lanhostd.output();

    r = run_as(true, {"call", "notifyDeviceCategoryInfo", "--hex", "0102030405060708", "--value", "3"});
    EXPECT_NE(r.out.find("error org.freedesktop.DBus.Error.UnknownMethod"), std::string::npos) << r.out;
    r = run_as(true, {"call", "notifyDeviceCategoryInfo", "--interface", "org.example.Other"});
    EXPECT_NE(r.out.find("error org.freedesktop.DBus.Error.AccessDenied"), std::string::npos) << r.out;

    const std::vector<std::string> to_lanhostd{
        "call",   "notifyDeviceAdded", "--dest",      "arvex.lanhostd",
        "--path", "/arvex/lanhostd",   "--interface", "arvex.lanhostd"};
    r = run_as(false, to_lanhostd);
    EXPECT_NE(r.out.find("error org.freedesktop.DBus.Error.UnknownMethod"), std::string::npos)
        << r.out << r.err;
    r = run_as(true, to_lanhostd);
    EXPECT_NE(r.out.find("error org.freedesktop.DBus.Error.AccessDenied"), std::string::npos) << r.out;
}

} // namespace
