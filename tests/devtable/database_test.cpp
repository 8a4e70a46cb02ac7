// Loading, discarding and rewriting the database file.
#include "table_helpers.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <thread>

TEST_F(TableTest, LoadKeepsGoodFilesAndDiscardsDamagedOnes)
{
    std::vector<DeviceRecord> three = {make_record(test_mac(1)), make_record(test_mac(2)),
                                       make_record(test_mac(3))};
    three[2].HDDState.set(9); // in the half that a cut file loses
    Bytes good = db_image(three);
    Bytes truncated(good.begin(), good.end() - 4932 / 2);
    struct Case {
        const char *name;
        Bytes image;
        bool kept;
        int count;
        int loaded; // slots holding a record
    } cases[] = {
        {"good", good, true, 3, 3},
        {"empty", {}, false, 0, 0},
        {"size 4931", db_image(three, "4931"), false, 0, 0},
        {"size text", db_image(three, "abc"), false, 0, 0},
        {"count 257", db_image(three, "4932", "257"), false, 0, 0},
        {"count -1", db_image(three, "4932", "-1"), false, 0, 0},
        {"count empty", db_image(three, "4932", ""), true, 0, 0},
        {"count 5", db_image(three, "4932", "5"), true, 5, 3},
        // A short file is not detected: the count stays as stored, the
        // third slot gets the first half of its record, the rest stays zero.
        {"headers cut", Bytes(good.begin(), good.begin() + 40), true, 3, 0},
        {"last record cut", truncated, true, 3, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(devtable_alloc(), 0);
        gw.write_db_bytes(c.image);
        EXPECT_EQ(Init(), 0);
        EXPECT_EQ(file_exists(gw.db_path()), c.kept);
        // A damaged file is moved aside, not deleted.
        if (!c.kept) {
            EXPECT_EQ(gw.read_db(gw.db_path() + ".damaged"), c.image);
        }
        EXPECT_EQ(_g_device_count, c.count);
        for (int i = 0; i < MAX_DEVICES; ++i)
            EXPECT_EQ(_g_devices[i].lanHostEntry.MACAddress[0] == '\0', i >= c.loaded) << i;
    }
    EXPECT_EQ(memcmp(&_g_devices[2], &three[2], 4932 / 2), 0);
    const auto *tail = reinterpret_cast<const uint8_t *>(&_g_devices[2]) + 4932 / 2;
    EXPECT_EQ(std::count(tail, tail + 4932 / 2, 0), 4932 / 2);
    EXPECT_EQ(mac_at(1), test_mac(2));

    // A missing file loads as an empty table, which the next save writes.
    unlink(gw.db_path().c_str());
    ASSERT_EQ(devtable_alloc(), 0);
    EXPECT_EQ(Init(), 0);
    EXPECT_FALSE(file_exists(gw.db_path()));
    EXPECT_EQ(update_db(), 0);
    EXPECT_EQ(gw.read_db(), db_image({}));

    field_set(_g_file, (gw.path() + "/no/such/dir/devices.db").c_str());
    EXPECT_EQ(Init(), -1);
    EXPECT_EQ(update_db(), -1);
    _g_file[0] = '\0';
    EXPECT_EQ(Init(), -1);
    EXPECT_EQ(update_db(), -1);
}

TEST_F(TableTest, SavesWriteOnlyChangedRecordsAndKeepTheFileWhole)
{
    const mode_t saved_umask = umask(0);
    for (int i = 0; i < 4; ++i)
        add(test_mac(i));
    auto stat_of = [&](const std::string &path) {
        struct stat st = {};
        stat(path.c_str(), &st);
        return st;
    };
    auto table = [] { return db_image(std::vector<DeviceRecord>(_g_devices, _g_devices + _g_device_count)); };
    ASSERT_EQ(update_db(), 0); // no file yet: written whole
    EXPECT_EQ(gw.read_db(), table());
    EXPECT_EQ(stat_of(gw.db_path()).st_mode & 0777, 0600u);
    const ino_t inode = stat_of(gw.db_path()).st_ino;

    // Identical: nothing written. One record: the record and the header,
    // twice (journal and in place), then the journal's 16-byte head zeroed.
    // A removal: the moved record and the header, the file cut to the new
    // count.
    const uint64_t journal = 16 + 4936 + 64 + 8, record = journal + 4932 + 64 + 16;
    struct Step {
        const char *name;
        std::function<void()> change;
        uint64_t bytes;
    } steps[] = {
        {"identical", [] {}, 0},
        {"one record", [] { _g_devices[2].Port.set(5); }, record},
        {"two records", [] { _g_devices[0].Port.set(6), _g_devices[3].Port.set(7); }, record + 4936 + 4932},
        {"removal", [] { remove_old_device_by_index(1); }, record},
        {"new record", [] { add(test_mac(9)); }, record},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        const uint64_t before = _g_db_bytes_written;
        step.change();
        ASSERT_EQ(update_db(), 0);
        EXPECT_EQ(_g_db_bytes_written - before, step.bytes);
        EXPECT_EQ(gw.read_db(), table());
        EXPECT_EQ(stat_of(gw.db_path()).st_ino, inode);
        const Bytes head = read_file_bytes(gw.db_path() + ".journal");
        EXPECT_TRUE(head.empty() ||
                    (head.size() >= 16 && Bytes(head.begin(), head.begin() + 16) == Bytes(16, 0)));
    }
    EXPECT_EQ(stat_of(gw.db_path() + ".journal").st_mode & 0777, 0600u);

    // A file that is no longer the one written is written whole, keeping
    // the mode and owner the database has.
    ASSERT_EQ(chmod(gw.db_path().c_str(), 0640), 0);
    ASSERT_EQ(chown(gw.db_path().c_str(), 65534, 65534), 0);
    _g_devices[0].Port.set(8);
    ASSERT_EQ(update_db(), 0);
    EXPECT_EQ(gw.read_db(), table());
    struct stat st = stat_of(gw.db_path());
    EXPECT_NE(st.st_ino, inode);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(st.st_uid, 65534u);
    unlink(gw.db_path().c_str());
    ASSERT_EQ(update_db(), 0);
    EXPECT_EQ(gw.read_db(), table());
    EXPECT_EQ(stat_of(gw.db_path()).st_mode & 0777, 0600u);
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(gw.file("/configs")))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"devices.db", "devices.db.journal"}));
    umask(saved_umask);
}

