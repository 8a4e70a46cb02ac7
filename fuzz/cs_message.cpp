// A message-service datagram: sent to the daemon's real socket and served
// by the main thread's message-service handler (zero-extension by the
// message service, log level requests, device updates of every objtype
// through the update handler).
#include "harness.h"

#include "frame/frame.h"
#include "platform/csmsg.h"
#include "platform/root.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

int g_sender = -1;
sockaddr_un g_address{};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_init();
    if (csMsg_init(ZELMO_APP_ID, &msgHandle) != 0 || csMsg_getEventHandle(msgHandle, &csmsg_fd) != 0)
        fuzz_fail("set-up", "no message service socket");
    std::string path = root_path("/var/run/csmsg") + "/" + std::to_string(ZELMO_APP_ID) + ".sock";
    g_address.sun_family = AF_UNIX;
    if (path.size() >= sizeof g_address.sun_path)
        fuzz_fail("set-up", "socket path too long");
    memcpy(g_address.sun_path, path.c_str(), path.size() + 1);
    g_sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (g_sender < 0)
        fuzz_fail("set-up", "no sender socket");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_reset_state();
    ssize_t sent;
    do {
        sent = sendto(g_sender, data, size, 0, reinterpret_cast<sockaddr *>(&g_address), sizeof g_address);
    } while (sent < 0 && errno == EINTR);
    if (sent != ssize_t(size))
        return 0; // larger than a datagram may be: nothing to serve
    pollfd p{csmsg_fd, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1)
        fuzz_fail("message service", "a sent datagram never became readable");
    zelmo_process_cs_message();
    fuzz_check_table("message service");
    return 0;
}
