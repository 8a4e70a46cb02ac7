// The database file as the daemon finds it at start-up: any bytes at the
// database path, loaded with Init, shown by the full dump and the lookups
// that read loaded records, and written back. Whatever the file held, the
// table must come out within its bounds, and what is written back must load
// again to the very same table.
#include "harness.h"

#include "devtable/devtable.h"
#include "diag/diag.h"
#include "frame/frame.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_reset_state();
    // Start-up state: an empty table, the file as found.
    devtable_alloc();
    fuzz_write_file(_g_file, data, size);
    if (Init() != 0)
        fuzz_fail("database load", "Init failed on an existing, readable file");
    if (_g_device_count < 0 || _g_device_count > MAX_DEVICES)
        fuzz_fail("database load", "device count out of 0..256");
    struct stat st {
    };
    if (stat(_g_file, &st) != 0 && _g_device_count != 0)
        fuzz_fail("database load", "a discarded file left records in the table");

    // What the daemon does with a loaded table: show it, look devices up.
    zelmo_dumpall();
    for (int i = 0; i < _g_device_count; ++i) {
        char mac[33] = {};
        memcpy(mac, _g_devices[i].lanHostEntry.MACAddress, 32);
        int index = -1;
        is_newdevice(mac, &index);
        zelmo_dump_by_mac(mac);
        isGetCriticalDevice(mac);
    }
    PrintGetAllCriticalDevice();

    // Written back and loaded again: the same table.
    const int count = _g_device_count;
    std::vector<uint8_t> before(size_t(count) * sizeof(DeviceRecord) + 1);
    memcpy(before.data(), _g_devices, before.size() - 1);
    if (update_db() != 0)
        fuzz_fail("database save", "update_db failed");
    devtable_alloc();
    if (Init() != 0 || _g_device_count != count)
        fuzz_fail("database reload", "the saved file does not load to the same count");
    if (memcmp(before.data(), _g_devices, before.size() - 1) != 0)
        fuzz_fail("database reload", "the saved file does not load to the same records");
    // Timer identifiers of a loaded file belong to no timer of this process.
    for (int i = 0; i < _g_device_count; ++i)
        _g_devices[i].timer.set(0);
    return 0;
}
