// Saves of the database cut short, and what a power cut leaves of them. A
// child process (this program, run again) loads a database, makes a few
// changes and saves after each, with a shim that records or cuts its file
// operations. Whatever is left, the next load must give either the table
// before the save in progress or the table after it:
//  - cut short at every change the save makes, and at a sample of byte
//    offsets within each write, with everything before the cut on disk;
//  - at every point of a recorded run, with only what had been flushed to
//    the disk kept (or everything written so far), per file and for the
//    directory's names.
#include "hardening_env.h"

#include "devtable/devtable.h"
#include "frame/frame.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace
{

using Table = std::vector<DeviceRecord>;

// One scenario: the files the database directory starts with, and the
// changes, each followed by a save.
struct Scenario {
    const char *name;
    std::map<std::string, Bytes> files;
    std::vector<std::string> saves; // each: "set I PORT", "remove I", "add N", "touch", joined by ','
};

// The changes of one save, without the save itself.
void apply_changes(const std::string &save)
{
    std::istringstream steps(save);
    for (std::string step; std::getline(steps, step, ',');) {
        std::istringstream in(step);
        std::string op;
        int a = 0, b = 0;
        in >> op >> a >> b;
        if (op == "set")
            _g_devices[a].Port.set(b);
        else if (op == "add")
            _g_devices[_g_device_count++] = make_record(test_mac(unsigned(a)), "192.168.1.9", "added");
        else if (op == "touch") { // the file looks changed by somebody else
            const timespec epoch[2] = {};
            utimensat(AT_FDCWD, _g_file, epoch, 0);
        } else if (op == "remove") { // as the table does it, without its save
            _g_devices[a] = _g_devices[_g_device_count - 1];
            _g_devices[--_g_device_count] = DeviceRecord{};
        }
    }
}

Table load(const std::string &dir)
{
    devtable_alloc();
    field_set(_g_file, (dir + "/devices.db").c_str());
    Init();
    return Table(_g_devices, _g_devices + _g_device_count);
}

bool same(const Table &a, const Table &b)
{
    // memcmp must not see the null data() of an empty table.
    return a.size() == b.size() &&
           (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(DeviceRecord)) == 0);
}

// The child: ZELMO_SAVE_CHILD names the directory, ZELMO_SAVE_STEPS the
// saves separated by ';'. After each save a line "M" goes to the log.
class SaveChild : public ::testing::Environment
{
    void SetUp() override
    {
        const char *dir = getenv("ZELMO_SAVE_CHILD");
        if (dir == nullptr)
            return;
        load(dir);
        std::istringstream saves(getenv("ZELMO_SAVE_STEPS"));
        const char *log = getenv("ZELMO_IO_LOG");
        for (std::string save; std::getline(saves, save, ';');) {
            apply_changes(save);
            update_db();
            if (log != nullptr)
                std::ofstream(log, std::ios::app) << "M\n";
        }
        _exit(0);
    }
};
const auto *g_child = ::testing::AddGlobalTestEnvironment(new SaveChild);

