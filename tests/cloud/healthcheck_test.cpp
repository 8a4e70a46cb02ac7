// The cloud probe and the health check thread.
#include "cloud/cloud.h"
#include "cloud/cloud_server.h"

#include <csignal>
#include <curl/curl.h>
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
    if (!server.wait_requests(1, 10000) || !wait_until([] { return _g_cloud_reachable == 1; }, 5s))
        return "no probe, or the flag stayed 0";
    RecordedRequest probe = server.requests()[0];
    if (probe.path != "/health?oui=A1B2C3&pc=XS-010&sn=SN%200001" || probe.parts.size() != 1 ||
        probe.parts[0].name != "Healthcheck" || probe.parts[0].content_type != "multipart/form-data" ||
        !probe.parts[0].data.empty() || probe.parts[0].has_filename)
        return "unexpected probe request";
    return "";
}

} // namespace

TEST_F(CloudTest, ProbeCountsCompletedTransfers)
{
    CloudServer failing("error");
    root.write_http_profile("");
    EXPECT_EQ(zelmo_check_cloud_health(), 0); // no URL
    root.write_http_profile(failing.url());
    EXPECT_EQ(zelmo_check_cloud_health(), 1);
    ASSERT_EQ(failing.requests().size(), 1u);
    EXPECT_EQ(failing.requests()[0].parts.at(0).name, "Healthcheck");

    CloudServer silent("close");
    root.write_http_profile(silent.url());
    StderrCapture err;
    EXPECT_EQ(zelmo_check_cloud_health(), 0);
    EXPECT_NE(
        err.text().find(std::string("curl_easy_perform() failed: ") + curl_easy_strerror(CURLE_GOT_NOTHING)),
        std::string::npos);
    EXPECT_EQ(_g_cloud_reachable, 1); // the probe itself never clears the flag
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
