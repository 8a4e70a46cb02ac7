// The method service: one object per service descriptor, whose method calls
// go to the descriptor's dispatch function, and the call and reply parcels.
#include "ombus_internal.h"
#include "platform/log.h"

#include <cstring>
#include <string>

struct OmbusCall {
    DBusMessage *message;
    DBusMessageIter args;
    bool started;
    bool bad_args; // a read found an argument of the wrong type or none
};

struct OmbusReply {
    DBusMessage *call;
    DBusMessagePtr message; // made by the first write
};

namespace
{
// "arvex.kvx.zelmo" -> "/arvex/kvx/zelmo".
std::string object_path(const char *name)
{
    std::string path = "/";
    path += name;
    for (char &c : path) {
        if (c == '.')
            c = '/';
    }
    return path;
}

// Moves to the call's next argument; false when there is none.
bool next_argument(OmbusCall *call)
{
    if (!call->started) {
        call->started = true;
        return dbus_message_iter_init(call->message, &call->args);
    }
    return dbus_message_iter_next(&call->args);
}

DBusMessagePtr answer_for(DBusMessage *message, const OmbusCall &call, OmbusReply &reply, bool handled)
{
    if (handled)
        return reply.message ? std::move(reply.message)
                             : DBusMessagePtr(dbus_message_new_method_return(message));
    const char *member = ombusGetMethodName(&call);
    std::string text;
    if (call.bad_args) {
        text = std::string("wrong arguments \"") + dbus_message_get_signature(message) + "\" for " + member;
        return DBusMessagePtr(dbus_message_new_error(message, DBUS_ERROR_INVALID_ARGS, text.c_str()));
    }
    text = std::string("no method ") + member;
    return DBusMessagePtr(dbus_message_new_error(message, DBUS_ERROR_UNKNOWN_METHOD, text.c_str()));
}

void send_answer(DBusConnection *connection, DBusMessage *message, const DBusMessagePtr &answer)
{
    if (connection != nullptr && !dbus_message_get_no_reply(message))
        dbus_connection_send(connection, answer.get(), nullptr);
}

const DBusObjectPathVTable kServiceVTable = {nullptr, ombus_service_message, nullptr, nullptr, nullptr,
                                             nullptr};
} // namespace

DBusHandlerResult ombus_service_message(DBusConnection *connection, DBusMessage *message, void *data)
{
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    // Every interface of every service object: only trusted senders reach a dispatch.
    if (!ombus_sender_trusted(connection, message)) {
        DBusMessagePtr denied(dbus_message_new_error(message, DBUS_ERROR_ACCESS_DENIED,
                                                     "only root and the daemon's own user may call it"));
        if (denied)
            send_answer(connection, message, denied);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    const auto *service = static_cast<const OmbusService *>(data);
    OmbusCall call{message, {}, false, false};
    OmbusReply reply{message, nullptr};
    uint8_t handled = 0;
    if (service->dispatch != nullptr)
        service->dispatch(service, &call, &reply, &handled);
    // The call has been served; without memory for the answer the caller
    // only waits in vain (asking libdbus to dispatch it again would serve it twice).
    DBusMessagePtr answer = answer_for(message, call, reply, handled != 0);
    if (!answer)
        ZLOG(ZLOG_ERR, "no memory to answer %s\n", ombusGetMethodName(&call));
    else
        send_answer(connection, message, answer);
    return DBUS_HANDLER_RESULT_HANDLED;
}

int ombusRegisterService(const OmbusService *service)
{
    if (service == nullptr || service->name == nullptr)
        return OMBUS_ERR_REGISTER;
    DBusConnection *connection = ombus_connection();
    if (connection == nullptr)
        return OMBUS_ERR_NO_BUS;
    std::string path = object_path(service->name);
    ScopedDBusError error;
    if (!dbus_connection_try_register_object_path(connection, path.c_str(), &kServiceVTable,
                                                  const_cast<OmbusService *>(service), error.get())) {
        ZLOG(ZLOG_ERR, "cannot register object %s: %s\n", path.c_str(), error.message());
        return OMBUS_ERR_REGISTER;
    }
    return OMBUS_OK;
}

int ombusIsMethodCall(const OmbusCall *call, const char *interface, const char *method)
{
    return call != nullptr && dbus_message_is_method_call(call->message, interface, method);
}

int ombusReadParcelPointer(OmbusCall *call, void *slot, uint32_t size)
{
    memset(slot, 0, size);
    if (!next_argument(call) || dbus_message_iter_get_arg_type(&call->args) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(&call->args) != DBUS_TYPE_BYTE) {
        call->bad_args = true;
        ZLOG(ZLOG_ERR, "%s: argument is not \"ay\"\n", ombusGetMethodName(call));
        return -1;
    }
    DBusMessageIter bytes;
    const void *data = nullptr;
    int length = 0;
    dbus_message_iter_recurse(&call->args, &bytes);
    dbus_message_iter_get_fixed_array(&bytes, &data, &length);
    if (data != nullptr && length > 0)
        memcpy(slot, data, uint32_t(length) < size ? uint32_t(length) : size);
    return 0;
}

int ombusReadParcelUint32(OmbusCall *call, uint32_t *value)
{
    *value = 0;
    if (!next_argument(call) || dbus_message_iter_get_arg_type(&call->args) != DBUS_TYPE_UINT32) {
        call->bad_args = true;
        ZLOG(ZLOG_ERR, "%s: argument is not \"u\"\n", ombusGetMethodName(call));
        return -1;
    }
    dbus_uint32_t v = 0;
    dbus_message_iter_get_basic(&call->args, &v);
    *value = v;
    return 0;
}

int ombusWriteParcelUint32(OmbusReply *reply, uint32_t value)
{
    if (!reply->message)
        reply->message.reset(dbus_message_new_method_return(reply->call));
    dbus_uint32_t v = value;
    if (!reply->message ||
        !dbus_message_append_args(reply->message.get(), DBUS_TYPE_UINT32, &v, DBUS_TYPE_INVALID))
        return OMBUS_ERR_NO_MEMORY;
    return OMBUS_OK;
}

int ombusWriteParcelString(OmbusReply *reply, const char *text)
{
    if (text == nullptr || !dbus_validate_utf8(text, nullptr))
        return OMBUS_ERR_NO_MEMORY;
    if (!reply->message)
        reply->message.reset(dbus_message_new_method_return(reply->call));
    if (!reply->message ||
        !dbus_message_append_args(reply->message.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID))
        return OMBUS_ERR_NO_MEMORY;
    return OMBUS_OK;
}

const char *ombusGetMethodName(const OmbusCall *call)
{
    const char *member = call != nullptr ? dbus_message_get_member(call->message) : nullptr;
    return member != nullptr ? member : "";
}
