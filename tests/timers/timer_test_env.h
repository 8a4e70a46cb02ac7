// Set-up shared by the device timer tests: a fresh table whose database lives
// in a temporary gateway root, the timer signal pipe as a real socket pair, a
// recording iptables first in PATH and a known bridge address (so every
// redirect command line can be checked), and 1-second periods.
#pragma once

#include "devtable/devtable.h"
#include "fixture/fixture.h"
#include "frame/frame.h"
#include "timers/timers.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class TimerTest : public ::testing::Test
{
  protected:
    GatewayRoot gw;
    ToolStandIns tools;
    std::string saved_path;

    void SetUp() override
    {
        ASSERT_EQ(devtable_alloc(), 0);
        field_set(_g_file, gw.db_path().c_str());
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        signal_pipe[0] = sv[0];
        signal_pipe[1] = sv[1];
        tools.add("iptables");
        const char *path = getenv("PATH");
        saved_path = path ? path : "/usr/bin:/bin";
        setenv("PATH", (tools.dir() + ":" + saved_path).c_str(), 1);
        field_set(_g_br0_ip, "192.168.77.1");
        field_set(_g_subnet, "192.168.77.0/24");
        _g_add_timer = 1;
        _g_remove_timer = 1;
        _g_session_timeout = 0;
        _g_session_timer = 0;
    }

    void TearDown() override
    {
        // No timer of this test may fire into the next one.
        for (int i = 0; i < _g_device_count; ++i)
            if (_g_devices[i].timer.get() != 0)
                zelmo_deleteTimer(_g_devices[i].timer.get());
        setenv("PATH", saved_path.c_str(), 1);
        close(signal_pipe[0]);
        close(signal_pipe[1]);
        signal_pipe[0] = signal_pipe[1] = -1;
        _g_add_timer = 15;
        _g_remove_timer = 3600;
    }

    // Adds a used record at the end of the table (timer 0, stage 0) and saves.
    int add_record(const std::string &mac)
    {
        int index = _g_device_count;
        _g_devices[index] = make_record(mac);
        ++_g_device_count;
        update_db();
        return index;
    }

    // The schedule start of the update handler: a timer and stage 1.
    void start_schedule(int index)
    {
        ASSERT_EQ(zelmo_makeTimer(index, _g_add_timer), 0);
        ASSERT_NE(_g_devices[index].timer.get(), 0u);
        _g_devices[index].TimerStage.set(1);
    }

    // The next identifier the handler wrote into the pipe.
    static std::optional<uint32_t> next_expiry(int timeout_ms)
    {
        pollfd p{signal_pipe[0], POLLIN, 0};
        for (;;) {
            int r = poll(&p, 1, timeout_ms);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return std::nullopt;
            uint32_t id = 0;
            ssize_t n = read(signal_pipe[0], &id, sizeof id);
            if (n < 0 && errno == EINTR)
                continue;
            if (n != ssize_t(sizeof id))
                return std::nullopt;
            return id;
        }
    }

    // Recorded redirect commands ("I" or "D") for a MAC.
    size_t rule_calls(const std::string &mac, char op) const
    {
        size_t n = 0;
        std::string head = std::string("-t nat -") + op + " PREROUTING_USERAGENT ";
        for (const std::string &line : tools.calls("iptables"))
            if (line.rfind(head, 0) == 0 && line.find("--mac-source " + mac + " ") != std::string::npos)
                ++n;
        return n;
    }
    size_t all_rule_calls() const
    {
        size_t n = 0;
        for (const std::string &line : tools.calls("iptables"))
            if (line.find("--mac-source") != std::string::npos)
                ++n;
        return n;
    }

    DbImage saved() const { return parse_db(gw.read_db()); }
};
