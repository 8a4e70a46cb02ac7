// The signal processors in process, against a fresh table, the recording
// cloud server, LAN host daemon and iptables.
#pragma once

#include "fixture/cloud_server.h"

#include "cloud/cloud.h"
#include "devtable/devtable.h"
#include "fingerprint/fingerprint.h"
#include "frame/frame.h"
#include "platform/lanhost.h"
#include "timers/timers.h"
#include "tracking/tracking.h"

#include <cstdlib>
#include <memory>

using Processor = int (*)(const uint8_t *, uint32_t);

// In a heap block of exactly its length: AddressSanitizer sees a read past it.
inline int deliver(Processor processor, const Bytes &payload)
{
    std::unique_ptr<uint8_t[]> block(new uint8_t[payload.size()]);
    std::copy(payload.begin(), payload.end(), block.get());
    return processor(block.get(), uint32_t(payload.size()));
}

// size zero bytes with the texts (unterminated) at their offsets.
inline Bytes texts(size_t size, std::initializer_list<std::pair<size_t, std::string>> fields)
{
    Bytes b(size, 0);
    for (const auto &[offset, text] : fields)
        std::copy(text.begin(), text.end(), b.begin() + offset);
    return b;
}
inline Bytes wdp(uint8_t ssid, uint8_t status, uint8_t code, const std::string &mac)
{
    Bytes b = texts(308, {{276, mac}});
    b[273] = ssid, b[274] = status, b[275] = code;
    return b;
}
inline Bytes lanhost_update(const LanHostEntryObject &e, uint32_t action, uint32_t sync = 0)
{
    return to_bytes(make_lanhost_update(e, action, sync));
}
inline Bytes opt55(const std::string &mac, std::initializer_list<uint8_t> codes)
{
    Bytes b;
    for (int i = 0; i < 6; ++i)
        b.push_back(uint8_t(std::stoul(mac.substr(i * 3, 2), nullptr, 16)));
    b.insert(b.end(), codes);
    return b;
}

class SignalsTest : public CloudTest
{
  protected:
    PrivateBus bus;
    RecordingLanHost lanhost;
    CloudServer cloud;
    ToolStandIns tools;
    std::string saved_path = getenv("PATH");
    size_t seen_requests = 0;

    void SetUp() override
    {
        CloudTest::SetUp();
        tools.add("iptables");
        setenv("PATH", (tools.dir() + ":" + saved_path).c_str(), 1);
        root.write_http_profile(cloud.url());
        ASSERT_EQ(devtable_alloc(), 0);
        field_set(_g_file, root.db_path().c_str());
        _g_isRoot = 1;
        _g_add_timer = 3600; // no capture step during a test
        // The client's connection to an earlier test's bus may swallow a call.
        ASSERT_TRUE(wait_until(
            [&] { return notifyDeviceCategoryInfo("up", 2) == 0 && lanhost.wait_for("", 1, 200ms); },
            5000ms));
    }
    void TearDown() override
    {
        zelmo_stop_cloud_session_timer();
        setenv("PATH", saved_path.c_str(), 1);
    }

    // What one step sent: "part name|rows" per cloud part (header line left
    // out) and "member MAC" per LAN host notification.
    struct Sent {
        std::vector<std::string> parts, notes;
        bool operator==(const Sent &o) const { return parts == o.parts && notes == o.notes; }
        friend void PrintTo(const Sent &s, std::ostream *os)
        {
            *os << ::testing::PrintToString(s.parts) << " " << ::testing::PrintToString(s.notes);
        }
    };
    template <typename Step> Sent sent_by(Step step)
    {
        lanhost.clear();
        step();
        notifyDeviceCategoryInfo("end", 3); // same connection: arrives after the step's notifications
        EXPECT_TRUE(lanhost.wait_for("notifyDeviceCategoryInfo", 1, 5000ms));
        Sent s;
        std::vector<RecordedRequest> requests = cloud.requests();
        for (; seen_requests < requests.size(); ++seen_requests)
            for (const RecordedPart &p : requests[seen_requests].parts)
                s.parts.push_back(p.name + "|" + p.data.substr(p.data.find('\n') + 1));
        for (const BusMessage &m : lanhost.calls())
            if (m.member != "notifyDeviceCategoryInfo")
                s.notes.push_back(m.member + " " +
                                  reinterpret_cast<const char *>(m.bytes().data() + 4 + 20 + 102));
        return s;
    }
    // Nothing uploaded, one notifyDeviceStatusChange for mac.
    static Sent status_change(const std::string &mac)
    {
        return Sent{{}, {"notifyDeviceStatusChange " + mac}};
    }
    Sent sent_by(Processor processor, const Bytes &payload)
    {
        return sent_by([&] { deliver(processor, payload); });
    }

    // The record of mac in the database file.
    std::optional<DeviceRecord> record(const std::string &mac) const
    {
        for (const DeviceRecord &r : parse_db(root.read_db()).records)
            if (field_equal_nocase(r.lanHostEntry.MACAddress, 32, mac.c_str(), mac.size() + 1))
                return r;
        return std::nullopt;
    }
    // The same as one line: Status HostState DeviceState Port InterfaceType|
    // L3Status|InterfaceStatus|HostName|FriendlyName|GuestDevice|Option55.
    std::string stored(const std::string &mac) const
    {
        std::optional<DeviceRecord> r = record(mac);
        if (!r)
            return "absent";
        return std::to_string(r->Status.get()) + " " + std::to_string(r->HostState.get()) + " " +
               std::to_string(r->DeviceState.get()) + " " + std::to_string(r->Port.get()) + " " +
               r->lanHostEntry.InterfaceType + "|" + r->L3Status + "|" + r->InterfaceStatus + "|" +
               r->lanHostEntry.HostName + "|" + r->lanHostEntry.FriendlyName + "|" +
               r->lanHostEntry.GuestDevice + "|" + r->Option55;
    }
};
