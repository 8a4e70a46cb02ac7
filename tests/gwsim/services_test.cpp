// The simulator's long-running services, driven from outside: the LAN host
// daemon stand-in on a private bus, the capture service over TCP on
// 127.0.0.1, and the cloud endpoint over plain HTTP.
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
    // Single-device notifications and their fields are checked through the demo.
    DeviceRecord phone = make_record("aa:bb:cc:00:00:01", "192.168.1.21", "phone", "802.11");
    DeviceRecord laptop = make_record("aa:bb:cc:00:00:02", "192.168.1.22", "laptop", "Ethernet");
    laptop.Status.set(STATUS_REMOVED);
    ASSERT_TRUE(notify(client, "notifySyncAllDevices", notification({phone, laptop}, 4 + 3 * 4932)).ok);
    ASSERT_TRUE(notify(client, "notifyDeviceStatusChange", Bytes{1, 0}).ok);

    ASSERT_TRUE(lanhost.wait_for_output("notifyDeviceStatusChange", 5s)) << lanhost.output();
    std::string out = lanhost.output();
    EXPECT_NE(out.find("notifySyncAllDevices len=14800 count=2 | aa:bb:cc:00:00:01 Active"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("| aa:bb:cc:00:00:02 Removed host=Reported"), std::string::npos) << out;
    EXPECT_NE(out.find("notifyDeviceStatusChange malformed: 2 bytes"), std::string::npos) << out;

    // The sync request: one setLanhostEntry with sync 1 per host, its own first, then the store's.
    ASSERT_TRUE(client.call("arvex.lanhostd", "/arvex/lanhostd", "arvex.lanhostd", "UpdateZelmoDevice").ok);
    std::vector<std::string> macs;
    for (auto wait = 5000ms; auto m = client.wait_signal("arvex.lanhostd", "setLanhostEntry", wait);
         wait = 300ms) {
        ASSERT_EQ(m->bytes().size(), sizeof(DeviceUpdate));
        const auto *u = reinterpret_cast<const DeviceUpdate *>(m->bytes().data());
        EXPECT_EQ(u->sync.get(), 1u);
        macs.push_back(u->description.host.MACAddress);
    }
    EXPECT_EQ(macs, (std::vector<std::string>{"aa:bb:cc:00:00:10", "aa:bb:cc:00:00:20"}));

    EXPECT_EQ(lanhost.stop(), 0);
    EXPECT_NE(read_file(log).find("UpdateZelmoDevice: sent setLanhostEntry sync=1 for 2 host(s)"),
              std::string::npos);
}

// Sends the request text from that source address and returns the whole answer.
std::string http_exchange(const char *source, int port, const std::string &request)
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
        return "<no connection>";
    }
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
    // Header, type and action are checked end to end by the demo, whose plug's
    // user agent reaches the table through this service.
    auto sent_user_agent = [&] {
        Bytes b = daemon_socket.receive();
        DeviceUpdateMessage m{};
        memcpy(&m, b.data(), std::min(b.size(), sizeof m));
        EXPECT_EQ(b.size(), sizeof m);
        EXPECT_STREQ(m.payload.MACAddress, "02:11:22:33:44:55");
        return std::string(reinterpret_cast<const HTTPData *>(m.payload.description.raw)->UserAgent);
    };
    EXPECT_EQ(sent_user_agent(), "Plug/1.0 \"beta\"");

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
    EXPECT_GT(capture.count_output("without User-Agent; nothing sent"), 0u) << capture.output();

    http_exchange("127.0.0.1", port, "GET / HTTP/1.1\r\nUser-Agent: Second\r\n\r\n");
    EXPECT_EQ(sent_user_agent(), "Second");
    EXPECT_EQ(capture.stop(), 0);
}

size_t discard(char *, size_t size, size_t n, void *)
{
    return size * n;
}

// Over HTTPS, with the daemon's uploads and credentials, the endpoint and
// "cloud list" are checked by the demo; here the plain HTTP side.
TEST(GwsimCloud, StoresReportsOverPlainHttp)
{
    TempDir dir;
    DaemonProcess cloud({"cloud", "serve", "--dir", dir.path(), "--http", "0", "--https", "0"}, {},
                        gwsim_path());
    ASSERT_TRUE(wait_until([&] { return file_exists(dir.path() + "/ports"); }, 20s)) << cloud.output();
    std::string ports = read_file(dir.path() + "/ports");
    std::string url =
        "http://127.0.0.1:" + std::to_string(std::stoi(ports.substr(ports.find("http=") + 5))) + "/up";

    CURL *curl = curl_easy_init();
    curl_mime *mime = curl_mime_init(curl);
    for (const char *name : {"Device.UPnP.Description.{i}.", "Device.MDNS.Description.{i}."}) {
        curl_mimepart *part = curl_mime_addpart(mime);
        curl_mime_name(part, name);
        curl_mime_data(part, name[7] == 'U' ? "h\nu1\n" : "h\nm1\nm2\n", CURL_ZERO_TERMINATED);
        curl_mime_type(part, "text/csv");
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    EXPECT_EQ(curl_easy_perform(curl), CURLE_OK) << url;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    EXPECT_EQ(status, 200);
    curl_mime_free(mime);
    curl_easy_cleanup(curl);

    EXPECT_EQ(list_dir(dir.path() + "/reports"), std::vector<std::string>{"000001"});
    std::string report = dir.path() + "/reports/000001";
    std::string meta = read_file(report + "/meta.txt");
    EXPECT_NE(meta.find("scheme: http\n"), std::string::npos) << meta;
    EXPECT_NE(meta.find("path: /up\n"), std::string::npos) << meta;
    EXPECT_EQ(meta.find("user:"), std::string::npos) << meta;
    EXPECT_EQ(read_file(report + "/part-2.name"), "Device.MDNS.Description.{i}.");
    EXPECT_EQ(read_file(report + "/part-2.type"), "text/csv");
    EXPECT_EQ(read_file(report + "/part-2.body"), "h\nm1\nm2\n");
    EXPECT_EQ(read_file(report + "/part-1.body"), "h\nu1\n");
    EXPECT_EQ(cloud.stop(), 0) << cloud.output();
}

} // namespace
