// Gateway configuration store: one file per object instance.
#pragma once

#include "common/bytes.h"

#include <cstddef>
#include <cstdint>

// Instance path: depth byte, three zero bytes, six u32 instance numbers.
struct InstanceId {
    uint8_t depth;
    uint8_t zero[3];
    le_u32 inst[6];
};
static_assert(sizeof(InstanceId) == 28 && alignof(InstanceId) == 1);

// Every object starts with its identifier and instance path.
struct CfgObjHeader {
    le_u32 ObjectId;
    InstanceId instanceId;
};
static_assert(sizeof(CfgObjHeader) == 32);

// Objects the daemon uses, with their sizes and member offsets.
constexpr uint32_t CFG_OID_DEVICE_INFO = 25;
constexpr size_t CFG_SIZE_DEVICE_INFO = 36052;
constexpr size_t CFG_DEVICE_INFO_OUI = 97;
constexpr size_t CFG_DEVICE_INFO_PRODUCT_CLASS = 493;
constexpr size_t CFG_DEVICE_INFO_SERIAL = 558;

constexpr uint32_t CFG_OID_WIFI_SERVICE = 541;
constexpr size_t CFG_SIZE_WIFI_SERVICE = 3089;
constexpr size_t CFG_WIFI_SERVICE_MODE = 391;

constexpr uint32_t CFG_OID_LANHOST = 273;
constexpr size_t CFG_SIZE_LANHOST = 1440;

constexpr uint32_t CFG_OID_HTTP_PROFILE = 573;
constexpr size_t CFG_SIZE_HTTP_PROFILE = 1608;
constexpr size_t CFG_HTTP_PROFILE_URL = 65;
constexpr size_t CFG_HTTP_PROFILE_USERNAME = 1090;
constexpr size_t CFG_HTTP_PROFILE_PASSWORD = 1347;

// Reads the instance named by the header already in object; copies at most
// size bytes and zero-fills the rest. 0 when the instance exists.
int cfg_getObj(void *object, size_t size, uint32_t flags);
// The next instance of the same ObjectId after the InstanceId in object
// (all-zero InstanceId: the first). 0 when there is one.
int cfg_getNextObj(void *object, size_t size, uint32_t flags);
// Replaces the instance file atomically with size bytes of object. 0 on success.
int cfg_setObj(const void *object, size_t size, uint32_t flags);
