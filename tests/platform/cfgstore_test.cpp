#include "fixture/fixture.h"
#include "platform/cfgstore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace
{

struct Obj {
    CfgObjHeader header;
    uint8_t body[200];
};

Obj make_obj(uint32_t oid, const InstanceId &id, uint8_t fill)
{
    Obj o;
    memset(&o, fill, sizeof o);
    o.header = CfgObjHeader{};
    o.header.ObjectId.set(oid);
    o.header.instanceId = id;
    return o;
}

std::string key(const Obj &o)
{
    std::string k = std::to_string(o.header.instanceId.depth);
    for (const le_u32 &n : o.header.instanceId.inst) {
        k += '.';
        k += std::to_string(n.get());
    }
    return k;
}

} // namespace

TEST(CfgStore, GetReadsTheInstanceFileAndZeroFills)
{
    GatewayRoot root;
    // A file shorter than the buffer: the rest is zeroed.
    Obj small = make_obj(900, make_instance(1, {2}), 0x11);
    root.write_object(&small, 40);
    Obj got = make_obj(900, make_instance(1, {2}), 0xAA);
    ASSERT_EQ(cfg_getObj(&got, sizeof got, 0), 0);
    EXPECT_EQ(memcmp(&got, &small, 40), 0);
    EXPECT_EQ(got.body[8], 0);
    EXPECT_EQ(got.body[199], 0);

    // A buffer smaller than the file: at most size bytes are written.
    Obj big = make_obj(900, make_instance(1, {3}), 0x22);
    root.write_object(&big, sizeof big);
    Obj part = make_obj(900, make_instance(1, {3}), 0xAA);
    ASSERT_EQ(cfg_getObj(&part, 100, 0), 0);
    EXPECT_EQ(part.body[100 - 32 - 1], 0x22);
    EXPECT_EQ(part.body[100 - 32], 0xAA);

    // Missing instance or object: non-zero, object unchanged.
    Obj missing = make_obj(900, make_instance(1, {4}), 0xAA);
    Obj before = missing;
    EXPECT_NE(cfg_getObj(&missing, sizeof missing, 0), 0);
    EXPECT_EQ(memcmp(&missing, &before, sizeof before), 0);
    Obj absent = make_obj(901, make_instance(1, {1}), 0xAA);
    EXPECT_NE(cfg_getObj(&absent, sizeof absent, 0), 0);
    EXPECT_NE(cfg_getObj(&absent, 31, 0), 0);
}

TEST(CfgStore, NextWalksInstancesInAscendingOrder)
{
    GatewayRoot root;
    std::vector<InstanceId> ids = {make_instance(2, {1, 10}), make_instance(2, {1, 5}),
                                   make_instance(1, {3}),     make_instance(2, {1, 9}),
                                   make_instance(1, {1}),     make_instance(2, {2, 1})};
    for (const InstanceId &id : ids) {
        Obj o = make_obj(CFG_OID_LANHOST, id, uint8_t(id.inst[1].get()));
        root.write_object(&o, sizeof o);
    }
    // Files that name no instance are passed over.
    std::string dir = root.file("/var/lib/cfgstore/273/");
    for (const char *junk : {"junk", ".tmp.1.2.3", "2.1.5.0.0.0", "2.1.x.0.0.0.0", "2.1.5.0.0.0.0.0",
                             "256.0.0.0.0.0.0", "1.4294967296.0.0.0.0.0"})
        write_file(dir + junk, "garbage");

    std::vector<std::string> order;
    Obj walk = make_obj(CFG_OID_LANHOST, InstanceId{}, 0);
    while (cfg_getNextObj(&walk, sizeof walk, 0) == 0) {
        order.push_back(key(walk));
        EXPECT_EQ(walk.body[0], uint8_t(walk.header.instanceId.inst[1].get()));
        ASSERT_LT(order.size(), 10u);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"1.1.0.0.0.0.0", "1.3.0.0.0.0.0", "2.1.5.0.0.0.0",
                                               "2.1.9.0.0.0.0", "2.1.10.0.0.0.0", "2.2.1.0.0.0.0"}));

    // An instance header inside the file never steers the walk: the name does.
    Obj wrong = make_obj(CFG_OID_LANHOST, make_instance(1, {1}), 7);
    write_file(dir + "3.1.0.0.0.0.0", &wrong, sizeof wrong);
    Obj after = make_obj(CFG_OID_LANHOST, make_instance(2, {2, 1}), 0);
    ASSERT_EQ(cfg_getNextObj(&after, sizeof after, 0), 0);
    EXPECT_EQ(key(after), "3.1.0.0.0.0.0");
    EXPECT_NE(cfg_getNextObj(&after, sizeof after, 0), 0);

    Obj none = make_obj(555, InstanceId{}, 0);
    EXPECT_NE(cfg_getNextObj(&none, sizeof none, 0), 0);
}

