// A full disk: the database lives on a small tmpfs of its own (a private
// mount namespace, so root only). While the disk is full every save fails:
// the old file must stay intact, no temporary file may be left behind and
// the daemon keeps running; once there is room again the next save writes
// every change made meanwhile.
#include "hardening_env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Exit status of an isolated daemon that could not make its namespace.
constexpr int kNoNamespace = 97;

// The zelmo binary in a mount namespace of its own (unshare(1); the shell
// it starts mounts a tmpfs of the given size on `dir`, which must exist, and
// then becomes the daemon). The namespace's files are reached from outside
// through /proc/<pid>/root.
class IsolatedDaemon : public DaemonProcess
{
  public:
    IsolatedDaemon(const std::string &dir, const std::string &tmpfs_size,
                   const std::vector<std::string> &args, const std::vector<std::string> &env)
        : DaemonProcess(command(dir, tmpfs_size, args), env, "unshare"), dir_(dir)
    {
        // A child that cannot make its namespace ends at once.
        wait_until([&] { return !running(); }, 300ms);
    }
    // False when the namespace or the mount could not be made.
    bool available() { return running() || wait_exit(0ms).exit_code != kNoNamespace; }
    // "<dir>/<name>" as seen inside the daemon's namespace.
    std::string inside(const std::string &name) const
    {
        return "/proc/" + std::to_string(pid()) + "/root" + dir_ + "/" + name;
    }

  private:
    static std::vector<std::string> command(const std::string &dir, const std::string &tmpfs_size,
                                            const std::vector<std::string> &args)
    {
        std::vector<std::string> out{"--mount",
                                     "sh",
                                     "-c",
                                     "mount -t tmpfs -o \"size=$1,mode=0755\" tmpfs \"$2\" || exit " +
                                         std::to_string(kNoNamespace) + "; shift 2; exec \"$@\"",
                                     "sh",
                                     tmpfs_size,
                                     dir,
                                     DaemonProcess::binary()};
        out.insert(out.end(), args.begin(), args.end());
        return out;
    }
    std::string dir_;
};

// Writes a file until the file system is full; false when it never filled.
bool fill_up(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::vector<char> block(4096, 'f');
    bool full = false;
    for (int i = 0; i < 100000 && !full; ++i)
        full = write(fd, block.data(), block.size()) < 0 && errno == ENOSPC;
    close(fd);
    return full;
}

} // namespace

using FaultDisk = HardeningTest;

TEST_F(FaultDisk, AFullDiskKeepsTheOldDatabaseAndLosesNoChange)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a private mount namespace needs root";
    const std::string dir = root.path() + "/small";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    IsolatedDaemon zelmo(dir, "64k", {"-f", dir + "/devices.db", "-d", "1"}, {tools.path_env()});
    if (!zelmo.available())
        GTEST_SKIP() << "no private mount namespace with a tmpfs here";
    const std::string db = zelmo.inside("devices.db");
    auto hosts = [&] { return stored_hosts(read_file_bytes(db)); };

    for (unsigned h = 1; h <= 3; ++h)
        ASSERT_TRUE(wait_until([&] { return send_host_update(h, "before"); }, 5000ms));
    ASSERT_TRUE(wait_until([&] { return hosts().size() == 3; }, 10000ms)) << zelmo.output();

    ASSERT_TRUE(fill_up(zelmo.inside("filler")));
    const Bytes old = read_file_bytes(db);
    lanhost.clear();
    ASSERT_TRUE(send_host_update(4, "during"));
    ASSERT_TRUE(send_host_update(1, "during"));
    // The LAN host daemon still hears of both; the file stays as it was.
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceStatusChange", 1, 5000ms)) << zelmo.output();
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceAdded", 1, 5000ms)) << zelmo.output();
    EXPECT_TRUE(zelmo.wait_for_output("database left as it was", 2000ms)) << zelmo.output();
    EXPECT_EQ(read_file_bytes(db), old);
    EXPECT_TRUE(parse_db(old).ok);
    EXPECT_FALSE(file_exists(zelmo.inside("devices.db.tmp")));
    EXPECT_TRUE(zelmo.running());

    // Room again: the next save holds the changes made while the disk was full.
    ASSERT_EQ(unlink(zelmo.inside("filler").c_str()), 0);
    ASSERT_TRUE(send_host_update(5, "after"));
    const Hosts expected{{test_mac(1), "during"},
                         {test_mac(2), "before"},
                         {test_mac(3), "before"},
                         {test_mac(4), "during"},
                         {test_mac(5), "after"}};
    EXPECT_TRUE(wait_until([&] { return hosts() == expected; }, 10000ms)) << zelmo.output();
    EXPECT_TRUE(zelmo.running());
}
