// An emulated FT232R cable (bcdDevice 0x0600) on the process's umockdev test
// bed (the process runs under umockdev-wrapper): libusb finds it in the bed's
// sysfs, and the bed hands the usbdevfs ioctls on its node to the chip. It
// answers what libftdi1 1.5 and libusb 1.0.26 send: the strings "FTDI",
// "FT232R USB UART" and the serial number; vendor requests 0 reset and purge,
// 3 baud rate, 4 data characteristics, 5 modem status, 9 the latency timer;
// bulk-out 0x02, bulk-in 0x81; CLAIMINTERFACE, RELEASEINTERFACE, GETDRIVER,
// SUBMITURB, REAPURB(NDELAY), DISCARDURB. Other requests stall; other ioctls
// fail (ENOTTY) and are noted.
//
// Its line is a VirtualBus. A byte leaves at the rate and format in force when
// it starts; one on the wire when they change is cut. That byte, and any not
// at 250000 8N2, is noise to the panels. A bulk-in transfer returns 64-byte
// packets (two modem-status bytes, up to 62 received bytes) once 62 are waiting
// or the latency timer has run out since the last packet; status only when
// nothing came.
//
// Clock: the tests' virtual one. A host waiting for a bulk-in packet moves it on
// to when the chip sends; USB round trips cost none. Only libusb's own
// time-outs run on the real clock.
//
// Threads: umockdev's worker thread answers the ioctls, a test's thread plugs,
// pulls and looks. mutex_ guards the chip; the line has its own lock.
#pragma once

#include <umockdev.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "panels/virtual_bus.h"

// The test bed, made at its first use, which must come before libusb's first
// context (libusb follows the bed's uevents from then on).
UMockdevTestbed* ft232r_bed();

using ChipRequest = std::array<uint16_t, 4>;  // a vendor request as the chip saw it: type, request, value, index

class Ft232r {
public:
    // Who holds its interface already; anyone else's claim fails (EBUSY).
    // ftdi_sio comes with its port and tty (plug such a chip once).
    enum class Holder { None, FtdiSio, OtherProgram };
    struct Seen {
        std::vector<ChipRequest> requests;
        std::vector<unsigned long> unknownIoctls;
        int claims = 0;
        // With ftdi_sio, what its tty was told: "baud B" for each TCSETS2 (" 8N2"
        // added for BOTHER, CS8, CSTOPB, no parity), "write XX ..." for each write.
        std::vector<std::string> tty;
    };

    // serial "": none at all (iSerialNumber 0), as on some clones.
    explicit Ft232r(std::string serial, Holder holder = Holder::None);
    ~Ft232r();
    Ft232r(const Ft232r&) = delete;
    Ft232r& operator=(const Ft232r&) = delete;

    // Plugged in as after power-on: 9600 8N1, latency 16 ms, buffers empty.
    void plug();
    // Pulled out: ENODEV from now on, gone from sysfs, a "remove" uevent.
    void pull();
    // Dead (ENODEV) from the bulk-out transfer that when() picks on; the test's
    // thread then takes it out of the bed (pull, or plug again).
    void dieAt(std::function<bool(const std::vector<uint8_t>& written)> when);
    // While on, every bulk-in transfer fails with a transfer error (EPROTO), the chip still there.
    std::atomic<bool> failReads{false};
    Seen seen();

    VirtualBus& line() { return line_; }
    int address() const { return number_; }  // on bus 3
    std::string node() const;
    std::string ttyNode() const { return "/dev/ttyUSB" + std::to_string(number_); }
    std::string ttySysDir() const;  // with ftdi_sio: its port's sysfs folder

private:
    struct Urb {
        UMockdevIoctlData* data;
        bool discarded;
    };
    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static gboolean onTty(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    int usbfs(unsigned long request, UMockdevIoctlData* arg, int64_t now);
    void complete(Urb& urb, int64_t now);
    int control(uint8_t* setup, int length, int64_t now);
    int bulkIn(uint8_t* buffer, int length, int64_t now);
    void advance(int64_t now);
    uint8_t lineStatus() const { return tx_.empty() ? (shifting_ ? 0x20 : 0x60) : 0; }  // THRE, TEMT
    std::string sysPath(const char* under = nullptr) const;
    void leaveBed();

    const std::string serial_;
    const Holder holder_;
    const int number_;                     // device number and port on bus 3
    UMockdevIoctlBase* handlers_[2] = {};  // the USB node's, the tty's
    VirtualBus line_;
    bool inBed_ = false;

    std::mutex mutex_;
    std::atomic<bool> present_{false};
    std::function<bool(const std::vector<uint8_t>&)> dieAt_;
    std::deque<Urb> urbs_;  // submitted, not yet reaped
    uint32_t baud_ = 9600;
    uint16_t format_ = 0x0008;  // data characteristics: 8N1
    int latencyMs_ = 16;
    int64_t lastPacketUs_ = 0;
    std::deque<uint8_t> tx_, rx_;
    bool shifting_ = false;  // a byte is on the wire, or was loaded this instant
    uint8_t shiftByte_ = 0;
    bool shiftClean_ = false;
    uint32_t shiftBaud_ = 0;
    int64_t shiftStartUs_ = 0, shiftEndUs_ = 0;  // when none is: since when the line is idle
    Seen seen_;
};
