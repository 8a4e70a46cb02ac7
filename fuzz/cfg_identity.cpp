// The configuration store objects read for the gateway's identity, its mode
// and its cloud profile, as any bytes in their instance files: the device
// information and Wi-Fi service objects through zelmo_read_args, then the
// cloud profile through update_http_profile, which builds the request URL
// from the profile and the identity. Nothing is uploaded: the URL comes from
// the input and may name any host.
//
// Input: [device information length: 2 bytes LE][device information bytes]
// [Wi-Fi service length: 2 bytes LE][Wi-Fi service bytes][profile bytes];
// each object file is written only when its part is present.
#include "harness.h"

#include "cloud/cloud.h"
#include "frame/frame.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <unistd.h>

namespace
{

// Takes [length: 2 bytes LE][bytes] from the input; false when absent.
bool take_part(const uint8_t *&data, size_t &size, const uint8_t **part, size_t *part_size)
{
    if (size < 2)
        return false;
    size_t length = std::min(size - 2, size_t(data[0]) | size_t(data[1]) << 8);
    *part = data + 2;
    *part_size = length;
    data += 2 + length;
    size -= 2 + length;
    return true;
}

bool terminated(const char *text, size_t size)
{
    return memchr(text, '\0', size) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_reset_state();
    const std::string info_path = fuzz_cfg_path(CFG_OID_DEVICE_INFO, "1.1.0.0.0.0.0");
    const std::string wifi_path = fuzz_cfg_path(CFG_OID_WIFI_SERVICE, "0.0.0.0.0.0.0");
    const std::string profile_path = fuzz_cfg_path(CFG_OID_HTTP_PROFILE, "1.1.0.0.0.0.0");
    const uint8_t *part = nullptr;
    size_t part_size = 0;
    unlink(info_path.c_str());
    unlink(wifi_path.c_str());
    unlink(profile_path.c_str());
    if (take_part(data, size, &part, &part_size))
        fuzz_write_file(info_path, part, part_size);
    if (take_part(data, size, &part, &part_size))
        fuzz_write_file(wifi_path, part, part_size);
    if (size > 0)
        fuzz_write_file(profile_path, data, size);

    memset(_g_oui, 0, sizeof _g_oui);
    memset(_g_model, 0, sizeof _g_model);
    memset(_g_serial, 0, sizeof _g_serial);
    zelmo_read_args();
    if (!terminated(_g_oui, sizeof _g_oui) || !terminated(_g_model, sizeof _g_model) ||
        !terminated(_g_serial, sizeof _g_serial))
        fuzz_fail("identity", "an identity text is unterminated");
    if (_g_isRoot != 0 && _g_isRoot != 1)
        fuzz_fail("identity", "the mode is neither root nor extender");

    memset(_g_URL, 0, sizeof _g_URL);
    update_http_profile();
    if (!terminated(_g_URL, sizeof _g_URL) || !terminated(_g_Username, sizeof _g_Username) ||
        !terminated(_g_Password, sizeof _g_Password))
        fuzz_fail("cloud profile", "a profile text is unterminated");
    if (strchr(_g_URL, ' ') != nullptr)
        fuzz_fail("cloud profile", "the URL keeps a space");

    // Back to the harness's store for the next input.
    fuzz_restore_store();
    return 0;
}
