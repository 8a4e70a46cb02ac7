// The main-thread step of a device's capture schedule, run for every timer
// identifier that comes out of signal_pipe.
//
// The owner of a fired timer is looked up by identifier in the records'
// `timer` fields at this moment, never by a remembered index: a record may
// have moved (compaction), been evicted or zeroed since the timer was armed.
// An identifier that no record holds is deleted; if its schedule had put the
// capture redirect in place, the redirect goes with it (timer_retire), so no
// redirect outlives its period, also for a device that left the table.
#include "timers/device_timers.h"
#include "timers/timers.h"

#include "common/bytes.h"
#include "devtable/devtable.h"
#include "fingerprint/fingerprint.h"
#include "frame/frame.h"
#include "platform/log.h"

namespace
{

// True when a record other than the owner of `id` runs a redirect schedule
// for mac (its own live timer in stage 2): that schedule removes the rule.
bool redirect_owned_elsewhere(uint32_t id, const char *mac)
{
    for (int i = 0; i < _g_device_count; ++i) {
        const DeviceRecord &r = _g_devices[i];
        const uint32_t timer = r.timer.get();
        if (timer != 0 && timer != id && r.TimerStage.get() == 2 && timer_slot_live(timer) &&
            field_equal_nocase(r.lanHostEntry.MACAddress, sizeof r.lanHostEntry.MACAddress, mac, 32))
            return true;
    }
    return false;
}

} // namespace

int timer_retire(uint32_t id)
{
    if (const char *mac = timer_slot_redirect(id)) {
        char copy[32];
        field_set(copy, mac);
        if (_g_devices == nullptr || !redirect_owned_elsewhere(id, copy))
            add_iptables_rule(copy, 0);
    }
    return zelmo_deleteTimer(id);
}

void handle_timer_msg(uint32_t timerHandle)
{
    for (uint32_t lost = timer_take_lost_expiries(); lost > 0; --lost)
        ZLOG(ZLOG_ERR, "socketpair write failed\n");
    if (timerHandle == 0)
        return;
    if (timer_take_expired_session(timerHandle) != 0) {
        // The handler closed the session at expiry; only the timer is left.
        ZLOG(ZLOG_INFO, "stop cloud session");
        zelmo_deleteTimer(timerHandle);
        return;
    }
    if (_g_devices == nullptr)
        return;

    int owner = -1;
    for (int i = 0; i < _g_device_count; ++i) {
        const DeviceRecord &r = _g_devices[i];
        ZLOG(ZLOG_INFO, "tidp = %d _g_devices[%d].timer = %d\n", int(timerHandle), i, int(r.timer.get()));
        if (r.lanHostEntry.MACAddress[0] != '\0' && r.timer.get() == timerHandle) {
            owner = i;
            break;
        }
    }
    if (owner < 0) {
        timer_retire(timerHandle);
        return;
    }

    DeviceRecord &r = _g_devices[owner];
    char mac[32];
    field_copy(mac, r.lanHostEntry.MACAddress);
    if (r.FingerprintType.get() != FP_NONE) {
        // Fingerprinted meanwhile: the schedule ends here, and with it a
        // redirect this timer put in place (which would otherwise stay).
        timer_retire(timerHandle);
        r.timer.set(0);
    } else {
        switch (r.TimerStage.get()) {
        case 0:
            change_timer(timerHandle, _g_add_timer);
            r.TimerStage.set(1);
            break;
        case 1:
            add_iptables_rule(mac, 0); // exactly one copy of the rule afterwards
            add_iptables_rule(mac, 1);
            timer_slot_set_redirect(timerHandle, mac);
            change_timer(timerHandle, _g_remove_timer);
            r.TimerStage.set(2);
            break;
        case 2:
        case 3:
            add_iptables_rule(mac, 0);
            zelmo_deleteTimer(timerHandle);
            r.TimerStage.set(3);
            r.timer.set(0);
            break;
        default:
            break;
        }
    }
    table_changed();
}
