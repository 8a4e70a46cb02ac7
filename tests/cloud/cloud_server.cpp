#include "cloud/cloud_server.h"

#include "cloud/cloud.h"
#include "fixture/fixture.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <curl/curl.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

// One line of the server's log (see cloud_server.py): texts as "x" and their
// bytes in hex, or "-" when missing; counts before the header and part lists.
RecordedRequest parse_request(const std::string &line)
{
    std::istringstream in(line);
    auto text = [&](bool *present = nullptr) {
        std::string token, out;
        in >> token;
        if (present)
            *present = token != "-";
        for (size_t i = 1; i + 1 < token.size(); i += 2)
            out += char(std::stoi(token.substr(i, 2), nullptr, 16));
        return out;
    };
    RecordedRequest r;
    r.method = text();
    r.path = text();
    r.authorization = text(&r.has_authorization);
    size_t n = 0;
    for (in >> n; n > 0; --n) {
        std::string name = text();
        r.headers.emplace_back(name, text());
    }
    for (in >> n; n > 0; --n) {
        RecordedPart p;
        p.disposition = text();
        p.name = text();
        text(&p.has_filename);
        p.content_type = text();
        p.data = text();
        r.parts.push_back(p);
    }
    return r;
}

// quiet: the program's output goes to /dev/null.
pid_t spawn(const std::vector<std::string> &args, bool quiet = false)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

} // namespace

std::optional<std::string> RecordedRequest::header(const std::string &name) const
{
    for (const auto &[key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0)
            return value;
    return std::nullopt;
}

CloudServer::CloudServer(const std::string &mode, const std::string &cert, const std::string &key)
    : dir_(make_temp_dir("zelmo-cloud"))
{
    std::vector<std::string> args = {"/usr/bin/python3",
                                     ZELMO_SOURCE_DIR "/tests/cloud/cloud_server.py",
                                     "--port-file",
                                     dir_ + "/port",
                                     "--log",
                                     dir_ + "/requests.log",
                                     "--mode",
                                     mode};
    if (!cert.empty())
        args.insert(args.end(), {"--cert", cert, "--key", key});
    pid_ = spawn(args);
    if (!wait_until([&] { return file_exists(dir_ + "/port"); }, 10000ms))
        throw std::runtime_error("cloud server did not start");
    port_ = std::stoi(read_file(dir_ + "/port"));
}

CloudServer::~CloudServer()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    remove_tree(dir_);
}

std::string CloudServer::url(const std::string &path, const std::string &scheme,
                             const std::string &host) const
{
    return scheme + "://" + host + ":" + std::to_string(port_) + path;
}

std::vector<RecordedRequest> CloudServer::requests() const
{
    std::vector<RecordedRequest> out;
    for (const std::string &line : read_lines(dir_ + "/requests.log"))
        out.push_back(parse_request(line));
    return out;
}

bool CloudServer::wait_requests(size_t count, int timeout_ms) const
{
    return wait_until([&] { return read_lines(dir_ + "/requests.log").size() >= count; },
                      std::chrono::milliseconds(timeout_ms));
}

TestCert::TestCert(const std::string &dir) : cert(dir + "/server.pem"), key(dir + "/server.key")
{
    int status = 0;
    pid_t pid = spawn({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-nodes", "-days", "2", "-subj", "/CN=localhost", "-addext",
                       "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", key, "-out", cert},
                      true);
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("openssl could not make the test certificate");
}

void CloudTest::SetUp()
{
    static const bool curl_ready = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
    ASSERT_TRUE(curl_ready);
    _g_cloud_reachable = 1;
    field_set(_g_oui, "A1B2C3");
    field_set(_g_model, "XS-010");
    field_set(_g_serial, "SN 0001");
    cslibLog_setDestination(1);
    cslibLog_setLevel(7);
}
