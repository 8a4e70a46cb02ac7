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

// Largest payload length a receiver honours, and so the largest datagram it
// accepts (header plus payload); bigger ones are dropped with a log line.
constexpr uint32_t CSMSG_MAX_PAYLOAD = 64u * 1024u;
constexpr size_t CSMSG_MAX_DATAGRAM = sizeof(CsMsgHeader) + CSMSG_MAX_PAYLOAD;

struct CsMsgContext;
using CsMsgHandle = CsMsgContext *;

int csMsg_init(uint32_t appId, CsMsgHandle *handle);
int csMsg_getEventHandle(CsMsgHandle handle, int *fd);
// On success *message is a heap block (free with free()) holding the whole
// datagram, zero-extended to at least 32 bytes plus the header's payload length.
int csMsg_receiveWithTimeout(CsMsgHandle handle, void **message, int timeoutMs);
// Sends size bytes as one datagram to dstAppId's socket, from the handle's
// bound socket (or from an unbound one when handle is null). 0 when sent whole.
int csMsg_send(CsMsgHandle handle, uint32_t dstAppId, const void *message, size_t size);
// Closes the socket and removes its file; the handle is gone afterwards.
void csMsg_close(CsMsgHandle handle);
