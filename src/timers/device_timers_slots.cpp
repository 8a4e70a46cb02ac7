// Timer identifiers: a slot table mapping non-zero 32-bit identifiers to
// timer_t handles. An identifier is (generation << TIMER_SLOT_BITS) | slot;
// the generation starts at 1 and grows each time the slot is freed, so an
// identifier is never 0 and a deleted timer's identifier does not come back
// while a late signal for it may still be on its way. timer_t itself can be 0
// (glibc hands out kernel timer ids, the first one being 0) and is 64 bits
// wide on 64-bit hosts, so it is never stored in a record.
#include "timers/device_timers.h"
#include "timers/timers.h"

#include "common/bytes.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace
{

constexpr uint32_t kGenerationLimit = 1u << (32 - TIMER_SLOT_BITS);

struct TimerSlot {
    bool used;
    timer_t handle;
    uint32_t generation; // 1 .. kGenerationLimit - 1
    char redirect_mac[32];
    int64_t due_ms; // CLOCK_MONOTONIC milliseconds of the next expiry, -1 when not armed
};

TimerSlot _g_timer_slots[TIMER_SLOTS];
uint32_t _g_timer_next_slot; // round-robin start of the search for a free slot
uint32_t _g_timer_slots_used;

uint32_t slot_id(uint32_t slot)
{
    return _g_timer_slots[slot].generation << TIMER_SLOT_BITS | slot;
}

TimerSlot *find(uint32_t id)
{
    if (id == 0)
        return nullptr;
    TimerSlot &s = _g_timer_slots[id & (TIMER_SLOTS - 1)];
    if (!s.used || slot_id(id & (TIMER_SLOTS - 1)) != id)
        return nullptr;
    return &s;
}

} // namespace

int64_t timer_now_ms() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int zelmo_createTimer(uint32_t *id)
{
    if (id == nullptr) {
        errno = EINVAL;
        perror("timer_create");
        return -1;
    }
    uint32_t slot = TIMER_SLOTS;
    for (uint32_t i = 0; i < TIMER_SLOTS; ++i) {
        uint32_t s = (_g_timer_next_slot + i) % TIMER_SLOTS;
        if (!_g_timer_slots[s].used) {
            slot = s;
            break;
        }
    }
    if (slot == TIMER_SLOTS) {
        errno = EAGAIN;
        perror("timer_create");
        return -1;
    }
    TimerSlot &s = _g_timer_slots[slot];
    if (s.generation == 0)
        s.generation = 1;

    struct sigevent event = {};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGUSR1;
    event.sigev_value.sival_int = int(slot_id(slot));
    timer_t handle{};
    if (timer_create(CLOCK_REALTIME, &event, &handle) != 0) {
        perror("timer_create");
        return -1;
    }
    s.used = true;
    s.handle = handle;
    s.redirect_mac[0] = '\0';
    s.due_ms = -1;
    ++_g_timer_slots_used;
    _g_timer_next_slot = (slot + 1) % TIMER_SLOTS;
    *id = slot_id(slot);
    return 0;
}

int zelmo_armTimer(uint32_t id, int32_t seconds)
{
    TimerSlot *s = find(id);
    if (s == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct itimerspec when = {};
    when.it_value.tv_sec = seconds;
    s->due_ms = seconds > 0 ? timer_now_ms() + int64_t(seconds) * 1000 : -1;
    return timer_settime(s->handle, 0, &when, nullptr);
}

int zelmo_deleteTimer(uint32_t id)
{
    TimerSlot *s = find(id);
    if (s == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int result = timer_delete(s->handle);
    s->used = false;
    s->handle = timer_t{};
    s->redirect_mac[0] = '\0';
    s->generation = s->generation + 1 < kGenerationLimit ? s->generation + 1 : 1;
    --_g_timer_slots_used;
    return result;
}

void timer_slot_set_redirect(uint32_t id, const char *mac)
{
    if (TimerSlot *s = find(id))
        field_set(s->redirect_mac, mac);
}

const char *timer_slot_redirect(uint32_t id)
{
    TimerSlot *s = find(id);
    return s != nullptr && s->redirect_mac[0] != '\0' ? s->redirect_mac : nullptr;
}

bool timer_slot_live(uint32_t id)
{
    return find(id) != nullptr;
}

uint32_t timer_slots_in_use()
{
    return _g_timer_slots_used;
}

int64_t timer_slot_due_ms(uint32_t id)
{
    TimerSlot *s = find(id);
    return s != nullptr ? s->due_ms : -1;
}

int timer_slot_redirects(TimerRedirectDue *out, int max)
{
    int n = 0;
    for (uint32_t i = 0; i < TIMER_SLOTS && n < max; ++i) {
        const TimerSlot &s = _g_timer_slots[i];
        if (s.used && s.redirect_mac[0] != '\0') {
            field_copy(out[n].mac, s.redirect_mac);
            out[n].due_ms = s.due_ms;
            ++n;
        }
    }
    return n;
}
