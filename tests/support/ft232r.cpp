#include "tests/support/ft232r.h"

#include <asm/termbits.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "bus/timer.h"

// Threads: see the header.

namespace {

constexpr int kBus = 3;
constexpr uint8_t kBulkIn = 0x81, kBulkOut = 0x02;
constexpr int kPacket = 64;
constexpr uint16_t kFormat8N2 = 0x1008;  // 8 data bits, no parity, 2 stop bits, no break
constexpr uint8_t kModemStatus = 0x01;   // the low nibble an FT232R always reports

struct Bed {
    UMockdevTestbed* testbed = umockdev_testbed_new();
    ~Bed() { g_object_unref(testbed); }
};

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02X", v);
        s += b;
    }
    return s;
}

// The rate of a divisor as libftdi encodes it for AM, BM and R chips: 3 MHz
// over an integer part (wValue bits 0-13) and eighths (wValue bits 14-15, wIndex bit 0).
uint32_t baudOf(uint16_t value, uint16_t index) {
    static const int eighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    const uint32_t whole = value & 0x3FFF;
    if (whole <= 1 && (value >> 14) == 0) return whole == 0 ? 3000000 : 2000000;
    return 24000000 / (whole * 8 + eighths[(value >> 14) | ((index & 1) << 2)]);
}

int64_t byteUs(uint32_t baud, uint16_t format) {
    const int bits = 1 + (format & 0xFF) + (((format >> 8) & 7) ? 1 : 0) + (((format >> 11) & 7) == 2 ? 2 : 1);
    return bits * 1000000LL / baud;
}

void putString(uint8_t* at, int room, const std::string& text, int* actual) {
    uint8_t d[256] = {0, 3};
    int n = 2;
    for (char c : text) {
        d[n++] = static_cast<uint8_t>(c);
        d[n++] = 0;
    }
    d[0] = static_cast<uint8_t>(n);
    *actual = std::min(n, room);
    std::memcpy(at, d, static_cast<size_t>(*actual));
}

}  // namespace

UMockdevTestbed* ft232r_bed() {
    static Bed bed;
    return bed.testbed;
}

Ft232r::Ft232r(Identity id, Holder holder)
    : id_(std::move(id)), holder_(holder), number_([] {
          static std::atomic<int> made{1};
          return ++made;
      }()) {
    line_.setQueryCostUs(0);  // the chip's reads of its own line cost no time
    line_.open(VirtualBus::SERIAL);
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(onIoctl), this);
    umockdev_testbed_attach_ioctl(ft232r_bed(), node().c_str(), handler_, nullptr);
    if (holder_ == Holder::FtdiSio) {
        ttyHandler_ = umockdev_ioctl_base_new();
        g_signal_connect(ttyHandler_, "handle-ioctl", G_CALLBACK(onTtyIoctl), this);
        g_signal_connect(ttyHandler_, "handle-write", G_CALLBACK(onTtyWrite), this);
        umockdev_testbed_attach_ioctl(ft232r_bed(), ttyNode().c_str(), ttyHandler_, nullptr);
    }
}

Ft232r::~Ft232r() {
    pull();
    for (UMockdevIoctlBase* h : {handler_, ttyHandler_}) {
        if (!h) continue;
        g_signal_handlers_disconnect_by_data(h, this);  // a node still open answers ENOTTY from now on
        umockdev_testbed_detach_ioctl(ft232r_bed(), h == handler_ ? node().c_str() : ttyNode().c_str(), nullptr);
        g_object_unref(h);
    }
    for (Urb& u : urbs_) umockdev_ioctl_data_unref(u.data);
}

std::string Ft232r::node() const {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", kBus, number_);
    return path;
}

std::string Ft232r::ttyNode() const { return "/dev/ttyUSB" + std::to_string(number_); }

std::string Ft232r::ttySysDir() const {
    return "/sys/bus/usb/devices/" + std::to_string(kBus) + "-" + std::to_string(number_) + ":1.0/ttyUSB" +
           std::to_string(number_);
}

