// Gateway message service: one Unix datagram socket per application.
#pragma once

#include "common/bytes.h"

#include <cstddef>
#include <cstdint>

// Header of every message, 32 bytes, little-endian.
struct CsMsgHeader {
    le_u32 type;
    le_u32 srcAppId;
    le_u32 dstAppId;
    le_u32 flags;
    le_u32 seq;
    le_u32 value;
    le_u32 payloadLength;
    uint8_t reserved[4];
};
static_assert(sizeof(CsMsgHeader) == 32 && alignof(CsMsgHeader) == 1);

constexpr uint32_t ZELMO_APP_ID = 161;
constexpr uint32_t CSMSG_TYPE_SET_LOG_LEVEL = 0x1000279d;
constexpr uint32_t CSMSG_TYPE_DEVICE_UPDATE = 0x1000279e;

struct CsMsgContext;
using CsMsgHandle = CsMsgContext *;

int csMsg_init(uint32_t appId, CsMsgHandle *handle);
int csMsg_getEventHandle(CsMsgHandle handle, int *fd);
// On success *message is a heap block (free with free()) holding the whole
// datagram, zero-extended to at least 32 bytes plus the header's payload length.
int csMsg_receiveWithTimeout(CsMsgHandle handle, void **message, int timeoutMs);
int csMsg_send(CsMsgHandle handle, uint32_t dstAppId, const void *message, size_t size);
