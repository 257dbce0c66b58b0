#include "devices/devices.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

// Threads: workers, parse functions (under the cable lock) and the GUI thread.
// tableMutex guards every record; each operation holds it for its own few steps
// only, never across a bus wait, so readers are never held up for long.

namespace {

DeviceRecord dev[DEV_MAX];

std::mutex tableMutex;
using Guard = std::lock_guard<std::mutex>;

// Find or insert: the first record with the key, else the first free record,
// which takes the key. -1 when all 200 are in use.
int selectRecord(uint32_t key) {
    for (int i = 0; i < DEV_MAX; ++i)
        if (dev[i].uid == key) return i;
    for (int i = 0; i < DEV_MAX; ++i) {
        if (dev[i].uid == 0) {
            dev[i].uid = key;
            return i;
        }
    }
    return -1;
}

}  // namespace

void devices_lock() { tableMutex.lock(); }
void devices_unlock() { tableMutex.unlock(); }
DeviceRecord* devices_table() { return dev; }

int addDevUID(uint32_t uid) {
    Guard g(tableMutex);
    for (int i = 0; i < DEV_MAX; ++i) {
        if (dev[i].uid == 0) {
            dev[i].uid = uid;
            return i;
        }
    }
    return -1;
}

DeviceRecord* getDevUID(uint32_t uid) {
    Guard g(tableMutex);
    for (auto& record : dev)
        if (record.uid == uid) return &record;
    return nullptr;
}

int findDevUID(uint32_t uid) {
    Guard g(tableMutex);
    return selectRecord(uid);
}

int dev_removeAll() {
    Guard g(tableMutex);
    std::memset(dev, 0, sizeof dev);
    return 0;
}

int dev_removeAllSetup() {
    Guard g(tableMutex);
    for (auto& record : dev) {
        const uint32_t uid = record.uid;
        std::memset(&record, 0, sizeof record);
        record.uid = uid;
    }
    return 0;
}

int dev_getIntenzity(uint32_t uid) {
    Guard g(tableMutex);
    const int i = selectRecord(uid);
    return i < 0 ? -1 : dev[i].intensity;
}

int dev_getBtnType(uint32_t uid, int btn) {
    Guard g(tableMutex);
    const int i = selectRecord(uid);
    if (i < 0 || btn < 0 || btn >= DEV_BUTTONS) return -1;
    return dev[i].btn[btn].type;
}

int dev_getBtnScn(uint32_t uid, int btn) {
    Guard g(tableMutex);
    const int i = selectRecord(uid);
    if (i < 0 || btn < 0 || btn >= DEV_BUTTONS) return -1;
    return dev[i].btn[btn].scn;
}

namespace {

// The setters' steps on a record already chosen; the table's lock is held.
void setIntensityAt(int i, const uint8_t* rec) {
    constexpr uint8_t INTENSITY_BITS = 7;  // three bits kept; a write carries two
    if (rec[0] != 0) dev[i].intensity = rec[1] & INTENSITY_BITS;
}

void setBtnAt(int i, const uint8_t* rec) {
    if (rec[0] >= BUTTON_REC_LEN && rec[1] < DEV_BUTTONS) {
        dev[i].btn[rec[1]].type = rec[2];
        dev[i].btn[rec[1]].scn = static_cast<uint16_t>(rec[3] | rec[4] << 8);
    }
}

void setActAt(int i, const uint8_t* rec) {
    if (rec[0] != 0) dev[i].act = rec[1];
}

void setDmxAt(int i, const uint8_t* rec) {
    if (rec[0] >= DMX_BLOCK_SIZE + 1 && rec[1] < DEV_BUTTONS) {
        std::memcpy(dev[i].dmx[rec[1]], rec + 2, DMX_BLOCK_SIZE);
        dev[i].dmxKnown = static_cast<uint8_t>(dev[i].dmxKnown | 1u << rec[1]);
    }
}

void setVerAt(int i, const uint8_t* ver) {
    dev[i].verMajor = ver[0];
    dev[i].verMinor = ver[1];
}

int lookup(uint32_t uid) {
    for (int i = 0; i < DEV_MAX; ++i)
        if (dev[i].uid == uid) return i;
    return -1;
}

}  // namespace

namespace {

// Finds or claims uid's record and applies one setter step to it.
int setWith(uint32_t uid, const uint8_t* rec, void (*step)(int, const uint8_t*)) {
    Guard g(tableMutex);
    const int i = selectRecord(uid);
    if (i >= 0) step(i, rec);
    return 0;
}

}  // namespace

