// The device table: 256 records with the used entries packed at the front.
#include "bus/notify.h"
#include "devtable/devtable.h"
#include "platform/log.h"
#include "timers/timers.h"

#include <cstdlib>
#include <cstring>
#include <sys/time.h>

DeviceRecord *_g_devices = nullptr;
int32_t _g_device_count = 0;

namespace
{

// Saves of one event: while held, a change only marks the table changed.
bool g_saves_held = false;
bool g_table_changed = false;

constexpr char NOT_REACHABLE[] = "Not Reachable";
constexpr char DISASSOCIATED[] = "Disassociated";

// Writes a status text into a 32-byte field, the rest of the field NUL.
void set_status_text(char (&field)[32], const char *text, const char *fallback)
{
    memset(field, 0, sizeof field);
    field_set(field, text_empty(text) ? fallback : text);
}

void stamp_now(DeviceRecord &r)
{
    timeval now{};
    gettimeofday(&now, nullptr);
    r.LastReportedTimeSec.set(int32_t(now.tv_sec));
    r.LastReportedTimeUsec.set(int32_t(now.tv_usec));
}

} // namespace

int devtable_alloc()
{
    if (_g_devices == nullptr) {
        _g_devices = static_cast<DeviceRecord *>(calloc(MAX_DEVICES, sizeof(DeviceRecord)));
        if (_g_devices == nullptr)
            return -1;
    } else {
        memset(_g_devices, 0, MAX_DEVICES * sizeof(DeviceRecord));
    }
    _g_device_count = 0;
    return 0;
}

int table_changed()
{
    if (g_saves_held) {
        g_table_changed = true;
        return 0;
    }
    return update_db();
}

void table_hold_saves()
{
    g_saves_held = true;
}

bool table_has_unsaved_change()
{
    return g_table_changed;
}

int table_save_held()
{
    g_saves_held = false;
    if (!g_table_changed)
        return 0;
    // A failed save leaves the change marked: the next event's end tries again.
    int result = update_db();
    if (result == 0)
        g_table_changed = false;
    return result;
}

int find_device(const char *mac)
{
    if (text_empty(mac) || _g_devices == nullptr)
        return -1;
    size_t mac_len = strlen(mac);
    for (int i = 0; i < _g_device_count && i < MAX_DEVICES; ++i) {
        const char *stored = _g_devices[i].lanHostEntry.MACAddress;
        if (stored[0] != '\0' &&
            field_equal_nocase(stored, sizeof _g_devices[i].lanHostEntry.MACAddress, mac, mac_len))
            return i;
    }
    return -1;
}

uint32_t is_newdevice(const char *mac, int *index_out)
{
    if (text_empty(mac))
        return 1;
    int index = find_device(mac);
    if (index < 0) {
        ZLOG(ZLOG_INFO, "is_newdevice = true\n");
        return 1;
    }
    if (index_out != nullptr)
        *index_out = index;
    return 0;
}

int get_oldest_removed_device()
{
    if (_g_devices == nullptr)
        return -1;
    int oldest = -1;
    int32_t oldest_sec = 0;
    for (int i = 0; i < MAX_DEVICES; ++i) {
        const DeviceRecord &r = _g_devices[i];
        if (r.lanHostEntry.MACAddress[0] == '\0' || r.Status.get() != STATUS_REMOVED)
            continue;
        if (oldest == -1 || r.LastReportedTimeSec.get() < oldest_sec) {
            oldest = i;
            oldest_sec = r.LastReportedTimeSec.get();
        }
    }
    return oldest;
}

int remove_old_device_by_index(int index)
{
    if (index < 0 || _g_devices == nullptr)
        return -1;
    if (index >= _g_device_count) {
        ZLOG(ZLOG_ERR, "no device at index %d of %d; nothing removed\n", index, _g_device_count);
        return -1;
    }
    // The victim's capture timer goes with it, so that it can never fire for
    // the record that takes over the slot.
    uint32_t timer = _g_devices[index].timer.get();
    if (timer != 0)
        change_timer(timer, 0);
    memset(&_g_devices[index], 0, sizeof(DeviceRecord));
    if (_g_device_count > 0) {
        int last = _g_device_count - 1;
        if (last != index) {
            memcpy(&_g_devices[index], &_g_devices[last], sizeof(DeviceRecord));
            memset(&_g_devices[last], 0, sizeof(DeviceRecord));
        }
        --_g_device_count;
    }
    table_changed();
    return 0;
}

