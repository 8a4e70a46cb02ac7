#include "tool_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

std::string build_dir()
{
    std::string zelmo = ZELMO_BINARY;
    return zelmo.substr(0, zelmo.rfind('/'));
}

std::string gwsim_path()
{
    return build_dir() + "/tools/gwsim/gwsim";
}

TempDir::TempDir(const char *prefix)
{
    std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

TempDir::~TempDir()
{
    nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

static std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Spawns argv with stdout and stderr to the two files (the same file when equal).
static pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   const std::string &out, const std::string &err)
{
    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e) {
        std::string entry = *e;
        bool overridden = false;
        for (const auto &o : env)
            overridden = overridden || entry.compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0;
        if (!overridden)
            envs.push_back(entry);
    }
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char *> cargv, cenv;
    for (const auto &a : argv)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    for (auto &e : envs)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err == out)
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
    else
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(rc));
    return pid;
}

ToolResult run_tool(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                    std::chrono::milliseconds timeout)
{
    TempDir dir("gwsim-run");
    ToolResult r;
    pid_t pid = spawn(argv, env, dir.path() + "/out", dir.path() + "/err");
    int status = 0;
    bool done = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    r.status = done && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(dir.path() + "/out");
    r.err = slurp(dir.path() + "/err");
    return r;
}

BackgroundTool::BackgroundTool(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    char tmpl[] = "/tmp/gwsim-bg-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    close(fd);
    out_path_ = tmpl;
    pid_ = spawn(argv, env, out_path_, out_path_);
}

BackgroundTool::~BackgroundTool()
{
    stop();
    unlink(out_path_.c_str());
}

int BackgroundTool::decode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool BackgroundTool::running()
{
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = decode(status);
        pid_ = -1;
    }
    return pid_ > 0;
}

std::string BackgroundTool::output() const
{
    return slurp(out_path_);
}

bool BackgroundTool::wait_output(const std::string &text, std::chrono::milliseconds timeout) const
{
    return eventually([&] { return output().find(text) != std::string::npos; }, timeout);
}

int BackgroundTool::stop()
{
    if (pid_ <= 0)
        return status_;
    int status = 0;
    kill(pid_, SIGTERM);
    if (!eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 5s)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        status_ = -1;
    } else {
        status_ = decode(status);
    }
    pid_ = -1;
    return status_;
}

MessageSocket::MessageSocket()
{
    const char *root = getenv("ZELMO_ROOT");
    std::string dir = std::string(root ? root : "") + "/var/run/csmsg";
    for (size_t pos = 1; pos <= dir.size(); ++pos)
        if (pos == dir.size() || dir[pos] == '/')
            mkdir(dir.substr(0, pos).c_str(), 0755);
    std::string path = dir + "/161.sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw std::runtime_error("socket path too long");
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot bind " + path);
}

MessageSocket::~MessageSocket()
{
    close(fd_);
}

std::vector<unsigned char> MessageSocket::receive(std::chrono::milliseconds timeout)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, int(timeout.count())) != 1)
        return {};
    std::vector<unsigned char> b(65536);
    ssize_t n = recv(fd_, b.data(), b.size(), 0);
    b.resize(n > 0 ? size_t(n) : 0);
    return b;
}