// The bed's entries: the device with its descriptors (iManufacturer 1,
// iProduct 2, iSerialNumber 3, endpoints 0x81 and 0x02 of 64 bytes) and, when
// ftdi_sio holds it, its interface with the port and tty that ftdi_sio makes.
std::string Ft232r::description() const {
    const std::string n = std::to_string(number_), bus = std::to_string(kBus);
    const std::string dev = "/devices/pci0000:00/0000:00:14.0/usb" + bus + "/" + bus + "-" + n;
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "E: BUSNUM=%03d\nE: DEVNUM=%03d\n", kBus, number_);
    std::vector<uint8_t> descriptors = {0x12,
                                        0x01,
                                        0x00,
                                        0x02,
                                        0x00,
                                        0x00,
                                        0x00,
                                        0x08,
                                        0x03,
                                        0x04,
                                        0x01,
                                        0x60,
                                        static_cast<uint8_t>(id_.bcdDevice),
                                        static_cast<uint8_t>(id_.bcdDevice >> 8),
                                        1,
                                        2,
                                        3,
                                        1,
                                        0x09,
                                        0x02,
                                        0x20,
                                        0x00,
                                        0x01,
                                        0x01,
                                        0x00,
                                        0xA0,
                                        0x2D,  // configuration
                                        0x09,
                                        0x04,
                                        0x00,
                                        0x00,
                                        0x02,
                                        0xFF,
                                        0xFF,
                                        0xFF,
                                        0x02,  // interface 0
                                        0x07,
                                        0x05,
                                        kBulkIn,
                                        0x02,
                                        0x40,
                                        0x00,
                                        0x00,
                                        0x07,
                                        0x05,
                                        kBulkOut,
                                        0x02,
                                        0x40,
                                        0x00,
                                        0x00};
    if (id_.serial.empty()) descriptors[16] = 0;  // no serial number string
    std::string d = "P: " + dev + "\nN: " + node().substr(5) +
                    "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n" + numbers + "E: DEVNAME=" + node() +
                    "\nA: busnum=" + bus + "\\n\nA: devnum=" + n +
                    "\\n\nA: bConfigurationValue=1\\n\nA: speed=12\\n\nH: descriptors=" + hex(descriptors) + "\n";
    if (holder_ == Holder::FtdiSio) {
        const std::string iface = dev + "/" + bus + "-" + n + ":1.0", port = iface + "/ttyUSB" + n;
        d += "\nP: " + iface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=ftdi_sio\n" + "\nP: " + port +
             "\nE: SUBSYSTEM=usb-serial\nE: DRIVER=ftdi_sio\nA: latency_timer=16\\n\n" + "\nP: " + port +
             "/tty/ttyUSB" + n + "\nN: " + ttyNode().substr(5) + "\nE: SUBSYSTEM=tty\nE: DEVNAME=" + ttyNode() + "\n";
    }
    return d;
}

void Ft232r::plug() {
    removeFromBed();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        present_ = true;
        dieAt_ = nullptr;
        baud_ = 9600;
        format_ = 0x0008;
        latencyMs_ = 16;
        tx_.clear();
        rx_.clear();
        shifting_ = false;
        for (Urb& u : urbs_) umockdev_ioctl_data_unref(u.data);
        urbs_.clear();
    }
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(ft232r_bed(), description().c_str(), &error)) {
        std::fprintf(stderr, "ft232r: %s\n", error->message);
        g_error_free(error);
        return;
    }
    inBed_ = true;
}

void Ft232r::pull() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        present_ = false;
    }
    removeFromBed();
}

// Deepest entries first; the node stays, as a pulled device's node does for a
// moment, so that no open falls through to the machine's own /dev.
void Ft232r::removeFromBed() {
    if (!inBed_) return;
    inBed_ = false;
    const std::string sys = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(kBus) + "/" +
                            std::to_string(kBus) + "-" + std::to_string(number_);
    umockdev_testbed_uevent(ft232r_bed(), sys.c_str(), "remove");
    if (holder_ == Holder::FtdiSio) {
        const std::string iface = sys + "/" + std::to_string(kBus) + "-" + std::to_string(number_) + ":1.0";
        const std::string port = iface + "/ttyUSB" + std::to_string(number_);
        for (const std::string& p : {port + "/tty/ttyUSB" + std::to_string(number_), port, iface})
            umockdev_testbed_remove_device(ft232r_bed(), p.c_str());
    }
    umockdev_testbed_remove_device(ft232r_bed(), sys.c_str());
    gchar* root = umockdev_testbed_get_root_dir(ft232r_bed());
    const std::string file = root + node();
    g_free(root);
    g_mkdir_with_parents(file.substr(0, file.rfind('/')).c_str(), 0755);
    g_file_set_contents(file.c_str(), "", 0, nullptr);
}

void Ft232r::dieAt(std::function<bool(const std::vector<uint8_t>&)> when) {
    std::lock_guard<std::mutex> lock(mutex_);
    dieAt_ = std::move(when);
}

bool Ft232r::dead() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !present_;
}

std::vector<ChipRequest> Ft232r::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void Ft232r::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

std::vector<unsigned long> Ft232r::unknownIoctls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unknown_;
}

int Ft232r::bulkInTransfers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bulkIns_;
}

int Ft232r::claims() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return claims_;
}

std::vector<std::string> Ft232r::ttyLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ttyLog_;
}

// ---- usbdevfs ---------------------------------------------------------------

gboolean Ft232r::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<Ft232r*>(self)->ioctl(client);
}