TEST(CfgStore, SetReplacesOneInstanceAtomically)
{
    GatewayRoot root;
    Obj a = make_obj(CFG_OID_LANHOST, make_instance(2, {1, 5}), 0x01);
    Obj b = make_obj(CFG_OID_LANHOST, make_instance(2, {1, 6}), 0x02);
    ASSERT_EQ(cfg_setObj(&a, sizeof a, 0), 0); // creates its directories
    ASSERT_EQ(cfg_setObj(&b, sizeof b, 0), 0);
    std::string path_a = root.file("/var/lib/cfgstore/273/2.1.5.0.0.0.0");
    Bytes b_before = root.read_object(CFG_OID_LANHOST, b.header.instanceId);
    EXPECT_EQ(read_file_bytes(path_a), to_bytes(a));

    // A reader that opened the old file keeps the old bytes: the file is replaced, not rewritten.
    int old_fd = open(path_a.c_str(), O_RDONLY);
    ASSERT_GE(old_fd, 0);
    Obj a2 = make_obj(CFG_OID_LANHOST, make_instance(2, {1, 5}), 0x03);
    ASSERT_EQ(cfg_setObj(&a2, 64, 0), 0);
    uint8_t old[sizeof a];
    EXPECT_EQ(pread(old_fd, old, sizeof old, 0), ssize_t(sizeof old));
    EXPECT_EQ(memcmp(old, &a, sizeof a), 0);
    close(old_fd);
    Bytes a2_bytes = to_bytes(a2);
    a2_bytes.resize(64);
    EXPECT_EQ(read_file_bytes(path_a), a2_bytes);
    EXPECT_EQ(root.read_object(CFG_OID_LANHOST, b.header.instanceId), b_before);
    EXPECT_EQ(list_dir(root.file("/var/lib/cfgstore/273")),
              (std::vector<std::string>{"2.1.5.0.0.0.0", "2.1.6.0.0.0.0"}));
    EXPECT_NE(cfg_setObj(&a, 31, 0), 0);

    // Writers and a reader at once: every read sees one whole version.
    std::atomic<bool> mixed{false};
    auto writer = [&](uint8_t fill) {
        for (int i = 0; i < 150; ++i) {
            Obj o = make_obj(CFG_OID_LANHOST, make_instance(2, {1, 7}), fill);
            EXPECT_EQ(cfg_setObj(&o, sizeof o, 0), 0);
        }
    };
    Obj first = make_obj(CFG_OID_LANHOST, make_instance(2, {1, 7}), 0x10);
    ASSERT_EQ(cfg_setObj(&first, sizeof first, 0), 0);
    std::thread w1(writer, 0x10), w2(writer, 0x20);
    for (int i = 0; i < 300; ++i) {
        Obj r = make_obj(CFG_OID_LANHOST, make_instance(2, {1, 7}), 0);
        ASSERT_EQ(cfg_getObj(&r, sizeof r, 0), 0);
        for (uint8_t byte : r.body)
            if (byte != r.body[0] || (byte != 0x10 && byte != 0x20))
                mixed = true;
    }
    w1.join();
    w2.join();
    EXPECT_FALSE(mixed);
    EXPECT_EQ(list_dir(root.file("/var/lib/cfgstore/273")).size(), 3u); // no temporary file left
}
