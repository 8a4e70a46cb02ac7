// Upload counters and the status snapshot. Nothing here runs on the event
// path except status_publish, which copies a few hundred bytes under a lock
// the bus thread holds only for the same copy.
#include "diag/counters.h"
#include "cloud/cloud.h"
#include "common/bytes.h"
#include "devtable/devtable.h"
#include "diag/json_text.h"
#include "frame/frame.h"
#include "platform/ombus.h"
#include "timers/device_timers.h"
#include "timers/timers.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const int64_t g_started_ms = timer_now_ms();

std::atomic<uint64_t> g_uploads_done{0};
std::atomic<uint64_t> g_uploads_failed{0};

struct LastUpload {
    bool any = false;
    int64_t time = 0; // seconds since the epoch
    char form[64] = {};
    char result[96] = {};
};
std::mutex g_last_upload_lock;
LastUpload g_last_upload;

// Status values 0..2 and report states 0..4; anything else counts as "other".
constexpr int kStatusSlots = 4;
constexpr int kReportSlots = 6;

struct Snapshot {
    bool published = false;
    int32_t is_root = 0;
    char db_path[128] = {};
    uint32_t devices = 0;
    uint32_t by_status[kStatusSlots] = {};
    uint32_t by_host_state[kReportSlots] = {};
    bool session_open = false;
    int64_t session_due_ms = -1;
    uint32_t pending_timers = 0;
    uint64_t saves_made = 0, saves_skipped = 0, bytes_written = 0;
    int redirects = 0;
    TimerRedirectDue redirect[MAX_DEVICES];
};
std::mutex g_snapshot_lock;
Snapshot g_snapshot;
Snapshot g_work; // main thread only: filled, then copied under the lock

int64_t seconds_left(int64_t due_ms, int64_t now_ms)
{
    return due_ms < 0 || due_ms <= now_ms ? 0 : (due_ms - now_ms + 999) / 1000;
}

