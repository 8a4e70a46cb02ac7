// The simulator's long-running services, driven from outside: the LAN host
// daemon stand-in on a private bus, the capture service over TCP on
// 127.0.0.1, and the cloud endpoint over HTTP and HTTPS.
#include "fixture/fixture.h"
#include "tool_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// A DeviceNotification: u32 count, the records, zero-filled to size.
Bytes notification(const std::vector<DeviceRecord> &records, size_t size)
{
    Bytes b(size, 0);
    store_le32(b.data(), uint32_t(records.size()));
    for (size_t i = 0; i < records.size(); ++i)
        memcpy(b.data() + 4 + i * sizeof(DeviceRecord), &records[i], sizeof(DeviceRecord));
    return b;
}

MethodReply notify(BusClient &client, const std::string &member, const Bytes &payload)
{
    return client.call("arvex.lanhostd", "/arvex/lanhostd", "arvex.lanhostd", member,
                       [&](DBusMessage *m) { dbus_append_byte_array(m, payload.data(), payload.size()); });
}

TEST(GwsimLanhost, PrintsNotificationsAndAnswersTheSyncRequest)
{
    GatewayRoot root;
    PrivateBus bus;
    root.write_lanhost(make_lanhost("aa:bb:cc:00:00:20", "192.168.1.20", "stored", "Ethernet", 4));
    TempDir dir;
    std::string log = dir.path() + "/lanhost.log";
    DaemonProcess lanhost(
        {"lanhost", "--host", "aa:bb:cc:00:00:10,192.168.1.10,tablet,802.11", "--from-store", "--log", log},
        {}, gwsim_path());
    ASSERT_TRUE(lanhost.wait_for_output("owning arvex.lanhostd", 5s)) << lanhost.output();

    BusClient client;
    ASSERT_TRUE(client.listen("type='signal',interface='arvex.lanhostd'"));
    DeviceRecord phone = make_record("aa:bb:cc:00:00:01", "192.168.1.21", "phone", "802.11");
    phone.fingerprintData.http = HTTPData{};
    field_set(phone.fingerprintData.http.UserAgent, "Mozilla/5.0");
    phone.FingerprintType.set(FP_HTTP);
    phone.DeviceState.set(REPORT_REPORTING);
    ASSERT_TRUE(notify(client, "notifyDeviceAdded", notification({phone}, 4941)).ok);
    DeviceRecord laptop = make_record("aa:bb:cc:00:00:02", "192.168.1.22", "laptop", "Ethernet");
    laptop.Status.set(STATUS_REMOVED);
    ASSERT_TRUE(notify(client, "notifySyncAllDevices", notification({phone, laptop}, 4 + 3 * 4932)).ok);
    ASSERT_TRUE(notify(client, "notifyDeviceStatusChange", Bytes{1, 0}).ok);

    ASSERT_TRUE(lanhost.wait_for_output("notifyDeviceStatusChange", 5s)) << lanhost.output();
    std::string out = lanhost.output();
    EXPECT_NE(out.find("notifyDeviceAdded len=4941 count=1 | aa:bb:cc:00:00:01 Active host=Reported "
                       "desc=Reporting type=HTTP"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("data=http{vendor=,ua=Mozilla/5.0}"), std::string::npos) << out;
    EXPECT_NE(out.find("notifySyncAllDevices len=14800 count=2 | aa:bb:cc:00:00:01 Active"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("| aa:bb:cc:00:00:02 Removed host=Reported"), std::string::npos) << out;
    EXPECT_NE(out.find("notifyDeviceStatusChange malformed: 2 bytes"), std::string::npos) << out;

    // The sync request: one setLanhostEntry with sync 1 per host, its own first, then the store's.
    ASSERT_TRUE(client.call("arvex.lanhostd", "/arvex/lanhostd", "arvex.lanhostd", "UpdateZelmoDevice").ok);
    std::vector<std::string> macs;
    for (int i = 0; i < 2; ++i) {
        auto m = client.wait_signal("arvex.lanhostd", "setLanhostEntry", 5s);
        ASSERT_TRUE(m.has_value());
        ASSERT_EQ(m->bytes().size(), sizeof(DeviceUpdate));
        DeviceUpdate u;
        memcpy(&u, m->bytes().data(), sizeof u);
        EXPECT_EQ(u.objtype.get(), 1u);
        EXPECT_EQ(u.action.get(), 1u);
        EXPECT_EQ(u.sync.get(), 1u);
        macs.push_back(u.description.host.MACAddress);
    }
    EXPECT_EQ(macs, (std::vector<std::string>{"aa:bb:cc:00:00:10", "aa:bb:cc:00:00:20"}));
    EXPECT_FALSE(client.wait_signal("arvex.lanhostd", "setLanhostEntry", 300ms).has_value());

    EXPECT_EQ(lanhost.stop(), 0);
    std::string logged = read_file(log);
    EXPECT_NE(logged.find("UpdateZelmoDevice: sent setLanhostEntry sync=1 for 2 host(s)"), std::string::npos);
    EXPECT_NE(logged.find("stopped after 4 call(s)"), std::string::npos) << logged;
}

int connect_from(const char *source, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, source, &a.sin_addr);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends the request text and returns the whole answer.
std::string http_exchange(const char *source, int port, const std::string &request)
{
    int fd = connect_from(source, port);
    if (fd < 0)
        return "<no connection>";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buf[512];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
        answer.append(buf, size_t(n));
    close(fd);
    return answer;
}

TEST(GwsimCapture, SendsTheUserAgentOfEachDivertedRequest)
{
    GatewayRoot root;
    MessageSocket daemon_socket;
    DaemonProcess capture(
        {"capture", "--port", "0", "--bind", "127.0.0.1", "--neigh", "127.0.0.1=02:11:22:33:44:55"}, {},
        gwsim_path());
    ASSERT_TRUE(capture.wait_for_output("listening on 127.0.0.1:", 5s)) << capture.output();
    std::string out = capture.output();
    int port = std::stoi(out.substr(out.find("127.0.0.1:") + 10));

    std::string answer = http_exchange("127.0.0.1", port,
                                       "GET /index.html HTTP/1.1\r\nHost: 198.51.100.80\r\n"
                                       "user-agent: Plug/1.0 \"beta\"\r\nAccept: */*\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("captured by the gateway"), std::string::npos);
    Bytes b = daemon_socket.receive();
    ASSERT_EQ(b.size(), sizeof(DeviceUpdateMessage));
    DeviceUpdateMessage m;
    memcpy(&m, b.data(), sizeof m);
    EXPECT_EQ(m.header.type.get(), CSMSG_TYPE_DEVICE_UPDATE);
    EXPECT_EQ(m.header.payloadLength.get(), 2904u);
    EXPECT_EQ(m.payload.objtype.get(), uint32_t(FP_HTTP));
    EXPECT_EQ(m.payload.action.get(), uint32_t(STATUS_ACTIVE));
    EXPECT_STREQ(m.payload.MACAddress, "02:11:22:33:44:55");
    HTTPData http;
    memcpy(&http, m.payload.description.raw, sizeof http);
    EXPECT_STREQ(http.UserAgent, "Plug/1.0 \"beta\"");
    EXPECT_STREQ(http.VendorID, "");

    // No User-Agent, or a source address without a known MAC: answered, nothing sent.
    answer = http_exchange("127.0.0.1", port, "GET / HTTP/1.0\r\nHost: x\r\n\r\n");
    EXPECT_NE(answer.find("200 OK"), std::string::npos);
    answer = http_exchange("127.0.0.2", port, "GET / HTTP/1.0\r\nUser-Agent: Stranger\r\n\r\n");
    EXPECT_NE(answer.find("200 OK"), std::string::npos);
    // A request head that never ends is cut at its limit and the service goes on.
    answer = http_exchange("127.0.0.1", port, "GET / HTTP/1.0\r\nX-Junk: " + std::string(20000, 'j'));
    EXPECT_NE(answer.find("200 OK"), std::string::npos);
    EXPECT_TRUE(daemon_socket.receive(500ms).empty());
    ASSERT_TRUE(capture.wait_for_output("no MAC address known", 2s));
    out = capture.output();
    EXPECT_NE(
        out.find("127.0.0.1 02:11:22:33:44:55 User-Agent \"Plug/1.0 \"beta\"\" -> HTTP fingerprint sent"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("without User-Agent; nothing sent"), std::string::npos) << out;

    answer = http_exchange("127.0.0.1", port, "GET / HTTP/1.1\r\nUser-Agent: Second\r\n\r\n");
    b = daemon_socket.receive();
    ASSERT_EQ(b.size(), sizeof(DeviceUpdateMessage));
    memcpy(&m, b.data(), sizeof m);
    memcpy(&http, m.payload.description.raw, sizeof http);
    EXPECT_STREQ(http.UserAgent, "Second");
    EXPECT_EQ(capture.stop(), 0);
}

size_t discard(char *, size_t size, size_t n, void *)
{
    return size * n;
}

// A multipart POST like the daemon's uploads; the curl result and HTTP status.
std::pair<CURLcode, long> post(const std::string &url,
                               const std::vector<std::pair<std::string, std::string>> &parts,
                               const std::string &ca, const std::string &userpwd)
{
    CURL *curl = curl_easy_init();
    curl_mime *mime = curl_mime_init(curl);
    for (const auto &[name, data] : parts) {
        curl_mimepart *part = curl_mime_addpart(mime);
        curl_mime_name(part, name.c_str());
        curl_mime_data(part, data.c_str(), data.size());
        curl_mime_type(part, "text/csv");
    }
    curl_slist *headers = curl_slist_append(nullptr, "Expect:");
    headers = curl_slist_append(headers, "timestamp: 1700000000");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    if (!ca.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    if (!userpwd.empty())
        curl_easy_setopt(curl, CURLOPT_USERPWD, userpwd.c_str());
    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_mime_free(mime);
    curl_easy_cleanup(curl);
    return {rc, status};
}

TEST(GwsimCloud, StoresEveryReportOverHttpAndHttps)
{
    GatewayRoot root;
    TempDir dir;
    DaemonProcess cloud({"cloud", "serve", "--dir", dir.path(), "--http", "0", "--https", "0"}, {},
                        gwsim_path());
    ASSERT_TRUE(wait_until([&] { return file_exists(dir.path() + "/ports"); }, 20s)) << cloud.output();
    std::string ports = read_file(dir.path() + "/ports");
    int http_port = std::stoi(ports.substr(ports.find("http=") + 5));
    int https_port = std::stoi(ports.substr(ports.find("https=") + 6));
    std::string ca = root.file("/usr/configs/kro_cacert.pem");
    ASSERT_NE(read_file(ca).find("BEGIN CERTIFICATE"), std::string::npos);

    std::string https = "https://127.0.0.1:" + std::to_string(https_port) + "/up?oui=A1&pc=X%201&sn=S";
    auto [rc, status] =
        post(https, {{"Device.Hosts.Host.{i}.", "IPAddress,MACAddress\n1.2.3.4,aa:bb"}}, ca, "demo:pw");
    ASSERT_EQ(rc, CURLE_OK) << curl_easy_strerror(rc);
    EXPECT_EQ(status, 200);
    std::string report = dir.path() + "/reports/000001";
    std::string meta = read_file(report + "/meta.txt");
    EXPECT_NE(meta.find("scheme: https\n"), std::string::npos) << meta;
    EXPECT_NE(meta.find("path: /up\n"), std::string::npos) << meta;
    EXPECT_NE(meta.find("query: oui=A1&pc=X%201&sn=S\n"), std::string::npos) << meta;
    EXPECT_NE(meta.find("user: demo\npassword: pw\n"), std::string::npos) << meta;
    EXPECT_NE(meta.find("timestamp: 1700000000\n"), std::string::npos) << meta;
    EXPECT_EQ(read_file(report + "/part-1.name"), "Device.Hosts.Host.{i}.");
    EXPECT_EQ(read_file(report + "/part-1.type"), "text/csv");
    EXPECT_EQ(read_file(report + "/part-1.body"), "IPAddress,MACAddress\n1.2.3.4,aa:bb");

    // A client that trusts only the public CAs refuses the endpoint: the TLS is real.
    if (file_exists("/etc/ssl/certs/ca-certificates.crt")) {
        EXPECT_EQ(post(https, {{"x", "y"}}, "/etc/ssl/certs/ca-certificates.crt", "").first,
                  CURLE_PEER_FAILED_VERIFICATION);
    }

    std::string http = "http://127.0.0.1:" + std::to_string(http_port) + "/up";
    ASSERT_EQ(post(http,
                   {{"Device.UPnP.Description.{i}.", "h\nu1\n"},
                    {"Device.MDNS.Description.{i}.", "h\nm1\nm2\n"},
                    {"Device.FingerPrint.Description.{i}.", "h\nf1\n"}},
                   "", "")
                  .first,
              CURLE_OK);
    report = dir.path() + "/reports/000002";
    EXPECT_NE(read_file(report + "/meta.txt").find("scheme: http\n"), std::string::npos);
    EXPECT_EQ(read_file(report + "/meta.txt").find("user:"), std::string::npos);
    EXPECT_EQ(read_file(report + "/part-3.name"), "Device.FingerPrint.Description.{i}.");
    EXPECT_EQ(read_file(report + "/part-2.body"), "h\nm1\nm2\n");
    EXPECT_EQ(list_dir(dir.path() + "/reports"), (std::vector<std::string>{"000001", "000002"}));

    ToolResult r = run_gwsim({"cloud", "list", "--dir", dir.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("#1 https /up?oui=A1&pc=X%201&sn=S user=demo Device.Hosts.Host.{i}.[1 rows]"),
              std::string::npos)
        << r.out;
    r = run_gwsim({"cloud", "list", "--dir", dir.path(), "--since", "1", "--rows"});
    EXPECT_EQ(r.out.find("#1 "), std::string::npos) << r.out;
    EXPECT_NE(
        r.out.find("#2 http /up? Device.UPnP.Description.{i}.[1 rows] Device.MDNS.Description.{i}.[2 rows]"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("    [Device.MDNS.Description.{i}.]\n    m1\n    m2\n"), std::string::npos) << r.out;
    EXPECT_EQ(cloud.stop(), 0) << cloud.output();
}

} // namespace
