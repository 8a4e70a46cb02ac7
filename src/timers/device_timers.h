// Internal to the timers: the table of live timers behind the 32-bit
// identifiers (docs/timers.md explains the scheme). Main thread only; the
// signal handler never touches it.
#pragma once

#include <cstdint>

constexpr uint32_t TIMER_SLOT_BITS = 10;
constexpr uint32_t TIMER_SLOTS = 1u << TIMER_SLOT_BITS; // live timers at once

// Remembers that the timer's schedule installed the capture redirect of mac
// (empty mac: none installed any more).
void timer_slot_set_redirect(uint32_t id, const char *mac);
// The MAC whose redirect the timer's schedule installed, or nullptr.
const char *timer_slot_redirect(uint32_t id);
// Deletes a timer; a capture redirect that its schedule put in place is
// removed with it unless another record's schedule now runs one for the same
// MAC. Result of the deletion.
int timer_retire(uint32_t id);
// True while id names a live timer.
bool timer_slot_live(uint32_t id);
// CLOCK_MONOTONIC now, in milliseconds.
int64_t timer_now_ms() noexcept;
// When the timer fires next (CLOCK_MONOTONIC milliseconds), -1 when it is
// not armed or not live.
int64_t timer_slot_due_ms(uint32_t id);
// The capture redirects in place: the MAC and when its timer fires next.
// Copies at most max entries and returns their number.
struct TimerRedirectDue {
    char mac[32];
    int64_t due_ms;
};
int timer_slot_redirects(TimerRedirectDue *out, int max);
// Number of live timers.
uint32_t timer_slots_in_use();

// The last session timer that expired in the handler (0: none pending); the
// main thread takes it when the identifier comes through the pipe.
uint32_t timer_take_expired_session(uint32_t id);
// Expiries the handler could not hand over (pipe full or closed) since the last call.
uint32_t timer_take_lost_expiries();
