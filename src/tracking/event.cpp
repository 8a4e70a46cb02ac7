// One event of the main loop (a local message, a message-service message or a
// fired timer) saves the table once, at its end, and only then tells the LAN
// host daemon what changed: every change it hears of is on disk already.
#include "bus/notify.h"
#include "devtable/devtable.h"
#include "tracking/tracking.h"

#include <cstring>

namespace
{

// Notifications held until the event's save, with the record as it was when
// the notification was made. An event makes at most two.
constexpr int HELD_MAX = 4;
struct HeldNotification {
    DeviceRecord record;
    LanHostNotifyFn notifier;
};
HeldNotification g_held[HELD_MAX];
int g_held_count = 0;
bool g_in_event = false;

void send_held()
{
    for (int i = 0; i < g_held_count; ++i)
        sentDeviceUpdateToDbus(&g_held[i].record, 1, DEVICE_RECORD_SIZE, g_held[i].notifier);
    g_held_count = 0;
}

} // namespace

void event_begin()
{
    g_in_event = true;
    table_hold_saves();
}

void event_end()
{
    g_in_event = false;
    table_save_held();
    send_held();
}

void notify_when_saved(const DeviceRecord &record, LanHostNotifyFn notifier)
{
    if (!g_in_event || (g_held_count == 0 && !table_has_unsaved_change())) {
        sentDeviceUpdateToDbus(&record, 1, DEVICE_RECORD_SIZE, notifier);
        return;
    }
    if (g_held_count == HELD_MAX) {
        // Never expected; the held ones go out after a save of their own.
        table_save_held();
        table_hold_saves();
        send_held();
    }
    memcpy(&g_held[g_held_count].record, &record, sizeof record);
    g_held[g_held_count].notifier = notifier;
    ++g_held_count;
}
