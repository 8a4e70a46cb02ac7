// Cloud uploads: rate of single-device host reports (a fresh handle, form and
// header list per request) to local HTTP and HTTPS servers, beside the rate
// of a plain libcurl client that reuses one handle against the same server,
// and the resident anonymous memory after 10,000 uploads versus after one.
#include "cloud/cloud.h"
#include "fixture/fixture.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <benchmark/benchmark.h>
#include <csignal>
#include <curl/curl.h>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>

extern char **environ;

namespace
{

pid_t spawn(const std::vector<std::string> &args, bool quiet = false)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int run(const std::vector<std::string> &args)
{
    int status = -1;
    pid_t pid = spawn(args, true);
    return pid > 0 && waitpid(pid, &status, 0) == pid ? status : -1;
}

// The tests' recording server, without a request log, on a free port.
struct Server {
    pid_t pid = -1;
    std::string url;
    Server(const std::string &dir, const std::string &scheme, const std::string &cert = "",
           const std::string &key = "")
    {
        std::vector<std::string> args = {"/usr/bin/python3", ZELMO_SOURCE_DIR "/tests/cloud/cloud_server.py",
                                         "--port-file", dir + "/" + scheme + ".port"};
        if (!cert.empty())
            args.insert(args.end(), {"--cert", cert, "--key", key});
        pid = spawn(args);
        if (!wait_until([&] { return file_exists(args[3]); }, 10s))
            throw std::runtime_error("server did not start");
        url = scheme + "://127.0.0.1:" + read_file(args[3]) + "/report";
    }
    ~Server()
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

struct Env {
    GatewayRoot root;
    std::unique_ptr<Server> http, https;
    Env()
    {
        curl_global_init(CURL_GLOBAL_ALL);
        cslibLog_setDestination(1);
        cslibLog_setLevel(ZLOG_ERR);
        field_set(_g_oui, "A1B2C3");
        field_set(_g_model, "XS-010");
        field_set(_g_serial, "SN0001");
        std::string d = root.path() + "/usr/configs/";
        write_file(d + "ext", "subjectAltName=IP:127.0.0.1\n");
        bool ok = run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-nodes", "-days", "1", "-subj", "/CN=ca", "-keyout", d + "ca.key", "-out",
                       d + "kro_cacert.pem"}) == 0 &&
                  run({"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-nodes", "-subj", "/CN=gw", "-keyout", d + "srv.key", "-out", d + "srv.csr"}) == 0 &&
                  run({"openssl", "x509", "-req", "-in", d + "srv.csr", "-CA", d + "kro_cacert.pem", "-CAkey",
                       d + "ca.key", "-CAcreateserial", "-days", "1", "-extfile", d + "ext", "-out",
                       d + "srv.pem"}) == 0;
        if (!ok)
            throw std::runtime_error("openssl failed");
        http = std::make_unique<Server>(root.path(), "http");
        https = std::make_unique<Server>(root.path(), "https", d + "srv.pem", d + "srv.key");
    }
    const std::string &url(bool tls) const { return tls ? https->url : http->url; }
};

Env &env()
{
    static Env e;
    return e;
}

// One full-width-ish host report, as the device update handler sends it.
const char *host_form()
{
    static char form[CLOUD_SINGLE_FORM_SIZE];
    LanHostEntryObject host =
        make_lanhost("aa:bb:cc:dd:ee:01", "192.168.1.23", "living-room-television", "802.11");
    int32_t status = STATUS_ACTIVE;
    formHostData(&host, form, 1, &status, 2, 0, "Reachable", "Associated", 0);
    return form;
}

long rss_anon_kb()
{
    std::string status = read_file("/proc/self/status");
    size_t at = status.find("RssAnon:");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + 8));
}

void BM_SendToCloud(benchmark::State &state)
{
    bool tls = state.range(0) != 0;
    env().root.write_http_profile(env().url(tls));
    const char *form = host_form();
    for (auto _ : state) {
        _g_cloud_reachable = 1;
        if (sendToCloud(form, CLOUD_FORM_HOST) != REPORT_REPORTED) {
            state.SkipWithError("upload failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(tls ? "https" : "http");
}

// The same form posted by libcurl alone: one handle reused for every request
// (range 1 = 1), or a fresh handle per request without anything of ours.
void BM_PlainClient(benchmark::State &state)
{
    bool tls = state.range(0) != 0, reuse = state.range(1) != 0;
    std::string url = env().url(tls) + "?oui=A1B2C3&pc=XS-010&sn=SN0001";
    std::string ca = env().root.file("/usr/configs/kro_cacert.pem");
    const char *form = host_form();
    CURL *h = nullptr;
    curl_mime *mime = nullptr;
    for (auto _ : state) {
        if (h == nullptr) {
            h = curl_easy_init();
            mime = curl_mime_init(h);
            curl_mimepart *part = curl_mime_addpart(mime);
            curl_mime_name(part, CLOUD_FORM_HOST);
            curl_mime_type(part, "text/csv");
            curl_mime_data(part, form, CURL_ZERO_TERMINATED);
            curl_easy_setopt(h, CURLOPT_URL, url.c_str());
            curl_easy_setopt(h, CURLOPT_MIMEPOST, mime);
            curl_easy_setopt(h, CURLOPT_CAINFO, ca.c_str());
            curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        }
        CURLcode code = curl_easy_perform(h);
        if (!reuse) {
            curl_easy_cleanup(h);
            curl_mime_free(mime);
            h = nullptr;
            mime = nullptr;
        }
        if (code != CURLE_OK) {
            state.SkipWithError("plain upload failed");
            break;
        }
    }
    curl_easy_cleanup(h);
    curl_mime_free(mime);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::string(tls ? "https" : "http") + (reuse ? ", reused handle" : ", fresh handle"));
}

void BM_UploadMemory(benchmark::State &state)
{
    env().root.write_http_profile(env().url(false));
    const char *form = host_form();
    long first = -1;
    for (auto _ : state) {
        _g_cloud_reachable = 1;
        benchmark::DoNotOptimize(sendToCloud(form, CLOUD_FORM_HOST));
        if (first < 0)
            first = rss_anon_kb();
    }
    long last = rss_anon_kb();
    state.counters["rss_anon_first_kB"] = double(first);
    state.counters["rss_anon_last_kB"] = double(last);
    state.counters["growth_kB"] = double(last - first);
}

} // namespace

BENCHMARK(BM_SendToCloud)->Arg(0)->Arg(1)->UseRealTime()->MinTime(3);
BENCHMARK(BM_PlainClient)->Args({0, 1})->Args({0, 0})->Args({1, 1})->Args({1, 0})->UseRealTime()->MinTime(3);
BENCHMARK(BM_UploadMemory)->Iterations(10000)->UseRealTime();

BENCHMARK_MAIN();