TEST_F(TableTest, ConcurrentDumpReaderSeesWholeFiles)
{
    // The writer alternates between tables of 3 and 200 records while the
    // real binary dumps and shows the file over and over.
    for (int i = 0; i < 200; ++i)
        add(test_mac(i));
    _g_device_count = 3;
    ASSERT_EQ(update_db(), 0);
    const std::string rule = "\n" + std::string(84, '-') + "\n";
    std::atomic<bool> stop{false};
    std::atomic<int> runs{0};
    std::vector<size_t> bad_rows;
    std::thread reader([&] {
        while (!stop) {
            std::string out, err;
            const bool show = runs % 2 == 1;
            run_zelmo(show ? std::vector<std::string>{"show", "--json"} : std::vector<std::string>{"dump"},
                      &out, &err);
            const std::string &text = show ? out : err;
            const std::string &mark = show ? std::string("\"MACAddress\"") : rule;
            size_t rows = 0;
            for (size_t pos = text.find(mark); pos != std::string::npos; pos = text.find(mark, pos + 1))
                ++rows;
            if (rows != 3 && rows != 200)
                bad_rows.push_back(rows);
            ++runs;
        }
    });
    auto deadline = std::chrono::steady_clock::now() + 15s;
    for (int n = 0; runs < 20 && std::chrono::steady_clock::now() < deadline; ++n) {
        _g_device_count = n % 2 ? 3 : 200;
        _g_devices[0].Port.set(n);
        if (update_db() != 0) {
            ADD_FAILURE() << "update_db failed";
            break;
        }
    }
    stop = true;
    reader.join();
    EXPECT_GE(runs, 3);
    EXPECT_TRUE(bad_rows.empty()) << bad_rows.size() << " partial dumps, first " << bad_rows.front();
    EXPECT_TRUE(file_exists(gw.db_path()));
}
