// Under ThreadSanitizer (-DZELMO_TSAN=ON): libdbus passes its connection and
// I/O locks back and forth within one call, which the lock-order graph cannot
// follow. Only lock-order reports inside libdbus are silenced; data races are
// still reported everywhere.
extern "C" const char *__tsan_default_suppressions()
{
    return "deadlock:libdbus-1.so.3\n";
}
