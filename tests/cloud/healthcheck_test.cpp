// The cloud probe and the health check thread.
#include "cloud/cloud.h"
#include "fixture/cloud_server.h"

#include <csignal>
#include <sstream>

namespace
{

// Whether SIGUSR1 is blocked in the task, from its SigBlk line.
bool blocks_timer_signal(const std::string &task)
{
    std::istringstream status(read_file(task + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigBlk:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (SIGUSR1 - 1)) & 1;
    return false;
}

// Runs in a process of its own: the thread never ends. "" when all went well.
std::string resync_then_probe(GatewayRoot &root)
{
    PrivateBus bus;
    RecordingLanHost lanhost;
    CloudServer server("error"); // an HTTP error status still counts as reachable
    root.write_http_profile(server.url("/health"));
    _g_cloud_reachable = 0;
    CaptureFd log(2);
    auto start = std::chrono::steady_clock::now();
    zelmo_do_healthcheck();

    int blocking = 0;
    for (const std::string &task : list_dir("/proc/self/task"))
        if (blocks_timer_signal("/proc/self/task/" + task))
            blocking += read_file("/proc/self/task/" + task + "/comm") == "healthcheck\n" ? 1 : 100;
    if (blocking != 1)
        return "SIGUSR1 must be blocked in the health check thread only";

    if (!lanhost.wait_for("UpdateZelmoDevice", 1, 10s))
        return "no resynchronisation request";
    auto waited = std::chrono::steady_clock::now() - start;
    if (waited < 4500ms || waited > 8s)
        return "resynchronisation request after " + std::to_string(waited / 1ms) + " ms";
    if (log.count("Cloud Health check thread created. Send syncall request to lanhostd\n") != 1)
        return "no log line before the resynchronisation request";
    if (!server.wait_requests(1, 10000) ||
        !wait_until([&] { return log.count("cloud is reachable now. set _g_cloud_reachable to 1\n") == 1; },
                    5s) ||
        _g_cloud_reachable != 1)
        return "no probe, or the flag stayed 0";
    RecordedRequest probe = server.requests()[0];
    if (probe.path != "/health?oui=A1B2C3&pc=XS-010&sn=SN%200001" || probe.parts.size() != 1 ||
        probe.parts[0].name != "Healthcheck" || probe.parts[0].content_type != "multipart/form-data" ||
        !probe.parts[0].data.empty() || probe.parts[0].has_filename || log.count("check cloud health\n") != 1)
        return "unexpected probe request";
    return "";
}

} // namespace

TEST_F(CloudTest, ProbeFailuresNeverTouchTheFlag)
{
    CloudServer silent("close");
    CaptureFd err(2);
    root.write_http_profile("");
    EXPECT_EQ(zelmo_check_cloud_health(), 0); // no URL: silent
    EXPECT_EQ(err.count("curl_easy_perform"), 0u);
    root.write_http_profile(silent.url());
    EXPECT_EQ(zelmo_check_cloud_health(), 0);
    EXPECT_EQ(err.count(curl_failure_line(CURLE_GOT_NOTHING)), 1u);
    EXPECT_EQ(silent.requests().size(), 1u);
    EXPECT_EQ(_g_cloud_reachable, 1);
}

TEST_F(CloudTest, HealthCheckThreadResyncsAndRestoresReachability)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::string error = resync_then_probe(root);
            fprintf(stderr, "%s\n", error.c_str());
            fflush(stderr);
            _exit(error.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
