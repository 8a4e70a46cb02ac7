// The single-part upload against real local HTTP and HTTPS servers.
#include "cloud/cloud.h"
#include "cloud/transport.h"
#include "common/owned_fd.h"
#include "fixture/cloud_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

const std::string kQuery = "?oui=A1B2C3&pc=XS-010&sn=SN%200001";

TEST_F(CloudTest, UploadCarriesProfileIdentityAndForm)
{
    CloudServer first, second;
    root.write_http_profile(first.url("/report"), "user", "s3cret");
    CaptureFd log(2);
    ASSERT_EQ(sendToCloud("IPAddress\n1.2.3.4,\"x\"", CLOUD_FORM_HOST), REPORT_REPORTED);
    EXPECT_EQ(log.count("====================== SendToCloud data ====================\n"
                        "zelmo: <6> sendToCloud:"),
              1u);
    uint32_t now = 0;
    ASSERT_EQ(get_epoch_time_in_localtime(&now), 0);
    ASSERT_EQ(first.requests().size(), 1u);
    RecordedRequest r = first.requests()[0];
    EXPECT_EQ(r.method + " " + r.path, "POST /report" + kQuery);
    EXPECT_FALSE(r.header("Expect"));
    EXPECT_NEAR(std::stod(r.header("timestamp").value_or("0")), now, 5);
    EXPECT_EQ(r.authorization, "user:s3cret");
    EXPECT_EQ(r.header("Content-Type").value_or("").rfind("multipart/form-data; boundary=", 0), 0u);
    ASSERT_EQ(r.parts.size(), 1u);
    const RecordedPart &p = r.parts[0];
    EXPECT_EQ(p.disposition + " " + p.name + " " + p.content_type,
              "form-data Device.Hosts.Host.{i}. text/csv");
    EXPECT_FALSE(p.has_filename);
    EXPECT_EQ(p.data, "IPAddress\n1.2.3.4,\"x\"");

    // The profile is read for every request: a new URL (already holding a
    // query, with a space) and new credentials apply to the next upload.
    root.write_http_profile(second.url("/in box?k=v"), "user", "");
    EXPECT_EQ(sendToCloud("a", CLOUD_FORM_UPNP), REPORT_REPORTED);
    root.write_http_profile(second.url("/x"), "", "password-without-user");
    EXPECT_EQ(sendToCloud("b", CLOUD_FORM_MDNS), REPORT_REPORTED);
    ASSERT_EQ(second.requests().size(), 2u);
    EXPECT_EQ(first.requests().size(), 1u);
    EXPECT_EQ(second.requests()[0].path, "/in%20box?k=v" + kQuery);
    EXPECT_EQ(second.requests()[0].authorization, "user:");
    EXPECT_FALSE(second.requests()[1].has_authorization);
    EXPECT_EQ(second.requests()[1].parts.at(0).name, CLOUD_FORM_MDNS);
    EXPECT_EQ(_g_cloud_reachable, 1);
}

TEST_F(CloudTest, UploadFaultsAndReachability)
{
    CloudServer failing("error"), good;
    root.write_http_profile(good.url());
    CaptureFd err(2);
    EXPECT_EQ(sendToCloud("", CLOUD_FORM_HOST), REPORT_REPORTING);
    EXPECT_EQ(sendToCloud("a", nullptr), REPORT_REPORTING);
    EXPECT_EQ(err.count("data or formname is NULL\n"), 2u);
    EXPECT_EQ(err.count("<3> sendToCloud:"), 2u);
    // An unreadable store keeps the last profile; an empty URL sends nothing.
    update_http_profile();
    unlink(root.cfg_path(CFG_OID_HTTP_PROFILE, make_instance(1, {1})).c_str());
    EXPECT_EQ(sendToCloud("a", CLOUD_FORM_HOST), REPORT_REPORTED);
    root.write_http_profile("", "user", "pw");
    EXPECT_EQ(sendToCloud("a", CLOUD_FORM_HOST), REPORT_REPORTING);
    EXPECT_EQ(good.requests().size(), 1u);
    EXPECT_EQ(_g_cloud_reachable, 1);

    root.write_http_profile(failing.url());
    EXPECT_EQ(sendToCloud("a", CLOUD_FORM_HOST), REPORT_REPORTED); // HTTP 500 still delivered
    EXPECT_EQ(failing.requests().size(), 1u);
    EXPECT_EQ(err.count("curl_easy_perform() failed"), 0u);
}

