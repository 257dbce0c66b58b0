// The device table's invariants: key 0 never claims a record, 200 records and
// not one more, clearing, and whole-record copies while another thread writes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "devices/devices.h"
#include "tests/support/bounded.h"

namespace {

bool allZero(const DeviceRecord& r) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
    for (size_t i = 0; i < sizeof r; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

DeviceRecord rawRecord(int index) {
    devices_lock();
    const DeviceRecord r = devices_table()[index];
    devices_unlock();
    return r;
}

const uint8_t kIntensity3[] = {1, 0x0B};  // a setup record: length 1, value 0x0B

}  // namespace

TEST(DeviceTable, KeyZeroNeverClaimsARecordTwoHundredNotOneMoreAndClearingThem) {
    dev_removeAll();
    addDevUID(0x1000);
    addDevUID(0x1001);
    // Look-ups with key 0 land on the first free record and leave it free.
    EXPECT_EQ(findDevUID(0), 2);
    EXPECT_EQ(dev_getIntenzity(0), 0);
    EXPECT_EQ(dev_count(), 2);
    // An answer signed with UID 0 writes nothing, not even into that free record.
    for (uint8_t tag : {DEV_TAG_INTENSITY, DEV_TAG_ACTIVE, DEV_TAG_VERSION})
        EXPECT_FALSE(dev_updateFromAnswer(0, tag, kIntensity3)) << int(tag);
    dev_forgetDmxBlocks(0);
    EXPECT_TRUE(allZero(rawRecord(2))) << "the next panel listed would start from what they left";
    DeviceRecord copy;
    EXPECT_FALSE(dev_copyRecord(2, &copy));

    dev_removeAll();
    for (uint32_t i = 0; i < DEV_MAX; ++i) ASSERT_EQ(addDevUID(0x1000 + i), static_cast<int>(i));
    EXPECT_EQ(dev_count(), DEV_MAX);
    EXPECT_EQ(addDevUID(0x9999), -1);
    EXPECT_EQ(findDevUID(0x9999), -1);
    EXPECT_EQ(dev_getIntenzity(0x9999), -1);
    EXPECT_EQ(dev_getBtnType(0x9999, 0), -1);
    dev_setIntenzity(0x9999, kIntensity3);
    EXPECT_FALSE(dev_updateFromAnswer(0x9999, DEV_TAG_INTENSITY, kIntensity3));
    EXPECT_EQ(getDevUID(0x9999), nullptr);
    // The last record is as usable as the first; nothing lies past it.
    EXPECT_EQ(findDevUID(0x1000 + DEV_MAX - 1), DEV_MAX - 1);
    dev_setIntenzity(0x1000 + DEV_MAX - 1, kIntensity3);
    EXPECT_EQ(dev_getIntenzity(0x1000 + DEV_MAX - 1), 3);
    for (int outside : {-1, DEV_MAX}) {
        EXPECT_FALSE(dev_copyRecord(outside, &copy)) << outside;
        EXPECT_EQ(dev_uidAt(outside), 0u) << outside;
    }
    for (int i = 0; i < DEV_MAX; ++i) ASSERT_EQ(rawRecord(i).intensity, i == DEV_MAX - 1 ? 3 : 0) << i;

    // Clearing only the setups: the UIDs stay where they were; every other byte is zero.
    const uint8_t block[DMX_BLOCK_SIZE] = {1, 0, 70, 3, 99};
    dev_storeDmxBlock(0x1002, 2, block);
    const uint8_t version[] = {2, 7};
    dev_setVer(0x1004, version);
    dev_removeAllSetup();
    for (int i = 0; i < DEV_MAX; ++i) {
        DeviceRecord r = rawRecord(i);
        EXPECT_EQ(r.uid, static_cast<uint32_t>(0x1000 + i)) << i;
        r.uid = 0;
        EXPECT_TRUE(allZero(r)) << i;
    }
    EXPECT_EQ(findDevUID(0x1004), 4);
    // Clearing all.
    dev_removeAll();
    for (int i = 0; i < DEV_MAX; ++i) ASSERT_TRUE(allZero(rawRecord(i))) << i;
    EXPECT_EQ(dev_count(), 0);
    EXPECT_EQ(addDevUID(0x77), 0) << "records are claimed from the first again";
    dev_removeAll();
}

// A reader on another thread never gets a record half written: every copy
// holds one writer step whole (a block of one repeated byte).
TEST(DeviceTable, CopiesAreWholeWhileAnotherThreadWrites) {
    dev_removeAll();
    addDevUID(0xC0);
    std::atomic<bool> stop{false};
    std::atomic<int> writes{0};
    std::thread writer([&] {
        uint8_t block[DMX_BLOCK_SIZE];
        for (uint8_t v = 0; !stop; ++v, ++writes) {
            std::memset(block, v, sizeof block);
            dev_storeDmxBlock(0xC0, 1, block);
        }
    });
    int torn = 0;
    waitFor("50,000 writes while copies are taken", [&] {
        for (int i = 0; i < 1000; ++i) {
            DeviceRecord r;
            if (!(i % 2 ? dev_copyRecord(0, &r) : dev_copyByUid(0xC0, &r))) ++torn;
            for (uint8_t byte : r.dmx[1]) torn += byte != r.dmx[1][0];
        }
        return writes >= 50000;
    });
    stop = true;
    joinWithin(writer, "the writing thread");
    EXPECT_EQ(torn, 0) << "bytes of a half-written block in copies";
    dev_removeAll();
}

// Each answer record at its bounds: buttons 0 to 5 and not 6, a button record
// one byte short, all three intensity bits, a DMX record of the whole block and
// not one byte less, blocks 0 to 5 and not 6. A record refused changes nothing.
TEST(DeviceTable, AnswerRecordsTakenAtTheirBoundsOnly) {
    dev_removeAll();
    addDevUID(0x42);
    std::vector<uint8_t> block(2 + DMX_BLOCK_SIZE, 0x5A);  // length, index, then the block
    const auto dmx = [&](uint8_t length, uint8_t index) {
        block[0] = length;
        block[1] = index;
        return block;
    };
    // What a record taken changes: a button's type and scenes, or a block read whole.
    using Change = std::function<void(DeviceRecord&)>;
    const auto button = [](int b, uint8_t type, uint16_t scenes) -> Change {
        return [=](DeviceRecord& r) { r.btn[b] = {type, scenes}; };
    };
    const auto blockRead = [](int b) -> Change {
        return [=](DeviceRecord& r) {
            std::memset(r.dmx[b], 0x5A, DMX_BLOCK_SIZE);
            r.dmxKnown = static_cast<uint8_t>(r.dmxKnown | 1u << b);
        };
    };
    const struct {
        uint8_t tag;
        std::vector<uint8_t> rec;
        Change change;  // null: refused
    } cases[] = {
        {DEV_TAG_BUTTON, {4, 0, 7, 0x34, 0x12}, button(0, 7, 0x1234)},
        {DEV_TAG_BUTTON, {4, 5, 9, 0x01, 0x80}, button(5, 9, 0x8001)},
        {DEV_TAG_BUTTON, {4, 6, 9, 0x01, 0x00}, nullptr},
        {DEV_TAG_BUTTON, {3, 1, 9, 0x01, 0x00}, nullptr},
        {DEV_TAG_INTENSITY, {1, 0xFE}, [](DeviceRecord& r) { r.intensity = 6; }},
        {DEV_TAG_INTENSITY, {0, 0x05}, nullptr},
        {DEV_TAG_DMX, dmx(DMX_BLOCK_SIZE + 1, 0), blockRead(0)},
        {DEV_TAG_DMX, dmx(DMX_BLOCK_SIZE + 1, 5), blockRead(5)},
        {DEV_TAG_DMX, dmx(DMX_BLOCK_SIZE, 1), nullptr},
        {DEV_TAG_DMX, dmx(DMX_BLOCK_SIZE + 1, 6), nullptr},
    };
    for (const auto& c : cases) {
        DeviceRecord want = rawRecord(0);
        if (c.change) c.change(want);
        EXPECT_TRUE(dev_updateFromAnswer(0x42, c.tag, c.rec.data()));
        const DeviceRecord now = rawRecord(0);
        bool same = now.intensity == want.intensity && now.dmxKnown == want.dmxKnown &&
                    std::memcmp(now.dmx, want.dmx, sizeof now.dmx) == 0;
        for (int b = 0; b < DEV_BUTTONS; ++b)
            same = same && now.btn[b].type == want.btn[b].type && now.btn[b].scn == want.btn[b].scn;
        EXPECT_TRUE(same) << int(c.tag) << " " << int(c.rec[0]) << " " << int(c.rec[1]);
    }
    // A block the operator set in the DMX dialog: buttons 0 to 5 only.
    EXPECT_TRUE(dev_storeDmxBlock(0x42, DEV_BUTTONS - 1, block.data() + 2));
    const DeviceRecord before = rawRecord(0);
    EXPECT_FALSE(dev_storeDmxBlock(0x42, DEV_BUTTONS, block.data() + 2));
    EXPECT_FALSE(dev_storeDmxBlock(0x42, -1, block.data() + 2));
    EXPECT_EQ(rawRecord(0).dmxKnown, before.dmxKnown);
    dev_removeAll();
}