std::string rfc3339(int64_t seconds)
{
    time_t t = time_t(seconds);
    tm utc{};
    char text[40] = "";
    if (gmtime_r(&t, &utc) != nullptr)
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace

void counters_upload(const char *form, const char *error)
{
    if (form != nullptr && strcmp(form, CLOUD_FORM_HEALTHCHECK) == 0)
        return;
    (error == nullptr ? g_uploads_done : g_uploads_failed).fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> hold(g_last_upload_lock);
    g_last_upload.any = true;
    g_last_upload.time = int64_t(time(nullptr));
    field_set(g_last_upload.form, form != nullptr ? form : "");
    snprintf(g_last_upload.result, sizeof g_last_upload.result, "%s%s",
             error == nullptr ? "reported" : "failed: ", error == nullptr ? "" : error);
}

void status_publish()
{
    Snapshot &s = g_work;
    s.published = true;
    s.is_root = _g_isRoot;
    memcpy(s.db_path, _g_file, sizeof s.db_path);
    memset(s.by_status, 0, sizeof s.by_status);
    memset(s.by_host_state, 0, sizeof s.by_host_state);
    int count = _g_devices == nullptr ? 0 : _g_device_count < 0 ? 0 : _g_device_count;
    count = count > MAX_DEVICES ? MAX_DEVICES : count;
    s.devices = uint32_t(count);
    for (int i = 0; i < count; ++i) {
        uint32_t st = uint32_t(_g_devices[i].Status.get());
        uint32_t hs = uint32_t(_g_devices[i].HostState.get());
        ++s.by_status[st < kStatusSlots - 1 ? st : kStatusSlots - 1];
        ++s.by_host_state[hs < kReportSlots - 1 ? hs : kReportSlots - 1];
    }
    uint32_t session = _g_session_timer.load();
    s.session_open = _g_session_timeout.load() != 0 && session != 0 && timer_slot_live(session);
    s.session_due_ms = s.session_open ? timer_slot_due_ms(session) : -1;
    s.pending_timers = timer_slots_in_use();
    s.saves_made = _g_db_saves_made;
    s.saves_skipped = _g_db_saves_skipped;
    s.bytes_written = _g_db_bytes_written;
    s.redirects = timer_slot_redirects(s.redirect, MAX_DEVICES);

    std::lock_guard<std::mutex> hold(g_snapshot_lock);
    g_snapshot.published = s.published;
    g_snapshot.is_root = s.is_root;
    memcpy(g_snapshot.db_path, s.db_path, sizeof s.db_path);
    g_snapshot.devices = s.devices;
    memcpy(g_snapshot.by_status, s.by_status, sizeof s.by_status);
    memcpy(g_snapshot.by_host_state, s.by_host_state, sizeof s.by_host_state);
    g_snapshot.session_open = s.session_open;
    g_snapshot.session_due_ms = s.session_due_ms;
    g_snapshot.pending_timers = s.pending_timers;
    g_snapshot.saves_made = s.saves_made;
    g_snapshot.saves_skipped = s.saves_skipped;
    g_snapshot.bytes_written = s.bytes_written;
    g_snapshot.redirects = s.redirects;
    memcpy(g_snapshot.redirect, s.redirect, sizeof s.redirect[0] * size_t(s.redirects));
}

std::string status_json()
{
    try {
        // Copies taken under the locks; the JSON is built outside them.
        static thread_local Snapshot s;
        {
            std::lock_guard<std::mutex> hold(g_snapshot_lock);
            s = g_snapshot;
        }
        LastUpload last;
        {
            std::lock_guard<std::mutex> hold(g_last_upload_lock);
            last = g_last_upload;
        }
        const int64_t now = timer_now_ms();
        Json j = Json::object();
        j["pid"] = getpid();
        j["mode"] = s.is_root ? "root" : "extender";
        j["uptime_seconds"] = (now - g_started_ms) / 1000;
        j["ready"] = s.published;

        std::string path(s.db_path, field_len(s.db_path, sizeof s.db_path));
        struct stat st {
        };
        j["database"] = {{"path", json_text(path)},
                         {"size", stat(path.c_str(), &st) == 0 ? Json(int64_t(st.st_size)) : Json(nullptr)}};

        Json by_status = Json::object();
        for (int v = 0; v < kStatusSlots - 1; ++v)
            by_status[status_name(v)] = s.by_status[v];
        by_status["other"] = s.by_status[kStatusSlots - 1];
        Json by_host_state = Json::object();
        for (int v = 0; v < kReportSlots - 1; ++v)
            by_host_state[report_state_name(v)] = s.by_host_state[v];
        by_host_state["other"] = s.by_host_state[kReportSlots - 1];
        j["devices"] = {{"total", s.devices}, {"by_status", by_status}, {"by_host_state", by_host_state}};

        j["cloud_reachable"] = _g_cloud_reachable.load() != 0;
        j["session"] = {{"open", s.session_open},
                        {"seconds_left", s.session_open ? seconds_left(s.session_due_ms, now) : 0}};
        j["last_upload"] = last.any ? Json{{"time", rfc3339(last.time)},
                                           {"form", json_text(last.form)},
                                           {"result", json_text(last.result)}}
                                    : Json(nullptr);
        j["uploads"] = {{"done", g_uploads_done.load(std::memory_order_relaxed)},
                        {"failed", g_uploads_failed.load(std::memory_order_relaxed)}};
        j["saves"] = {
            {"made", s.saves_made}, {"skipped", s.saves_skipped}, {"bytes_written", s.bytes_written}};

        OmbusSignalCount counts[32];
        int n = ombusSignalCounts(counts, 32);
        Json signals = Json::array();
        for (int i = 0; i < n; ++i)
            signals.push_back({{"interface", json_text(counts[i].interface)},
                               {"received", counts[i].received},
                               {"dropped", counts[i].dropped}});
        j["signals"] = signals;

        Json redirects = Json::array();
        for (int i = 0; i < s.redirects; ++i)
            redirects.push_back({{"mac", json_text(s.redirect[i].mac)},
                                 {"seconds_left", seconds_left(s.redirect[i].due_ms, now)}});
        j["capture_redirects"] = redirects;
        j["pending_timers"] = s.pending_timers;
        return json_dump(j);
    } catch (...) {
        return std::string();
    }
}
