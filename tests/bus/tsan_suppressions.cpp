// Under ThreadSanitizer (-DZELMO_TSAN=ON), also without tests/data/tsan.supp:
// libdbus drops one of its own locks while it waits on another, a lock-order
// report whose every frame is inside libdbus. Data races are still reported.
extern "C" const char *__tsan_default_suppressions()
{
    return "deadlock:libdbus-1.so.3\n";
}
