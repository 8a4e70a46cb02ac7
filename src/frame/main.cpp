// Program entry of the daemon: start-up in root or extender mode, then the
// main event loop, which never returns.
#include "cloud/cloud.h"
#include "devtable/devtable.h"
#include "diag/diag.h"
#include "fingerprint/fingerprint.h"
#include "frame/frame.h"
#include "platform/log.h"
#include "platform/root.h"

#include "common/bytes.h"

#include <csignal>
#include <cstdio>
#include <curl/curl.h>
#include <dbus/dbus.h>

namespace
{

// Texts on standard output go out at once: the daemon only ever ends by a
// signal, so nothing may wait in a stdio buffer.
void say(const char *text)
{
    fputs(text, stdout);
    fflush(stdout);
}

// Root mode: load the table, reset it, show it, hook up the message service
// and the capture chain, and write the table back. 0 or -1.
int start_root_mode()
{
    ZLOG(ZLOG_INFO, "[ZELMO]Root Mode Process_Message\n");
    say("Started Zelmo Process\n");
    if (Init() != 0) {
        ZLOG(ZLOG_ERR, "File operators are NOK \n");
        return -1;
    }
    clear_all_timers();
    zelmo_dumpall();
    // The main loop needs the message-service descriptor in root mode, so
    // a failed call and a missing descriptor (-1) both end the start-up.
    int ret = csMsg_getEventHandle(msgHandle, &csmsg_fd);
    if (ret != 0 || csmsg_fd < 0) {
        ZLOG(ZLOG_INFO, "[ZELMO]csMsg_getEventHandle() failed, ret=%d fd=%d\n", ret, csmsg_fd);
        return -1;
    }
    init_iptables_chain();
    exists_iptable();
    update_db();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    field_set(_g_file, root_path("/configs/devices.db").c_str());

    if (devtable_alloc() != 0)
        return -1;
    zelmo_process_dumpcommand(argc, argv);

    zelmo_initSigHdlr();
    // A peer that closes its end must not kill the daemon on the next write.
    signal(SIGPIPE, SIG_IGN);
    // Library set-up that must happen once, before any other thread exists.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    dbus_threads_init_default();

    zelmo_parse_options(argc, argv);
    zelmo_logInit();
    dm_monitor_register("zelmo", 1, "null", 2, "dm_zelmo.sh");
    zelmo_read_args();
    get_ipaddress(_g_bridge, _g_br0_ip, _g_subnet);

    if (zelmo_create_local_unix_socket() != 0) {
        ZLOG(ZLOG_INFO, "zelmo queue creation failed. so exit..!");
        return -1;
    }
    if (csMsg_init(ZELMO_APP_ID, &msgHandle) != 0) {
        ZLOG(ZLOG_ERR, "[ZELMO]csmsg_init() failed in Zelmo\n");
        return -1;
    }

    if (_g_isRoot) {
        if (start_root_mode() != 0)
            return -1;
    } else {
        ZLOG(ZLOG_ERR, "Extender Mode Process_Message\n");
        say("Started Zelmo Proces in Extender Mode\n");
    }
    ZLOG(ZLOG_ERR, "ZELMO process started...!!!\n");

    // Both threads are created with the timer signal (SIGUSR1) blocked: it
    // is for the main thread only.
    zelmo_do_healthcheck();
    zelmo_dbus_msg_thread_init(nullptr);

    zelmo_handle_main_fds();
}