gboolean Ft232r::ioctl(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = tim_nowUs();
    advance(now);
    int result = 0, error = 0;
    if (!present_) {
        result = -1, error = ENODEV;
    } else if (request == USBDEVFS_CLAIMINTERFACE) {
        ++claims_;
        if (holder_ != Holder::None) result = -1, error = EBUSY;
    } else if (request == USBDEVFS_GET_CAPABILITIES) {
        result = -1, error = ENOTTY;  // as an older kernel: libusb assumes what it needs
    } else if (request == USBDEVFS_RELEASEINTERFACE) {
    } else if (request == USBDEVFS_GETDRIVER) {
        if (holder_ == Holder::None) {
            result = -1, error = ENODATA;
        } else {
            UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
            std::snprintf(reinterpret_cast<usbdevfs_getdriver*>(d->data)->driver, USBDEVFS_MAXDRIVERNAME, "%s",
                          holder_ == Holder::FtdiSio ? "ftdi_sio" : "usbfs");
            umockdev_ioctl_data_unref(d);
        }
    } else if (request == USBDEVFS_SUBMITURB) {
        urbs_.push_back({umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr), false});
    } else if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        // Each URB completes when it is reaped, so one that timed out and was
        // discarded first has taken nothing from the chip.
        if (urbs_.empty()) {
            result = -1, error = EAGAIN;
        } else {
            Urb urb = urbs_.front();
            urbs_.pop_front();
            complete(urb, now);
            UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
            umockdev_ioctl_data_set_ptr(slot, 0, urb.data);
            umockdev_ioctl_data_unref(slot);
            umockdev_ioctl_data_unref(urb.data);
        }
    } else if (request == USBDEVFS_DISCARDURB) {
        const auto addr = *reinterpret_cast<gulong*>(arg->data);
        auto it = std::find_if(urbs_.begin(), urbs_.end(), [&](const Urb& u) { return u.data->client_addr == addr; });
        if (it == urbs_.end()) {
            result = -1, error = EINVAL;
        } else {
            it->discarded = true;
        }
    } else {
        unknown_.push_back(request);
        result = -1, error = ENOTTY;
    }
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

void Ft232r::complete(Urb& urb, int64_t now) {
    auto* u = reinterpret_cast<usbdevfs_urb*>(urb.data->data);
    u->status = 0;
    u->actual_length = 0;
    if (urb.discarded) {
        u->status = -ENOENT;
        return;
    }
    UMockdevIoctlData* buffer =
        umockdev_ioctl_data_resolve(urb.data, offsetof(usbdevfs_urb, buffer), u->buffer_length, nullptr);
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        const int r = control(buffer->data, u->buffer_length, now);
        if (r < 0) u->status = -EPIPE;  // a stall
        u->actual_length = std::max(r, 0);
    } else if (u->endpoint == kBulkIn) {
        bulkIn(buffer->data, u->buffer_length, &u->actual_length, now);
    } else if (u->endpoint == kBulkOut) {
        const std::vector<uint8_t> bytes(buffer->data, buffer->data + u->buffer_length);
        if (dieAt_ && dieAt_(bytes)) {
            present_ = false;
            u->status = -ESHUTDOWN;  // what the kernel gives a transfer whose device went away
        } else {
            if (tx_.empty() && !shifting_) txFreeUs_ = std::max(txFreeUs_, now);
            tx_.insert(tx_.end(), bytes.begin(), bytes.end());
            u->actual_length = u->buffer_length;
            advance(now);
        }
    } else {
        u->status = -EPIPE;
    }
    umockdev_ioctl_data_unref(buffer);
}

// The data stage's length, or -1 to stall.
int Ft232r::control(uint8_t* s, int length, int64_t now) {
    const uint8_t type = s[0], request = s[1];
    const uint16_t value = s[2] | s[3] << 8, index = s[4] | s[5] << 8;
    uint8_t* data = s + 8;
    const int room = std::min<int>(s[6] | s[7] << 8, length - 8);
    if (type == 0x80 && request == 6 && (value >> 8) == 3) {  // GET_DESCRIPTOR, a string
        static const uint8_t languages[] = {4, 3, 0x09, 0x04};
        const std::string* text[] = {nullptr, &id_.manufacturer, &id_.description, &id_.serial};
        const int i = value & 0xFF;
        int actual = 0;
        if (i == 0) {
            actual = std::min<int>(room, sizeof languages);
            std::memcpy(data, languages, static_cast<size_t>(actual));
        } else if (i <= 3) {
            putString(data, room, *text[i], &actual);
        } else {
            return -1;
        }
        return actual;
    }
    requests_.push_back({type, request, value, index});
    if (type == 0x40) {
        switch (request) {
            case 0:  // reset (0), and purge as libftdi 1.5 names it: 1 transmit, 2 receive
                if (value != 2) tx_.clear(), shifting_ = false;
                if (value != 1) rx_.clear();
                return 0;
            case 1:  // modem control
            case 2:  // flow control
                return 0;
            case 3:
                baud_ = baudOf(value, index);
                changeLine(now);
                return 0;
            case 4:
                format_ = value;
                changeLine(now);
                return 0;
            case 9: latencyMs_ = std::max<int>(value & 0xFF, 1); return 0;
        }
    } else if (type == 0xC0 && request == 5 && room >= 2) {
        data[0] = kModemStatus;
        data[1] = lineStatus();
        return 2;
    } else if (type == 0xC0 && request == 10 && room >= 1) {
        data[0] = static_cast<uint8_t>(latencyMs_);
        return 1;
    }
    return -1;
}