int update_device(const char *mac, int32_t deviceState, int32_t status, int32_t fingerprintType,
                  int32_t hostState, int32_t setStates, const LanHostEntryObject *lanHostEntry,
                  const FingerprintData *fingerprintData, const char *l3Status, const char *interfaceStatus)
{
    ZLOG(ZLOG_INFO, "Entered into %s() function\n", "update_device");
    if (text_empty(mac) || _g_devices == nullptr) {
        ZLOG(ZLOG_ERR, "Error return in %s()..\n", "update_device");
        return -1;
    }
    int index = -1;
    if (is_newdevice(mac, &index)) {
        if (_g_device_count >= MAX_DEVICES)
            remove_old_device_by_index(get_oldest_removed_device());
        if (_g_device_count >= MAX_DEVICES) {
            ZLOG(ZLOG_INFO, "Device list memory is full. Not able to add the device details. MAC - %s\n",
                 mac);
            return -1;
        }
        DeviceRecord &r = _g_devices[_g_device_count];
        r.FingerprintType.set(fingerprintType);
        if (setStates) {
            r.HostState.set(hostState);
            r.Status.set(status);
        }
        stamp_now(r);
        r.DeviceState.set(deviceState);
        if (lanHostEntry != nullptr)
            memcpy(&r.lanHostEntry, lanHostEntry, sizeof r.lanHostEntry);
        if (fingerprintData != nullptr)
            memcpy(&r.fingerprintData, fingerprintData, sizeof r.fingerprintData);
        set_status_text(r.L3Status, l3Status, NOT_REACHABLE);
        set_status_text(r.InterfaceStatus, interfaceStatus, DISASSOCIATED);
        ++_g_device_count;
        table_changed();
        return 0;
    }

    DeviceRecord &r = _g_devices[index];
    if (setStates) {
        r.HostState.set(hostState);
        r.Status.set(status);
    }
    r.DeviceState.set(deviceState);
    r.FingerprintType.set(fingerprintType);
    stamp_now(r);
    // The caller may pass pieces of the record itself; memmove copes.
    if (fingerprintData != nullptr)
        memmove(&r.fingerprintData, fingerprintData, sizeof r.fingerprintData);
    if (lanHostEntry != nullptr)
        memmove(&r.lanHostEntry, lanHostEntry, sizeof r.lanHostEntry);
    char l3[32] = {};
    char itf[32] = {};
    str_copy(l3, sizeof l3, l3Status);
    str_copy(itf, sizeof itf, interfaceStatus);
    set_status_text(r.L3Status, l3, NOT_REACHABLE);
    set_status_text(r.InterfaceStatus, itf, DISASSOCIATED);
    table_changed();
    return 0;
}

void clear_all_timers()
{
    if (_g_devices == nullptr)
        return;
    // Identifiers loaded from the file belong to a former process: no timer
    // of this process stands behind them, so they are only cleared.
    for (int i = 0; i < _g_device_count && i < MAX_DEVICES; ++i) {
        DeviceRecord &r = _g_devices[i];
        r.timer.set(0);
        r.TimerStage.set(0);
        r.Status.set(STATUS_REMOVED);
        r.HostState.set(REPORT_REPORTING);
        if (r.L3Status[0] == '\0')
            set_status_text(r.L3Status, NOT_REACHABLE, NOT_REACHABLE);
        if (r.InterfaceStatus[0] == '\0')
            set_status_text(r.InterfaceStatus, DISASSOCIATED, DISASSOCIATED);
    }
    if (_g_device_count != 0) {
        table_changed();
        sendSyncAllDevicesToDbus();
    }
}
