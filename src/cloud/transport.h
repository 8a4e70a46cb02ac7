// Shared pieces of every cloud request: the private profile copy, the kept
// libcurl handles, the common options and the transfer itself.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>

// One request's copy of the cloud profile, taken under the profile lock.
// The credentials are wiped when the copy goes away.
struct CloudProfile {
    char url[256];
    char username[256];
    char password[256];
    CloudProfile();
    ~CloudProfile();
    CloudProfile(const CloudProfile &) = delete;
    CloudProfile &operator=(const CloudProfile &) = delete;
};

// Refreshes the profile (update_http_profile) and copies the result, both
// under the profile lock.
void cloud_profile_refresh(CloudProfile *profile);

struct CurlMimeDeleter {
    void operator()(curl_mime *form) const { curl_mime_free(form); }
};
struct CurlSlistDeleter {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using CurlMime = std::unique_ptr<curl_mime, CurlMimeDeleter>;
using CurlHeaders = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// The kept easy handles, one for each thread that makes requests: the main
// thread's uploads and the health check thread's probes. A kept handle keeps
// its connection and TLS session from one request to the next; libcurl
// reopens a connection that the server closed in between. Each is made on its
// thread's first request and is never released at exit: the daemon ends by a
// signal, and at the normal exit of a test or tool the TLS library has
// already been shut down by its own exit handler when static objects go.
extern CURL *_g_upload_handle;
extern CURL *_g_healthcheck_handle;

// Releases a kept handle and its connection; the next request on it opens
// a new handle and connection.
void cloud_forget_handle(CURL *&kept);

// One request on a kept handle and the two objects it owns. The form is
// built with libcurl's mime interface, the successor of the deprecated
// curl_formadd: the request body is the same multipart/form-data. Each part
// holds a copy of its contents (at most a few hundred KiB, and about 1 KiB
// for a single device's report) instead of pointing into the caller's
// buffer, so no buffer has to outlive its request.
//
// No option outlives its request: open() resets the handle before anything
// is set, and the destructor resets it again before the form and the header
// list go, so the handle never points at freed memory and never carries one
// request's headers or credentials into the next. A reset keeps the live
// connections and the TLS session cache.
struct CloudRequest {
    CURL *easy = nullptr; // the kept handle, borrowed
    CurlMime form;
    CurlHeaders headers;
    CloudRequest() = default;
    CloudRequest(const CloudRequest &) = delete;
    CloudRequest &operator=(const CloudRequest &) = delete;
    ~CloudRequest();
    // Makes the kept handle on first use, resets it and creates the empty
    // form; false when either fails.
    bool open(CURL *&kept);
    // Adds one form field (no file name): name, content type and a copy of
    // the contents. False when libcurl refuses (out of memory).
    bool add_part(const char *name, const char *contentType, const char *contents);
};

// Whether a profile's URL may be used for a transfer. Only http:// and
// https:// URLs are, the scheme compared without regard to case. False
// without a word for an empty URL; false with one log line for any other
// scheme (file://, ftp://, ...), before libcurl ever sees it.
bool cloud_url_usable(const CloudProfile &profile);

// Appends the common headers to the request's list and sets every option on
// its handle, from the given profile.
void curl_add_options(CloudRequest &request, const char *formName, const CloudProfile &profile);

// curl_add_options, then the transfer. On a libcurl error writes
// "curl_easy_perform() failed: %s\n" to standard error. True when libcurl
// completed the transfer, whatever the HTTP status.
bool cloud_perform(CloudRequest &request, const char *formName, const CloudProfile &profile);

// The one place where an attempted upload ends: REPORT_REPORTED when it was
// delivered; otherwise the reachability flag is cleared and REPORT_REPORTING
// returned.
int32_t cloud_upload_result(bool delivered);