// Packets of two status bytes and up to 62 bytes received, ending with a short one.
void Ft232r::bulkIn(uint8_t* buffer, int length, int* actual, int64_t now) {
    const int64_t due =
        rx_.size() >= kPacket - 2 ? now : std::max(now, lastPacketUs_ + static_cast<int64_t>(latencyMs_) * 1000);
    if (due > now) {  // the host waits for the latency timer
        tim_advanceUs(due - now);
        now = due;
        advance(now);
    }
    int at = 0;
    while (length - at >= 2) {
        const int n = std::min<int>({kPacket - 2, static_cast<int>(rx_.size()), length - at - 2});
        buffer[at++] = kModemStatus;
        buffer[at++] = lineStatus();
        for (int i = 0; i < n; ++i, rx_.pop_front()) buffer[at++] = rx_.front();
        if (n < kPacket - 2) break;
    }
    *actual = at;
    lastPacketUs_ = now;
    ++bulkIns_;
}

// ---- the line -----------------------------------------------------------------

// Moves the transmitter on to now (bytes that have left go to the line), and
// takes in what the line has delivered.
void Ft232r::advance(int64_t now) {
    for (;;) {
        if (shifting_) {
            if (shift_.endUs > now) break;
            line_.transmit(&shift_.byte, 1, shift_.startUs, shift_.baud, shift_.clean);
            shifting_ = false;
            txFreeUs_ = shift_.endUs;
        }
        if (tx_.empty()) break;
        shift_ = {tx_.front(), txFreeUs_, txFreeUs_ + byteUs(baud_, format_), baud_, format_ == kFormat8N2};
        tx_.pop_front();
        shifting_ = true;
    }
    uint8_t got[4096];
    uint32_t n = 0;
    while (line_.read(got, sizeof got, &n) == PORT_OK && n > 0) rx_.insert(rx_.end(), got, got + n);
}

// A new rate or format: a byte on the wire at this moment is cut.
void Ft232r::changeLine(int64_t now) {
    if (shifting_ && shift_.startUs < now) shift_.clean = false;
    if (shifting_ && shift_.startUs >= now) {  // not started yet: it goes at the new settings
        tx_.push_front(shift_.byte);
        shifting_ = false;
    }
}

uint8_t Ft232r::lineStatus() const {
    const bool empty = tx_.empty();
    return static_cast<uint8_t>((empty ? 0x20 : 0) | (empty && !shifting_ ? 0x40 : 0));  // THRE, TEMT
}

// ---- the tty that ftdi_sio makes ------------------------------------------------

// Notes the rate and format set, then lets the pseudo-terminal behind the node do it.
gboolean Ft232r::onTtyIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* chip = static_cast<Ft232r*>(self);
    if (umockdev_ioctl_client_get_request(client) == TCSETS2) {
        UMockdevIoctlData* d =
            umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(termios2), nullptr);
        const auto* t = reinterpret_cast<const termios2*>(d->data);
        const bool dmx = (t->c_cflag & CBAUD) == BOTHER && (t->c_cflag & CSIZE) == CS8 && (t->c_cflag & CSTOPB) &&
                         !(t->c_cflag & PARENB);
        std::lock_guard<std::mutex> lock(chip->mutex_);
        chip->ttyLog_.push_back("baud " + std::to_string(t->c_ospeed) + (dmx ? " 8N2" : ""));
        umockdev_ioctl_data_unref(d);
    }
    int error = 0;
    const int result = umockdev_ioctl_client_execute(client, &error, nullptr);
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

gboolean Ft232r::onTtyWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* chip = static_cast<Ft232r*>(self);
    UMockdevIoctlData* d = umockdev_ioctl_client_get_arg(client);
    std::string text = "write";
    char b[4];
    for (int i = 0; i < d->data_len; ++i) {
        std::snprintf(b, sizeof b, " %02X", d->data[i]);
        text += b;
    }
    std::lock_guard<std::mutex> lock(chip->mutex_);
    chip->ttyLog_.push_back(text);
    return FALSE;  // the write goes on to the pseudo-terminal
}