int dev_setIntenzity(uint32_t uid, const uint8_t* rec) { return setWith(uid, rec, setIntensityAt); }
int dev_setBtn(uint32_t uid, const uint8_t* rec) { return setWith(uid, rec, setBtnAt); }
int dev_setAct(uint32_t uid, const uint8_t* rec) { return setWith(uid, rec, setActAt); }
int dev_setDmxBtn(uint32_t uid, const uint8_t* rec) { return setWith(uid, rec, setDmxAt); }
int dev_setVer(uint32_t uid, const uint8_t* ver) { return setWith(uid, ver, setVerAt); }

bool dev_updateFromAnswer(uint32_t uid, uint8_t tag, const uint8_t* rec) {
    Guard g(tableMutex);
    const int i = uid == 0 ? -1 : lookup(uid);
    if (i < 0) return false;
    switch (tag) {
        case DEV_TAG_BUTTON: setBtnAt(i, rec); break;
        case DEV_TAG_INTENSITY: setIntensityAt(i, rec); break;
        case DEV_TAG_ACTIVE: setActAt(i, rec); break;
        case DEV_TAG_DMX: setDmxAt(i, rec); break;
        case DEV_TAG_VERSION:
            if (rec[0] >= 2) setVerAt(i, rec + 1);  // major, minor
            break;
        default: break;
    }
    return true;
}

void dev_forgetDmxBlocks(uint32_t uid) {
    Guard g(tableMutex);
    const int i = uid == 0 ? -1 : lookup(uid);
    if (i >= 0) dev[i].dmxKnown = 0;
}

void dev_setActBtn(uint8_t state, uint8_t type, uint16_t scn) {
    Guard g(tableMutex);
    for (int i = 0; i < DEV_MAX && dev[i].uid != 0; ++i) {
        for (int b = 0; b < DEV_BUTTONS; ++b) {
            if (dev[i].btn[b].scn != scn || dev[i].btn[b].type != type) continue;
            if (state != 0)
                dev[i].act = static_cast<uint8_t>(dev[i].act | 1u << b);
            else
                dev[i].act = static_cast<uint8_t>(dev[i].act & ~(1u << b));
        }
    }
}

bool dev_versionText(const DeviceRecord& record, char* text, size_t size) {
    constexpr int KNOWN_MAJOR_MAX = 3;
    if (record.verMajor < 1 || record.verMajor > KNOWN_MAJOR_MAX) return false;
    std::snprintf(text, size, "%d.%d", record.verMajor, record.verMinor);
    return true;
}

void dev_getVerStr(uint32_t uid, char* text) {
    constexpr size_t VERSION_TEXT = 8;  // what callers give: "3.255" and room to spare
    Guard g(tableMutex);
    const int i = selectRecord(uid);
    if (i >= 0) dev_versionText(dev[i], text, VERSION_TEXT);
}

void getVerStr(char* text, size_t size, const uint8_t* arr) {
    constexpr uint8_t LETTERS_ABOVE = 0x40;  // a third element above it is a letter
    std::string out;
    char part[8];
    for (int i = 1; i <= arr[0]; ++i) {
        if (i == 3 && arr[i] > LETTERS_ABOVE)
            std::snprintf(part, sizeof part, "%c.", arr[i]);
        else
            std::snprintf(part, sizeof part, "%d.", arr[i]);
        out += part;
    }
    std::snprintf(text, size, "%s; ", out.c_str());
}

bool dev_copyRecord(int index, DeviceRecord* out) {
    if (index < 0 || index >= DEV_MAX) return false;
    Guard g(tableMutex);
    if (dev[index].uid == 0) return false;
    *out = dev[index];
    return true;
}

bool dev_copyByUid(uint32_t uid, DeviceRecord* out) {
    Guard g(tableMutex);
    for (const auto& record : dev) {
        if (record.uid == uid) {
            *out = record;
            return true;
        }
    }
    return false;
}

int dev_count() {
    Guard g(tableMutex);
    int n = 0;
    while (n < DEV_MAX && dev[n].uid != 0) ++n;
    return n;
}

uint32_t dev_uidAt(int index) {
    if (index < 0 || index >= DEV_MAX) return 0;
    Guard g(tableMutex);
    return dev[index].uid;
}

bool dev_storeDmxBlock(uint32_t uid, int btn, const uint8_t* block) {
    if (btn < 0 || btn >= DEV_BUTTONS) return false;
    Guard g(tableMutex);
    for (auto& record : dev) {
        if (record.uid == uid) {
            std::memcpy(record.dmx[btn], block, DMX_BLOCK_SIZE);
            record.dmxKnown = static_cast<uint8_t>(record.dmxKnown | 1u << btn);
            return true;
        }
    }
    return false;
}