// A scratch directory in memory where there is one: the saves flush to the
// disk hundreds of times.
struct Scratch {
    std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/zelmo-save-XXXXXX" : "/tmp/zelmo-save-XXXXXX";
    Scratch()
    {
        if (mkdtemp(dir.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
    const std::string &path() const { return dir; }
};

class DatabaseSave : public ::testing::Test
{
  protected:
    Scratch scratch;
    std::string shim;
    void SetUp() override
    {
        shim = scratch.path() + "/iorecord.so";
        const std::string source = std::string(ZELMO_SOURCE_DIR) + "/tests/hardening/iorecord_shim.c";
        if (run_program({"cc", "-shared", "-fPIC", "-O2", "-o", shim, source, "-ldl"}).exit_code != 0)
            GTEST_SKIP() << "no C compiler for the file operation shim";
    }

    static std::vector<Scenario> scenarios()
    {
        Table five;
        for (unsigned i = 0; i < 5; ++i)
            five.push_back(make_record(test_mac(i), "192.168.1.2", "h" + std::to_string(i)));
        Bytes padded = db_image(five);
        padded.resize(padded.size() + 10, 'x');
        return {
            {"in place",
             {{"devices.db", db_image(five)}},
             {"set 1 7", "set 0 8,set 3 9", "remove 1", "add 40"}},
            {"changed by another", {{"devices.db", db_image(five)}}, {"set 1 7", "touch,set 1 9"}},
            {"unknown file", {{"devices.db", padded}}, {"set 2 5", "set 4 6,set 0 1"}},
            {"no file", {}, {"add 30,add 31,add 32", "set 1 3"}},
        };
    }

    // Writes the scenario's starting files into a new directory.
    std::string start(const Scenario &s, const std::string &name) const
    {
        std::string dir = scratch.path() + "/" + name;
        mkdir(dir.c_str(), 0700);
        for (const auto &[file, bytes] : s.files)
            std::ofstream(dir + "/" + file, std::ios::binary)
                .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        return dir;
    }

    // The tables before and after each save.
    static std::vector<Table> states(const Scenario &s, const std::string &dir)
    {
        std::vector<Table> out{load(dir)};
        for (const std::string &save : s.saves) {
            apply_changes(save);
            out.emplace_back(_g_devices, _g_devices + _g_device_count);
        }
        return out;
    }

    void run_child(const Scenario &s, const std::string &dir, const std::vector<std::string> &extra) const
    {
        std::string saves;
        for (const std::string &save : s.saves)
            saves += (saves.empty() ? "" : ";") + save;
        std::vector<std::string> env{"LD_PRELOAD=" + shim, "ZELMO_SAVE_CHILD=" + dir, "ZELMO_IO_DIR=" + dir,
                                     "ZELMO_SAVE_STEPS=" + saves};
        env.insert(env.end(), extra.begin(), extra.end());
        if (built_with_asan())
            env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
        ProcessEnd end =
            run_program({"/proc/self/exe", "--gtest_filter=DatabaseSave.*"}, nullptr, nullptr, 10000ms, env);
        ASSERT_EQ(end.exit_code, 0);
    }

    // The operations of an uncut run, one per line, and the inodes of the
    // starting files.
    std::vector<std::string> record(const Scenario &s, const std::string &name,
                                    std::map<std::string, uint64_t> *inodes = nullptr) const
    {
        const std::string dir = start(s, name), log = scratch.path() + "/" + name + ".log";
        for (const auto &file : s.files) {
            struct stat st = {};
            stat((dir + "/" + file.first).c_str(), &st);
            if (inodes != nullptr)
                (*inodes)[file.first] = st.st_ino;
        }
        run_child(s, dir, {"ZELMO_IO_LOG=" + log});
        std::ifstream in(log);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
};

bool is_change(const std::string &line)
{
    return !line.empty() && (line[0] == 'W' || line[0] == 'T' || line[0] == 'R' || line[0] == 'U');
}

size_t write_length(const std::string &line)
{
    std::istringstream in(line);
    std::string op, ino, offset, hex;
    in >> op >> ino >> offset >> hex;
    return hex.size() / 2;
}

} // namespace

TEST_F(DatabaseSave, CutShortAtAnyByteLeavesTheTableBeforeOrAfter)
{
    int cuts = 0, befores = 0, afters = 0;
    for (const Scenario &s : scenarios()) {
        SCOPED_TRACE(s.name);
        const std::vector<std::string> ops = record(s, std::string("rec-") + std::to_string(cuts));
        const std::vector<Table> state = states(s, start(s, "states-" + std::to_string(cuts)));
        ASSERT_TRUE(same(load(start(s, "check-" + std::to_string(cuts))), state[0]));
        int change = 0, saved = 0;
        for (const std::string &line : ops) {
            if (line == "M") {
                ++saved;
                continue;
            }
            if (!is_change(line))
                continue;
            ++change;
            std::set<size_t> offsets{0};
            if (line[0] == 'W') {
                size_t len = write_length(line);
                offsets.insert({1, len / 2, len - 1, 4932 % len, 4936 % len});
            }
            for (size_t bytes : offsets) {
                SCOPED_TRACE("change " + std::to_string(change) + " (" + line.substr(0, 40) + ") after " +
                             std::to_string(bytes) + " bytes");
                const std::string dir = start(s, "cut-" + std::to_string(++cuts));
                run_child(s, dir, {"ZELMO_IO_CUT=" + std::to_string(change) + ":" + std::to_string(bytes)});
                const Table loaded = load(dir);
                const bool before = same(loaded, state[size_t(saved)]);
                const bool after = same(loaded, state[size_t(saved) + 1]);
                EXPECT_TRUE(before || after) << loaded.size() << " records";
                befores += before;
                afters += after && !before;
            }
        }
        EXPECT_EQ(saved, int(s.saves.size()));
    }
    printf("%d cuts: %d left the table before the save, %d after it\n", cuts, befores, afters);
    EXPECT_GT(befores, 0);
    EXPECT_GT(afters, 0);
}

TEST_F(DatabaseSave, OnlyWhatWasFlushedStillLoadsTheTableBeforeOrAfter)
{
    int points = 0, images = 0;
    for (const Scenario &s : scenarios()) {
        SCOPED_TRACE(s.name);
        std::map<std::string, uint64_t> names_now, names_flushed; // directory: name -> inode
        const std::vector<std::string> ops = record(s, std::string("rec-") + s.name, &names_now);
        const std::vector<Table> state = states(s, start(s, std::string("states-") + s.name));
        std::map<uint64_t, Bytes> now, flushed; // inode -> content
        for (const auto &[name, ino] : names_now)
            now[ino] = flushed[ino] = s.files.at(name);
        names_flushed = names_now;
        const std::string dir = scratch.path() + "/image";
        int saved = 0;
        for (size_t at = 0; at <= ops.size(); ++at) {
            // The files as a power cut could leave them: the directory's
            // names as flushed or as they are, and each file's bytes as
            // flushed or everything written so far.
            for (const auto *names : {&names_flushed, &names_now}) {
                std::vector<std::pair<std::string, uint64_t>> files(names->begin(), names->end());
                for (unsigned mask = 0; mask < (1u << files.size()); ++mask) {
                    std::filesystem::remove_all(dir);
                    mkdir(dir.c_str(), 0700);
                    for (size_t i = 0; i < files.size(); ++i) {
                        const Bytes &b = (mask >> i & 1) ? now[files[i].second] : flushed[files[i].second];
                        std::ofstream(dir + "/" + files[i].first, std::ios::binary)
                            .write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
                    }
                    const Table loaded = load(dir);
                    ++images;
                    EXPECT_TRUE(same(loaded, state[size_t(saved)]) ||
                                (size_t(saved) + 1 < state.size() && same(loaded, state[size_t(saved) + 1])))
                        << "after operation " << at << " (" << (at ? ops[at - 1].substr(0, 40) : "") << "), "
                        << (names == &names_now ? "names as they are" : "names as flushed") << ", mask "
                        << mask << ": " << loaded.size() << " records";
                }
            }
            ++points;
            if (at == ops.size())
                break;
            std::istringstream in(ops[at]);
            std::string op, a, b;
            in >> op >> a >> b;
            if (op == "M") {
                ++saved;
            } else if (op == "C") {
                names_now[b] = std::stoull(a);
            } else if (op == "N") {
                now[std::stoull(a)] = flushed[std::stoull(a)] = {};
                names_now[b] = std::stoull(a);
            } else if (op == "W") {
                Bytes &content = now[std::stoull(a)];
                std::string hex;
                in >> hex;
                size_t offset = std::stoull(b);
                if (content.size() < offset + hex.size() / 2)
                    content.resize(offset + hex.size() / 2);
                for (size_t i = 0; i < hex.size() / 2; ++i)
                    content[offset + i] = uint8_t(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
            } else if (op == "T") {
                now[std::stoull(a)].resize(std::stoull(b));
            } else if (op == "S") {
                flushed[std::stoull(a)] = now[std::stoull(a)];
            } else if (op == "D") {
                names_flushed = names_now;
            } else if (op == "R") {
                names_now[b] = names_now.at(a);
                names_now.erase(a);
            } else if (op == "U") {
                names_now.erase(a);
            }
        }
        EXPECT_EQ(saved, int(s.saves.size()));
    }
    printf("%d points of the recorded saves, %d file images loaded\n", points, images);
}
