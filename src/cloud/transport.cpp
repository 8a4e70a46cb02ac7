// Upload transport: the common request options, the transfer and the
// single-part upload of one device's report.
#include "cloud/transport.h"
#include "cloud/cloud.h"
#include "diag/counters.h"
#include "platform/log.h"
#include "platform/root.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>

std::atomic<int32_t> _g_cloud_reachable{1};

int get_epoch_time_in_localtime(uint32_t *result)
{
    if (result == nullptr)
        return -1;
    time_t now = time(nullptr);
    if (now == time_t(-1))
        return -1;
    struct tm utc_tm {
    };
    struct tm local_tm {
    };
    if (gmtime_r(&now, &utc_tm) == nullptr || localtime_r(&now, &local_tm) == nullptr)
        return -1;
    utc_tm.tm_isdst = 0;
    local_tm.tm_isdst = 0;
    time_t local = mktime(&local_tm);
    time_t utc = mktime(&utc_tm);
    if (local == time_t(-1) || utc == time_t(-1))
        return -1;
    *result = uint32_t(local - utc + now);
    return 0;
}

CURL *_g_upload_handle = nullptr;
CURL *_g_healthcheck_handle = nullptr;

void cloud_forget_handle(CURL *&kept)
{
    curl_easy_cleanup(kept);
    kept = nullptr;
}

bool CloudRequest::open(CURL *&kept)
{
    if (kept == nullptr)
        kept = curl_easy_init();
    if (kept == nullptr)
        return false;
    easy = kept;
    curl_easy_reset(easy);
    form.reset(curl_mime_init(easy));
    return bool(form);
}

CloudRequest::~CloudRequest()
{
    if (easy != nullptr)
        curl_easy_reset(easy);
}

bool CloudRequest::add_part(const char *name, const char *contentType, const char *contents)
{
    curl_mimepart *part = curl_mime_addpart(form.get());
    return part != nullptr && curl_mime_name(part, name) == CURLE_OK &&
           curl_mime_type(part, contentType) == CURLE_OK &&
           curl_mime_data(part, contents, CURL_ZERO_TERMINATED) == CURLE_OK;
}

namespace
{

bool append_header(CurlHeaders &headers, const char *line)
{
    curl_slist *list = curl_slist_append(headers.get(), line);
    if (list == nullptr)
        return false;
    (void)headers.release(); // now owned through the new head
    headers.reset(list);
    return true;
}

// The service's answer goes to standard output, as libcurl's default sink
// would write it, but flushed at once: the daemon never exits normally.
size_t write_answer(char *data, size_t size, size_t count, void *)
{
    fwrite(data, size, count, stdout);
    fflush(stdout);
    return size * count;
}

} // namespace

bool cloud_url_usable(const CloudProfile &profile)
{
    if (profile.url[0] == '\0')
        return false;
    if (strncasecmp(profile.url, "http://", 7) == 0 || strncasecmp(profile.url, "https://", 8) == 0)
        return true;
    ZLOG(ZLOG_ERR, "cloud URL is neither http:// nor https://; no transfer\n");
    return false;
}

void curl_add_options(CloudRequest &request, const char * /*formName*/, const CloudProfile &profile)
{
    CURL *handle = request.easy;
    append_header(request.headers, "Expect:");
    uint32_t stamp = 0;
    if (get_epoch_time_in_localtime(&stamp) == 0) {
        char line[64];
        snprintf(line, sizeof line - 1, "timestamp: %lu", static_cast<unsigned long>(stamp));
        append_header(request.headers, line);
    }
    curl_easy_setopt(handle, CURLOPT_URL, profile.url);
    // Second guard behind cloud_url_usable: libcurl itself speaks nothing
    // else, and follows no redirect.
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, request.headers.get());
    curl_easy_setopt(handle, CURLOPT_MIMEPOST, request.form.get());
    curl_easy_setopt(handle, CURLOPT_TCP_FASTOPEN, 0L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 20L);
    // Several threads make requests: libcurl must not use signals for its
    // time-outs (the main thread's timers use SIGUSR1).
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write_answer);
    if (profile.username[0] != '\0') {
        char credentials[520];
        snprintf(credentials, sizeof credentials - 1, "%s:%s", profile.username,
                 profile.password[0] != '\0' ? profile.password : "");
        curl_easy_setopt(handle, CURLOPT_USERPWD, credentials); // libcurl keeps its own copy
        explicit_bzero(credentials, sizeof credentials);
    }
    if (strncasecmp(profile.url, "https://", 8) == 0) {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(handle, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
        std::string ca_file = root_path("/usr/configs/kro_cacert.pem");
        curl_easy_setopt(handle, CURLOPT_CAINFO, ca_file.c_str());
    }
}

bool cloud_perform(CloudRequest &request, const char *formName, const CloudProfile &profile)
{
    curl_add_options(request, formName, profile);
    CURLcode code = curl_easy_perform(request.easy);
    if (code != CURLE_OK) {
        fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(code));
        fflush(stderr);
    }
    counters_upload(formName, code == CURLE_OK ? nullptr : curl_easy_strerror(code));
    return code == CURLE_OK;
}

int32_t cloud_upload_result(bool delivered)
{
    if (delivered)
        return REPORT_REPORTED;
    _g_cloud_reachable.store(0);
    return REPORT_REPORTING;
}

int32_t sendToCloud(const char *data, const char *formName)
{
    if (_g_cloud_reachable.load() == 0) {
        ZLOG(ZLOG_INFO, "Cloud reachability is failed. So ignore to send to cloud\n");
        return REPORT_REPORTING;
    }
    if (text_empty(data) || text_empty(formName)) {
        ZLOG(ZLOG_ERR, "data or formname is NULL\n");
        return REPORT_REPORTING;
    }
    CloudProfile profile;
    cloud_profile_refresh(&profile);
    if (!cloud_url_usable(profile))
        return REPORT_REPORTING;

    ZLOG(ZLOG_INFO, "====================== SendToCloud data ====================\n");
    ZLOG(ZLOG_INFO, "%s\n", data);
    ZLOG(ZLOG_INFO, "============================================================\n");
    ZLOG(ZLOG_INFO, "_g_URL = %s\n", profile.url);

    CloudRequest request;
    bool delivered = false;
    if (request.open(_g_upload_handle)) {
        if (!request.add_part(formName, "text/csv", data))
            ZLOG(ZLOG_ERR, "could not build the form of %s\n", formName);
        else
            delivered = cloud_perform(request, formName, profile);
    }
    return cloud_upload_result(delivered);
}
