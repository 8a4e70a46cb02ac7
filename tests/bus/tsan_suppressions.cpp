// ThreadSanitizer reads these suppressions when the tests are built with it:
//   cmake -S . -B build-tsan -DZELMO_TSAN=ON && cmake --build build-tsan -j2 --target test_bus
//   build-tsan/tests/test_bus
// The bus thread, the test's reader threads and the recording LAN host
// daemon then run under the race detector.
//
// libdbus hands its connection lock and its I/O-path lock back and forth
// inside one call on one thread (it drops one while it waits on the other),
// which the sanitizer's lock-order graph cannot follow; it then reports a
// lock-order inversion whose every frame is inside libdbus. Only that kind
// of report, and only inside libdbus, is silenced: data races are still
// reported everywhere.
extern "C" const char *__tsan_default_suppressions()
{
    return "deadlock:libdbus-1.so.3\n";
}
