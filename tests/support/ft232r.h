// An emulated FT232R cable on a umockdev test bed, under the real libftdi1 and
// libusb: libusb finds the cable in the bed's sysfs and talks to it through
// usbdevfs ioctls on its /dev/bus/usb node, which the bed hands to the chip.
// The process must run with umockdev's preload library (umockdev-wrapper).
//
// The chip answers what libftdi1 1.5 and libusb 1.0.26 send: the string
// descriptors; the vendor requests reset and purge, modem and flow control
// (acknowledged, no effect), baud rate (divisor in wValue and wIndex), data
// characteristics, modem status, set and get latency timer; bulk-out 0x02 and
// bulk-in 0x81; CLAIMINTERFACE, RELEASEINTERFACE, GETDRIVER, SUBMITURB,
// REAPURB(NDELAY), DISCARDURB. Any other ioctl is noted (unknownIoctls) and
// refused; any other request stalls.
//
// The line behind it is a VirtualBus with its panels. Each byte leaves the
// transmitter at the rate and format in force when it starts; a byte still on
// the wire when the rate or format changes is cut, and it and every byte not
// at 250000 8N2 reach the panels as noise. A bulk-in transfer returns 64-byte
// packets, each two modem-status bytes and up to 62 received bytes, once 62
// bytes are waiting or the latency timer has run out since the last packet
// (then with what is there, status only when nothing is).
//
// Clock: the tests' virtual clock, as the rest of the bus. A host waiting for
// a bulk-in packet moves virtual time on to when the chip would send it; USB
// round trips cost none. Only libusb's own time-outs run on the real clock.
//
// Threads: umockdev's worker thread answers the ioctls; a test's thread plugs,
// pulls and inspects. mutex_ guards the chip; the line has its own lock.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "panels/virtual_bus.h"

// The one test bed of the process, made at its first use (before libusb's
// first context, so that libusb watches the bed's uevents).
UMockdevTestbed* ft232r_bed();

struct ChipRequest {  // a control request as the chip saw it
    uint8_t type, request;
    uint16_t value, index;
    bool operator==(const ChipRequest& o) const {
        return type == o.type && request == o.request && value == o.value && index == o.index;
    }
};

class Ft232r {
public:
    struct Identity {
        std::string serial;  // "": none (iSerialNumber 0), as on some clones
        std::string description = "FT232R USB UART";
        std::string manufacturer = "FTDI";
        uint16_t bcdDevice = 0x0600;
    };
    // Who has claimed its interface already: the claim of anyone else fails (EBUSY).
    enum class Holder { None, FtdiSio, OtherProgram };

    explicit Ft232r(Identity id, Holder holder = Holder::None);
    ~Ft232r();  // pulled out first
    Ft232r(const Ft232r&) = delete;
    Ft232r& operator=(const Ft232r&) = delete;

    // Plugs it in, as after power-on (9600 8N1, latency 16 ms, empty buffers).
    void plug();
    // Pulls it out: ENODEV from then on, its sysfs entries gone, a "remove" uevent.
    void pull();
    // Goes dead (ENODEV) at the first bulk-out transfer that when() picks; the
    // test's thread pulls it out of the bed afterwards (pull or plug).
    void dieAt(std::function<bool(const std::vector<uint8_t>& written)> when);
    bool dead() const;

    VirtualBus& line() { return line_; }
    const Identity& identity() const { return id_; }
    int address() const { return number_; }  // on bus 3
    std::string node() const;                // its /dev/bus/usb path
    std::string ttyNode() const;             // with Holder::FtdiSio: its /dev/ttyUSBn
    std::string ttySysDir() const;           // and the sysfs folder of that port (latency_timer)

    std::vector<ChipRequest> requests() const;  // vendor requests, in order
    void clearRequests();
    std::vector<unsigned long> unknownIoctls() const;
    int bulkInTransfers() const;
    int claims() const;
    // With Holder::FtdiSio: what the tty driver did to the port, in order:
    // "baud B" for each TCSETS2 (with " 8N2" when 8 data bits, 2 stop bits,
    // no parity, BOTHER), "write XX XX ..." for each write.
    std::vector<std::string> ttyLog() const;

private:
    struct Shifting {
        uint8_t byte;
        int64_t startUs, endUs;
        uint32_t baud;
        bool clean;
    };
    struct Urb {
        UMockdevIoctlData* data;
        bool discarded;
    };
    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static gboolean onTtyIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static gboolean onTtyWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    gboolean ioctl(UMockdevIoctlClient* client);
    void complete(Urb& urb, int64_t now);
    int control(uint8_t* setup, int length, int64_t now);
    void bulkIn(uint8_t* buffer, int length, int* actual, int64_t now);
    void advance(int64_t now);
    void changeLine(int64_t now);
    uint8_t lineStatus() const;
    std::string description() const;
    void removeFromBed();

    const Identity id_;
    const Holder holder_;
    const int number_;  // its device number and port on the bed's bus
    UMockdevIoctlBase* handler_ = nullptr;
    UMockdevIoctlBase* ttyHandler_ = nullptr;
    VirtualBus line_;

    mutable std::mutex mutex_;
    bool inBed_ = false;
    bool present_ = false;
    std::function<bool(const std::vector<uint8_t>&)> dieAt_;
    std::deque<Urb> urbs_;  // submitted, not yet reaped
    uint32_t baud_ = 9600;
    uint16_t format_ = 0x0008;  // data characteristics: 8N1
    int latencyMs_ = 16;
    int64_t lastPacketUs_ = 0;
    std::deque<uint8_t> tx_;
    bool shifting_ = false;
    Shifting shift_{};
    int64_t txFreeUs_ = 0;  // when the transmitter last went idle
    std::deque<uint8_t> rx_;
    std::vector<ChipRequest> requests_;
    std::vector<unsigned long> unknown_;
    std::vector<std::string> ttyLog_;
    int bulkIns_ = 0;
    int claims_ = 0;
};
