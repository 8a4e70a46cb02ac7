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

class PolicyBus
{
  public:
    PolicyBus()
    {
        chmod(dir_.path().c_str(), 0755);
        socket_ = dir_.path() + "/bus";
        std::string conf = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" + socket_ +
                           R"(</listen>
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
)";
        write_file(dir_.path() + "/bus.conf", conf);
        daemon_ = std::make_unique<DaemonProcess>(
            std::vector<std::string>{"--config-file=" + dir_.path() + "/bus.conf", "--nofork", "--nopidfile"},
            std::vector<std::string>{}, "dbus-daemon");
        if (!wait_until([&] { return file_exists(socket_) || !daemon_->running(); }, 10s) ||
            !file_exists(socket_))
            throw std::runtime_error("dbus-daemon did not start: " + daemon_->output());
        // A copy of the simulator that user nobody can run wherever the build lives.
        tool_ = dir_.path() + "/gwsim";
        write_file(tool_, read_file(gwsim_path()));
        chmod(tool_.c_str(), 0755);
    }
    std::string address() const { return "unix:path=" + socket_; }
    const std::string &tool() const { return tool_; }

  private:
    TempDir dir_{"gwsim-policy"};
    std::string socket_, tool_;
    std::unique_ptr<DaemonProcess> daemon_;
};

// Runs the simulator copy as root or, through setpriv, as user nobody; its
// standard output and error as one text.
ToolResult run_as(bool as_nobody, const PolicyBus &bus, const std::vector<std::string> &args)
{
    std::vector<std::string> argv{bus.tool(), "--bus", bus.address()};
    argv.insert(argv.end(), args.begin(), args.end());
    if (as_nobody) {
        const passwd *pw = getpwnam("nobody");
        argv.insert(argv.begin(), {"setpriv", "--reuid=" + std::to_string(pw->pw_uid),
                                   "--regid=" + std::to_string(pw->pw_gid), "--clear-groups"});
    }
    ToolResult r = run_tool(argv, {}, 15s);
    r.out += r.err;
    return r;
}

TEST(DaemonBusPolicy, OnlyRootOwnsTheNameAndAnyoneCallsTheInterface)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client as user nobody";
    if (getpwnam("nobody") == nullptr)
        GTEST_SKIP() << "no user nobody";
    PolicyBus bus;

    ToolResult r = run_as(true, bus, {"bus", "own", "arvex.kvx.zelmo"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("denied arvex.kvx.zelmo: org.freedesktop.DBus.Error.AccessDenied"),
              std::string::npos)
        << r.out;
    r = run_as(false, bus, {"bus", "own", "arvex.kvx.zelmo"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("owned arvex.kvx.zelmo"), std::string::npos);

    // Root holds the daemon's name and the LAN host daemon's; the holders
    // handle no method, so a call that passes the policy gets UnknownMethod.
    DaemonProcess zelmo({"--bus", bus.address(), "bus", "own", "arvex.kvx.zelmo", "--hold", "60"}, {},
                        bus.tool());
    DaemonProcess lanhostd({"--bus", bus.address(), "bus", "own", "arvex.lanhostd", "--hold", "60"}, {},
                           bus.tool());
    ASSERT_TRUE(zelmo.wait_for_output("owned", 10s)) << zelmo.output();
    ASSERT_TRUE(lanhostd.wait_for_output("owned", 10s)) << lanhostd.output();

    r = run_as(true, bus, {"call", "notifyDeviceCategoryInfo", "--hex", "0102030405060708", "--value", "3"});
    EXPECT_NE(r.out.find("error org.freedesktop.DBus.Error.UnknownMethod"), std::string::npos) << r.out;
    r = run_as(true, bus, {"call", "notifyDeviceCategoryInfo", "--interface", "org.example.Other"});
    EXPECT_NE(r.out.find("error org.freedesktop.DBus.Error.AccessDenied"), std::string::npos) << r.out;

    const std::vector<std::string> to_lanhostd{
        "call",   "notifyDeviceAdded", "--dest",      "arvex.lanhostd",
        "--path", "/arvex/lanhostd",   "--interface", "arvex.lanhostd"};
    r = run_as(false, bus, to_lanhostd);
    EXPECT_NE(r.out.find("error org.freedesktop.DBus.Error.UnknownMethod"), std::string::npos)
        << r.out << r.err;
    r = run_as(true, bus, to_lanhostd);
    EXPECT_NE(r.out.find("error org.freedesktop.DBus.Error.AccessDenied"), std::string::npos) << r.out;
}

} // namespace
