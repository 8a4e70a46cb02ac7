// Routing of one local message to its main-thread handler.
#include "frame/frame.h"
#include "platform/log.h"
#include "tracking/tracking.h"

int zelmo_handle_recv_msg(LocalMessage *message)
{
    if (message == nullptr || message->type >= LM_TYPE_LIMIT || message->payload == nullptr)
        return -1;
    for (size_t i = 0; i < _g_func_count; ++i) {
        if (_g_func[i].type != message->type)
            continue;
        // The handler's own result is not used. Its changes are saved once, at its end.
        if (_g_func[i].handler != nullptr) {
            event_begin();
            _g_func[i].handler(message->payload, message->length);
            event_end();
        }
        return 0;
    }
    ZLOG(ZLOG_ERR, "[zelmo] Invalid IPC msg type\n");
    return 0;
}
