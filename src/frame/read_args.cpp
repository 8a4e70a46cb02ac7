// Gateway identity and operating mode from the configuration store.
#include "frame/frame.h"
#include "platform/cfgstore.h"
#include "platform/log.h"

#include "common/bytes.h"

#include <cstring>
#include <memory>

namespace
{

// Copies the text member at offset of a configuration object into a 32-byte
// setting, never reading past the object.
void copy_member(char (&setting)[32], const uint8_t *object, size_t object_size, size_t offset)
{
    str_copy_n(setting, sizeof setting, reinterpret_cast<const char *>(object + offset),
               object_size - offset);
}

} // namespace

void zelmo_read_args()
{
    // The device information object is 36 KB: keep it off the stack.
    auto info = std::make_unique<uint8_t[]>(CFG_SIZE_DEVICE_INFO);
    auto *header = reinterpret_cast<CfgObjHeader *>(info.get());
    header->ObjectId.set(CFG_OID_DEVICE_INFO);
    header->instanceId.depth = 1;
    header->instanceId.inst[0].set(1);
    int ret = cfg_getObj(info.get(), CFG_SIZE_DEVICE_INFO, 0);
    if (ret != 0) {
        ZLOG(ZLOG_ERR, "Failed to get IGDDeviceInfoObject, ret=%d\n", ret);
        return;
    }
    copy_member(_g_oui, info.get(), CFG_SIZE_DEVICE_INFO, CFG_DEVICE_INFO_OUI);
    copy_member(_g_model, info.get(), CFG_SIZE_DEVICE_INFO, CFG_DEVICE_INFO_PRODUCT_CLASS);
    copy_member(_g_serial, info.get(), CFG_SIZE_DEVICE_INFO, CFG_DEVICE_INFO_SERIAL);

    auto wifi = std::make_unique<uint8_t[]>(CFG_SIZE_WIFI_SERVICE);
    reinterpret_cast<CfgObjHeader *>(wifi.get())->ObjectId.set(CFG_OID_WIFI_SERVICE);
    ret = cfg_getObj(wifi.get(), CFG_SIZE_WIFI_SERVICE, 0);
    if (ret != 0) {
        ZLOG(ZLOG_ERR, "Failed to get WifiServiceObject, ret=%d\n", ret);
        return;
    }
    // Root mode only for the exact text "RGW", terminator included.
    static constexpr char root_mode[] = "RGW";
    _g_isRoot = memcmp(wifi.get() + CFG_WIFI_SERVICE_MODE, root_mode, sizeof root_mode) == 0 ? 1 : 0;
}
