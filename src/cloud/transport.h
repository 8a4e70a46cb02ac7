// Shared pieces of every cloud request: the private profile copy, the libcurl
// handles as owning types, the common options and the transfer itself.
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

struct CurlEasyDeleter {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
struct CurlMimeDeleter {
    void operator()(curl_mime *form) const { curl_mime_free(form); }
};
struct CurlSlistDeleter {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlMime = std::unique_ptr<curl_mime, CurlMimeDeleter>;
using CurlHeaders = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// The three owned objects of one request. Members are released in reverse
// order: the easy handle first, then the form and the header list it used.
// The form is built with libcurl's mime interface, the successor of the
// deprecated curl_formadd: the request body is the same multipart/form-data.
// Each part holds a copy of its contents (at most a few hundred KiB, and
// about 1 KiB for a single device's report) instead of pointing into the
// caller's buffer, so no buffer has to outlive its request.
struct CloudRequest {
    CurlHeaders headers;
    CurlMime form;
    CurlEasy easy;
    // Creates the easy handle and its empty form; false when either fails.
    bool open();
    // Adds one form field (no file name): name, content type and a copy of
    // the contents. False when libcurl refuses (out of memory).
    bool add_part(const char *name, const char *contentType, const char *contents);
};

// Appends the common headers to the request's list and sets the common
// options on its handle, from the given profile.
void curl_add_options(CloudRequest &request, const char *formName, const CloudProfile &profile);

// curl_add_options, then the transfer. On a libcurl error writes
// "curl_easy_perform() failed: %s\n" to standard error. True when libcurl
// completed the transfer, whatever the HTTP status.
bool cloud_perform(CloudRequest &request, const char *formName, const CloudProfile &profile);
