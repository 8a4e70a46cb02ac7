// Allocation failure on the bus thread: the copy of one signal's payload
// cannot be made. That signal is dropped with a log line; the daemon keeps
// running and every other signal, before and after, is handled.
#include "hardening_env.h"

namespace
{

// Compiles the allocation failure shim into dir; its path, or "" when no C
// compiler is at hand.
std::string build_shim(const std::string &dir)
{
    const std::string so = dir + "/failmalloc.so";
    const std::string source = std::string(ZELMO_SOURCE_DIR) + "/tests/hardening/failmalloc_shim.c";
    return run_program({"cc", "-shared", "-fPIC", "-O2", "-o", so, source, "-ldl"}).exit_code == 0 ? so : "";
}

} // namespace

using FaultMemory = HardeningTest;

TEST_F(FaultMemory, AFailedPayloadCopyDropsOnlyThatSignal)
{
    const std::string shim = build_shim(root.path());
    if (shim.empty())
        GTEST_SKIP() << "no C compiler for the allocation failure shim";

    // A payload of this length needs a copy of length + 1 bytes, a size no
    // other allocation of the daemon happens to have.
    constexpr size_t kFailingLength = 7777;
    std::vector<std::string> env{tools.path_env(), "LD_PRELOAD=" + shim,
                                 "ZELMO_FAIL_MALLOC_SIZE=" + std::to_string(kFailingLength + 1)};
    if (built_with_asan()) // the shim comes before the sanitizer's runtime
        env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
    DaemonProcess zelmo({"-d", "1"}, env);
    ASSERT_TRUE(wait_bus_service(10000ms)) << zelmo.stderr_text();
    lanhost.clear();

    const std::string lost = test_mac(1), kept = test_mac(2);
    Bytes big = to_bytes(make_lanhost_update(make_lanhost(lost, "192.168.1.51", "big"), STATUS_ACTIVE));
    big.resize(kFailingLength, 0xee);
    ASSERT_TRUE(lanhost.emit("setLanhostEntry", big));
    ASSERT_TRUE(lanhost.emit(
        "setLanhostEntry",
        to_bytes(make_lanhost_update(make_lanhost(kept, "192.168.1.52", "kept"), STATUS_ACTIVE))));
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceAdded", 1, 5000ms)) << zelmo.stderr_text();
    EXPECT_TRUE(zelmo.wait_for_output("[zelmo] Mem creation failed", 2000ms)) << zelmo.stderr_text();
    EXPECT_EQ(zelmo.count_output("[zelmo] Mem creation failed"), 1u);
    auto hosts = stored_hosts(root.read_db());
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0], std::make_pair(kept, std::string("kept")));

    // The same host in a payload of ordinary length gets through.
    Bytes ordinary = big;
    ordinary.resize(sizeof(DeviceUpdate));
    ASSERT_TRUE(lanhost.emit("setLanhostEntry", ordinary));
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceAdded", 2, 5000ms)) << zelmo.stderr_text();
    EXPECT_EQ(stored_hosts(root.read_db()).size(), 2u);
    EXPECT_TRUE(zelmo.running());
}
