// Cloud uploads: rate and CPU of single-device host reports to local HTTP and
// HTTPS servers, on the kept handle (one connection and TLS session) and with
// the kept handle dropped before every upload (a new connection and a full
// handshake each time), beside a plain libcurl client against the same
// servers, and the resident anonymous memory after 10,000 HTTPS uploads on
// the kept handle versus after one.
#include "cloud/cloud.h"
#include "cloud/transport.h"
#include "fixture/cloud_server.h"
#include "fixture/fixture.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>

namespace
{

// The tests' recording server without its request log, on a free port: one
// for HTTP and one for HTTPS with a self-signed certificate that is also the
// gateway's CA.
struct Env {
    GatewayRoot root;
    TestCert cert{root.path() + "/usr/configs"};
    CloudServer http{"ok", "", "", false}, https{"ok", cert.cert, cert.key, false};
    Env()
    {
        curl_global_init(CURL_GLOBAL_ALL);
        cslibLog_setDestination(1);
        cslibLog_setLevel(ZLOG_ERR);
        field_set(_g_oui, "A1B2C3");
        field_set(_g_model, "XS-010");
        field_set(_g_serial, "SN0001");
        write_file(root.file("/usr/configs/kro_cacert.pem"), read_file(cert.cert));
    }
    std::string url(bool tls) const { return tls ? https.url("/report", "https") : http.url(); }
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

// range(1) = 1: the kept handle; 0: dropped before every upload.
void BM_SendToCloud(benchmark::State &state)
{
    bool tls = state.range(0) != 0, kept = state.range(1) != 0;
    env().root.write_http_profile(env().url(tls));
    const char *form = host_form();
    cloud_forget_handle(_g_upload_handle);
    for (auto _ : state) {
        _g_cloud_reachable = 1;
        if (!kept)
            cloud_forget_handle(_g_upload_handle);
        if (sendToCloud(form, CLOUD_FORM_HOST) != REPORT_REPORTED) {
            state.SkipWithError("upload failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::string(tls ? "https" : "http") + (kept ? ", kept connection" : ", new connection"));
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
    env().root.write_http_profile(env().url(true));
    const char *form = host_form();
    cloud_forget_handle(_g_upload_handle);
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

BENCHMARK(BM_SendToCloud)->Args({0, 1})->Args({0, 0})->Args({1, 1})->Args({1, 0})->UseRealTime()->MinTime(3);
BENCHMARK(BM_PlainClient)->Args({0, 1})->Args({0, 0})->Args({1, 1})->Args({1, 0})->UseRealTime()->MinTime(3);
BENCHMARK(BM_UploadMemory)->Iterations(10000)->UseRealTime();

BENCHMARK_MAIN();
