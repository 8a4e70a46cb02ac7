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

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <dbus/dbus.h>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Texts on standard output go out at once: the daemon only ever ends by a
// signal, so nothing may wait in a stdio buffer.
void say(const char *text)
{
    fputs(text, stdout);
    fflush(stdout);
}

// A start-up failure: one line on standard error naming what failed, the
// object and the system's reason, then exit status 1.
[[noreturn]] void startup_failed(const char *what, const char *object, int error)
{
    fprintf(stderr, "zelmo: %s %s: %s\n", what, object, strerror(error));
    exit(1);
}

// The lock descriptor of the running daemon, held until the process ends.
int g_instance_lock = -1;

// One daemon per gateway root: an exclusive flock on the lock file of the
// run directory, which the kernel drops when the process dies, so a file
// left behind never blocks a start. The holder's pid is written into the
// file for the refusal message. A second start ends here, before it has
// touched anything: exit status 1.
void take_instance_lock()
{
    std::string dir = root_path("/var/run");
    std::string path = dir + "/zelmo.lock";
    if (make_dirs(dir) != 0)
        startup_failed("cannot create", dir.c_str(), errno);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        startup_failed("cannot open", path.c_str(), errno);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            startup_failed("cannot lock", path.c_str(), errno);
        // The holder writes its pid just after taking the lock.
        char text[24] = "";
        for (int attempt = 0; attempt < 50; ++attempt) {
            ssize_t n = pread(fd, text, sizeof text - 1, 0);
            text[n > 0 ? n : 0] = '\0';
            if (atoi(text) > 0)
                break;
            usleep(10000);
        }
        fprintf(stderr, "zelmo: already running (pid %d)\n", atoi(text));
        exit(1);
    }
    char pid[24];
    int length = snprintf(pid, sizeof pid, "%d\n", int(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, size_t(length), 0) != length)
        startup_failed("cannot write", path.c_str(), errno);
    g_instance_lock = fd;
}

// Root mode: load the table, reset it, show it, hook up the message service
// and the capture chain, and write the table back; a failure ends the process.
void start_root_mode()
{
    // The capture chain is root mode's: a stop from here on flushes it,
    // also one that comes before the chain is prepared (rules a killed
    // predecessor left behind stay no longer than this start).
    zelmo_armChainFlush();
    ZLOG(ZLOG_INFO, "[ZELMO]Root Mode Process_Message\n");
    say("Started Zelmo Process\n");
    if (Init() != 0) {
        int error = errno;
        ZLOG(ZLOG_ERR, "File operators are NOK \n");
        startup_failed("cannot write", _g_file, error);
    }
    clear_all_timers();
    zelmo_dumpall();
    // The main loop needs the message-service descriptor in root mode, so
    // a failed call and a missing descriptor (-1) both end the start-up.
    int ret = csMsg_getEventHandle(msgHandle, &csmsg_fd);
    if (ret != 0 || csmsg_fd < 0) {
        ZLOG(ZLOG_INFO, "[ZELMO]csMsg_getEventHandle() failed, ret=%d fd=%d\n", ret, csmsg_fd);
        startup_failed("cannot get the descriptor of", "the message service", EBADF);
    }
    init_iptables_chain();
    exists_iptable();
    update_db();
}

} // namespace

int main(int argc, char **argv)
{
    // What the daemon creates (database, registration, trace, archive) is
    // for root alone; readers create nothing.
    umask(077);
    // One malloc arena for all threads: a burst of signals that the bus
    // thread copies is freed back into the heap the main thread uses, whose
    // top goes back to the system, instead of into a thread arena of its
    // own that keeps its peak resident. The threads rarely allocate at the
    // same moment, so the shared arena's lock is not contended.
    mallopt(M_ARENA_MAX, 1);
    setvbuf(stdout, nullptr, _IONBF, 0);
    field_set(_g_file, root_path("/configs/devices.db").c_str());

    if (devtable_alloc() != 0)
        startup_failed("cannot allocate", "the device table", ENOMEM);
    zelmo_process_dumpcommand(argc, argv);
    // The command words and -l have exited by now: what follows is a daemon.
    zelmo_parse_options(argc, argv);
    take_instance_lock();

    zelmo_initSigHdlr();
    // A peer that closes its end must not kill the daemon on the next write.
    signal(SIGPIPE, SIG_IGN);
    // Library set-up that must happen once, before any other thread exists.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    dbus_threads_init_default();

    zelmo_logInit();
    dm_monitor_register("zelmo", 1, "null", 2, "dm_zelmo.sh");
    zelmo_read_args();
    get_ipaddress(_g_bridge, _g_br0_ip, _g_subnet);

    if (zelmo_create_local_unix_socket() != 0) {
        int error = errno;
        ZLOG(ZLOG_INFO, "zelmo queue creation failed. so exit..!");
        startup_failed("cannot create", "the local message channel", error);
    }
    if (csMsg_init(ZELMO_APP_ID, &msgHandle) != 0) {
        int error = errno;
        ZLOG(ZLOG_ERR, "[ZELMO]csmsg_init() failed in Zelmo\n");
        startup_failed("cannot open the message service socket in", root_path("/var/run/csmsg").c_str(),
                       error);
    }

    if (_g_isRoot) {
        start_root_mode();
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
