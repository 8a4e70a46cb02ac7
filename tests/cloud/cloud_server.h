// Test helpers of the cloud tests: the recording cloud server
// (cloud_server.py) as a child process and a test certificate authority made
// with openssl.
#pragma once

#include "fixture/fixture.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

struct RecordedPart {
    std::string disposition, name, content_type, data;
    bool has_filename = false;
};

struct RecordedRequest {
    std::string method, path, authorization; // authorization: decoded "user:password", or empty
    bool has_authorization = false;
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<RecordedPart> parts;
    // Value of the first header of that name (case-insensitive).
    std::optional<std::string> header(const std::string &name) const;
};

class CloudServer
{
  public:
    // mode: "ok", "error" (500), "close" (no answer) or "hang"; TLS when cert is given.
    explicit CloudServer(const std::string &mode = "ok", const std::string &cert = "",
                         const std::string &key = "");
    ~CloudServer();
    CloudServer(const CloudServer &) = delete;
    CloudServer &operator=(const CloudServer &) = delete;

    int port() const { return port_; }
    // "<scheme>://<host>:<port><path>"
    std::string url(const std::string &path = "/report", const std::string &scheme = "http",
                    const std::string &host = "127.0.0.1") const;
    std::vector<RecordedRequest> requests() const;
    bool wait_requests(size_t count, int timeout_ms) const;

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// The standard error line of a failed transfer.
inline std::string curl_failure_line(CURLcode code)
{
    return std::string("curl_easy_perform() failed: ") + curl_easy_strerror(code) + "\n";
}

// A self-signed certificate for 127.0.0.1 and localhost, which is also the
// trust anchor a client needs for it.
struct TestCert {
    explicit TestCert(const std::string &dir);
    std::string cert, key;
};

// A temporary gateway root, curl initialised, the reachability flag set, the
// gateway identity "A1B2C3" / "XS-010" / "SN 0001" and log lines on standard error.
class CloudTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    GatewayRoot root;
};