TEST_F(CloudTest, OverlongUrlIsCutOrRefused)
{
    CloudServer server;
    std::string base = server.url("/");
    std::string path(230 - base.size(), 'p');
    root.write_http_profile(base + path);
    update_http_profile();
    std::string full = base + path + "?oui=A1B2C3&pc=XS-010&sn=SN 0001";
    EXPECT_EQ(std::string(_g_URL), full.substr(0, 254)); // cut before the space, nothing to encode
    EXPECT_EQ(sendToCloud("a", CLOUD_FORM_HOST), REPORT_REPORTED);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].path, full.substr(base.size() - 1, 254 - base.size() + 1));

    // Fits before encoding, not after: refused without touching the flag.
    root.write_http_profile(base + std::string(80, ' '));
    CaptureFd err(2);
    EXPECT_EQ(sendToCloud("a", CLOUD_FORM_HOST), REPORT_REPORTING);
    EXPECT_EQ(err.count("once its spaces are encoded"), 1u);
    EXPECT_STREQ(_g_URL, "");
    EXPECT_EQ(_g_cloud_reachable, 1);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(CloudTest, LocalTimestamp)
{
    const char *saved = getenv("TZ");
    std::string saved_tz = saved ? saved : "";
    for (const auto &[tz, offset] : {std::pair{"UTC", 0}, {"XST-3", 3 * 3600}, {"YST+5", -5 * 3600}}) {
        setenv("TZ", tz, 1);
        tzset();
        uint32_t before = uint32_t(time(nullptr)), stamp = 0;
        ASSERT_EQ(get_epoch_time_in_localtime(&stamp), 0);
        EXPECT_GE(int64_t(stamp), int64_t(before) + offset) << tz;
        EXPECT_LE(int64_t(stamp), int64_t(time(nullptr)) + offset) << tz;
    }
    EXPECT_EQ(get_epoch_time_in_localtime(nullptr), -1);
    saved ? setenv("TZ", saved_tz.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST_F(CloudTest, HttpsVerifiesAgainstTheGatewayCa)
{
    TestCert ours(root.path() + "/usr/configs"), other(root.path() + "/tmp");
    write_file(root.file("/usr/configs/kro_cacert.pem"), read_file(ours.cert));
    CloudServer trusted("ok", ours.cert, ours.key), stranger("ok", other.cert, other.key);

    // The scheme in upper case still takes the gateway CA; the second upload
    // goes on the same kept connection.
    root.write_http_profile(trusted.url("/secure", "HTTPS"), "user", "pw");
    EXPECT_EQ(sendToCloud("row", CLOUD_FORM_HTTP), REPORT_REPORTED);
    EXPECT_EQ(sendToCloud("row", CLOUD_FORM_HTTP), REPORT_REPORTED);
    ASSERT_EQ(trusted.requests().size(), 2u);
    EXPECT_EQ(trusted.requests()[0].path, "/secure" + kQuery);
    EXPECT_EQ(trusted.requests()[0].parts.at(0).data, "row");
    EXPECT_EQ(trusted.requests()[1].client_port, trusted.requests()[0].client_port);

    root.write_http_profile(stranger.url("/secure", "https"));
    CaptureFd err(2);
    EXPECT_EQ(sendToCloud("row", CLOUD_FORM_HTTP), REPORT_REPORTING);
    EXPECT_EQ(err.count(curl_failure_line(CURLE_PEER_FAILED_VERIFICATION)), 1u);
    EXPECT_EQ(_g_cloud_reachable, 0);
    EXPECT_TRUE(stranger.requests().empty());
}

// The one test that waits for the real 20-second transfer limit.
TEST_F(CloudTest, HangingServerHitsTheTransferLimit)
{
    CloudServer hanging("hang");
    root.write_http_profile(hanging.url());
    CaptureFd err(2);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendToCloud("a", CLOUD_FORM_HOST), REPORT_REPORTING);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(err.count(curl_failure_line(CURLE_OPERATION_TIMEDOUT)), 1u);
    EXPECT_GE(waited, 19s);
    EXPECT_LT(waited, 30s);
    EXPECT_EQ(hanging.requests().size(), 1u);
    EXPECT_EQ(_g_cloud_reachable, 0);
}

TEST_F(CloudTest, OnlyHttpAndHttpsUrlsAreUsed)
{
    std::string secret = root.file("/secret.txt");
    write_file(secret, "root-only contents\n");
    // A loopback listener that must see no connection.
    OwnedFd listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener.fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.fd, 8), 0);
    ASSERT_EQ(getsockname(listener.fd, reinterpret_cast<sockaddr *>(&address), &length), 0);
    std::string ftp = "127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/up";

    CaptureFd out(1), err(2);
    for (const std::string &url : {"file://" + secret, "FILE://" + secret, "ftp://" + ftp, "FtP://" + ftp}) {
        SCOPED_TRACE(url);
        root.write_http_profile(url, "user", "pw");
        size_t before = err.count("cloud URL is neither http:// nor https://; no transfer\n");
        EXPECT_EQ(sendToCloud("a", CLOUD_FORM_HOST), REPORT_REPORTING);
        EXPECT_EQ(zelmo_check_cloud_health(), 0);
        EXPECT_EQ(err.count("cloud URL is neither http:// nor https://; no transfer\n"), before + 2);
        EXPECT_EQ(_g_cloud_reachable, 1);
    }
    EXPECT_EQ(out.text().find("root-only"), std::string::npos);
    EXPECT_EQ(err.text().find("root-only"), std::string::npos);
    EXPECT_EQ(err.count("SendToCloud data"), 0u);
    EXPECT_EQ(accept(listener.fd, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EAGAIN);

    // Any letter case of http is a URL like any other; a redirect is not followed.
    CloudServer server("redirect");
    root.write_http_profile(server.url("/r", "HtTp"));
    EXPECT_EQ(sendToCloud("a", CLOUD_FORM_HOST), REPORT_REPORTED);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(CloudTest, HostNameControlCharactersStayInTheirField)
{
    CloudServer server;
    root.write_http_profile(server.url());
    // No control character ends the row; the form has no quoting, so the
    // comma and the double quotes go out as they are (two more columns).
    LanHostEntryObject host = make_lanhost("aa:bb:cc:dd:ee:01", "192.168.1.23",
                                           "tv\r\n6.6.6.6\tforged\x1b[2J\x7f,\"a,b\"\n", "802.11");
    char form[CLOUD_SINGLE_FORM_SIZE] = {};
    int32_t status = STATUS_ACTIVE;
    formHostData(&host, form, 1, &status, 2, 0, "Reachable", "Associated", 0);
    ASSERT_EQ(sendToCloud(form, CLOUD_FORM_HOST), REPORT_REPORTED);
    ASSERT_EQ(server.requests().size(), 1u);
    std::string data = server.requests()[0].parts.at(0).data;
    ASSERT_EQ(std::count(data.begin(), data.end(), '\n'), 1) << data; // the header's line end only
    EXPECT_EQ(data.substr(data.find('\n') + 1),
              "192.168.1.23,DHCP,86400,aa:bb:cc:dd:ee:01,tv  6.6.6.6 forged [2J ,\"a,b\" "
              ",802.11,true,,2,0,Reachable,Associated,0");
}

// One kept connection carries the uploads; each request is what a fresh
// handle sends; a connection that the server dropped is reopened unseen.
TEST_F(CloudTest, UploadsKeepTheirConnection)
{
    CloudServer kept, dropping("drop");
    CaptureFd err(2);
    root.write_http_profile(kept.url(), "user", "pw");
    cloud_forget_handle(_g_upload_handle); // the first upload below opens a new connection
    for (const char *data : {"a", "a", "b"})
        EXPECT_EQ(sendToCloud(data, CLOUD_FORM_HOST), REPORT_REPORTED);
    root.write_http_profile(kept.url("/other"));
    EXPECT_EQ(sendToCloud("c", CLOUD_FORM_UPNP), REPORT_REPORTED);
    cloud_forget_handle(_g_upload_handle);
    root.write_http_profile(kept.url(), "user", "pw");
    EXPECT_EQ(sendToCloud("a", CLOUD_FORM_HOST), REPORT_REPORTED);

    std::vector<RecordedRequest> r = kept.requests();
    ASSERT_EQ(r.size(), 5u);
    // Headers without the time stamp, and the multipart boundary cut out.
    auto head = [](const RecordedRequest &q) {
        std::string text = q.method + " " + q.path + " " + q.authorization + "\n";
        for (const auto &[key, value] : q.headers)
            if (key != "timestamp")
                text += key + ": " + (key == "Content-Type" ? value.substr(0, 30) : value) + "\n";
        return text;
    };
    for (int i : {1, 2, 3})
        EXPECT_EQ(r[i].client_port, r[0].client_port) << i;
    EXPECT_NE(r[4].client_port, r[0].client_port);
    EXPECT_EQ(head(r[0]), head(r[4]));
    EXPECT_EQ(head(r[1]), head(r[4]));
    EXPECT_EQ(r[2].parts.at(0).data, "b");
    EXPECT_EQ(r[3].path, "/other" + kQuery);
    EXPECT_FALSE(r[3].has_authorization);
    EXPECT_EQ(r[3].parts.at(0).name, CLOUD_FORM_UPNP);

    root.write_http_profile(dropping.url());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(sendToCloud("d", CLOUD_FORM_HOST), REPORT_REPORTED);
    std::set<int> ports;
    for (const RecordedRequest &q : dropping.requests())
        ports.insert(q.client_port);
    EXPECT_EQ(dropping.requests().size(), 3u);
    EXPECT_EQ(ports.size(), 3u);
    EXPECT_EQ(err.count("curl_easy_perform() failed"), 0u);
    EXPECT_EQ(_g_cloud_reachable, 1);
}
