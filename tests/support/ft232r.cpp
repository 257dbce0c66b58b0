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
#include <memory>

#include "bus/timer.h"

// Threads: see the header.

namespace {

constexpr int kPacket = 64;
constexpr uint16_t kFormat8N2 = 0x1008;  // 8 data bits, no parity, 2 stop bits, no break
constexpr uint8_t kModemStatus = 0x01;   // the low nibble an FT232R always sets

using Data = std::unique_ptr<UMockdevIoctlData, void (*)(UMockdevIoctlData*)>;
Data resolve(UMockdevIoctlData* d, size_t offset, size_t size) {
    return Data(umockdev_ioctl_data_resolve(d, offset, size, nullptr), umockdev_ioctl_data_unref);
}

// The rate of a divisor as libftdi encodes it for AM, BM and R chips: 3 MHz over
// an integer part (wValue bits 0-13) and eighths (wValue bits 14-15, wIndex bit 0).
uint32_t baudOf(uint16_t value, uint16_t index) {
    static const int eighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    return 24000000 / ((value & 0x3FFF) * 8 + eighths[(value >> 14) | ((index & 1) << 2)]);
}

int64_t byteUs(uint32_t baud, uint16_t format) {
    const int bits = 1 + (format & 0xFF) + ((format >> 8) & 7 ? 1 : 0) + ((format >> 11) & 7 ? 2 : 1);
    return bits * 1000000LL / baud;
}

}  // namespace

UMockdevTestbed* ft232r_bed() {
    static struct Bed {
        UMockdevTestbed* testbed;
        Bed() {  // without its debug lines (each device, each environment change)
            for (const char* domain : {static_cast<const char*>(nullptr), "GLib"})
                g_log_set_handler(
                    domain, G_LOG_LEVEL_DEBUG, [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
            testbed = umockdev_testbed_new();
        }
        ~Bed() { g_object_unref(testbed); }  // and its folder
    } bed;
    return bed.testbed;
}

Ft232r::Ft232r(std::string serial, Holder holder)
    : serial_(std::move(serial)), holder_(holder), number_([] {
          static std::atomic<int> made{1};
          return ++made;
      }()) {
    line_.setQueryCostUs(0);  // the chip's reads of its line cost no time
    line_.open(VirtualBus::SERIAL);
    for (int i = 0; i < (holder_ == Holder::FtdiSio ? 2 : 1); ++i) {
        handlers_[i] = umockdev_ioctl_base_new();
        g_signal_connect(handlers_[i], "handle-ioctl", i ? G_CALLBACK(onTty) : G_CALLBACK(onIoctl), this);
        if (i) g_signal_connect(handlers_[i], "handle-write", G_CALLBACK(onTty), this);
        umockdev_testbed_attach_ioctl(ft232r_bed(), (i ? ttyNode() : node()).c_str(), handlers_[i], nullptr);
    }
}

Ft232r::~Ft232r() {
    pull();
    for (int i = 0; i < 2 && handlers_[i]; ++i) {
        g_signal_handlers_disconnect_by_data(handlers_[i], this);  // a node left open answers ENOTTY
        umockdev_testbed_detach_ioctl(ft232r_bed(), (i ? ttyNode() : node()).c_str(), nullptr);
        g_object_unref(handlers_[i]);
    }
    for (Urb& u : urbs_) umockdev_ioctl_data_unref(u.data);
}

std::string Ft232r::node() const {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/003/%03d", number_);
    return path;
}

// Its sysfs path; with under, that of its interface 0 and what hangs under it.
std::string Ft232r::sysPath(const char* under) const {
    const std::string name = "3-" + std::to_string(number_);
    return "/devices/pci0000:00/0000:00:14.0/usb3/" + name + (under ? "/" + name + ":1.0" + under : "");
}

std::string Ft232r::ttySysDir() const { return "/sys" + sysPath(("/ttyUSB" + std::to_string(number_)).c_str()); }

// The device with its descriptors (iManufacturer 1, iProduct 2, iSerialNumber 3,
// bulk endpoints 0x81 and 0x02 of 64 bytes) and, held by ftdi_sio, its
// interface with the port and the tty that ftdi_sio makes.
void Ft232r::plug() {
    leaveBed();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        present_ = true;
        dieAt_ = nullptr;
        failReads = false;
        baud_ = 9600, format_ = 0x0008, latencyMs_ = 16, shifting_ = false;
        tx_.clear(), rx_.clear();
        for (Urb& u : urbs_) umockdev_ioctl_data_unref(u.data);
        urbs_.clear();
    }
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "E: BUSNUM=003\nE: DEVNUM=%03d\nA: busnum=3\\n\nA: devnum=%d\\n\n", number_,
                  number_);
    std::string d = "P: " + sysPath() + "\nN: " + node().substr(5) + "\nE: DEVNAME=" + node() +
                    "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" + numbers +
                    "A: bConfigurationValue=1\\n\nA: speed=12\\n\nH: descriptors=1201000200000008030401600006" +
                    "0102" + (serial_.empty() ? "00" : "03") +
                    "0109022000010100A02D0904000002FFFFFF020705810240000007050202400000\n";
    if (holder_ == Holder::FtdiSio) {
        const std::string port = sysPath(("/ttyUSB" + std::to_string(number_)).c_str());
        d += "\nP: " + sysPath("") + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=ftdi_sio\n\nP: " + port +
             "\nE: SUBSYSTEM=usb-serial\nA: latency_timer=16\\n\n\nP: " + port + "/tty" + ttyNode().substr(4) +
             "\nN: " + ttyNode().substr(5) + "\nE: SUBSYSTEM=tty\n";
    }
    inBed_ = umockdev_testbed_add_from_string(ft232r_bed(), d.c_str(), nullptr);
}

void Ft232r::pull() {
    present_ = false;
    leaveBed();
}

// Deepest entries first. The node stays, as a pulled device's does for a
// moment, so that no open falls through to the machine's own /dev.
void Ft232r::leaveBed() {
    if (!inBed_) return;
    inBed_ = false;
    umockdev_testbed_uevent(ft232r_bed(), ("/sys" + sysPath()).c_str(), "remove");
    if (holder_ == Holder::FtdiSio) {
        const std::string port = ttySysDir();
        for (const std::string& p : {port + "/tty" + ttyNode().substr(4), port, "/sys" + sysPath("")})
            umockdev_testbed_remove_device(ft232r_bed(), p.c_str());
    }
    umockdev_testbed_remove_device(ft232r_bed(), ("/sys" + sysPath()).c_str());
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

Ft232r::Seen Ft232r::seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

gboolean Ft232r::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* chip = static_cast<Ft232r*>(self);
    std::lock_guard<std::mutex> lock(chip->mutex_);
    const int64_t now = tim_nowUs();
    chip->advance(now);
    const int error = chip->present_ ? chip->usbfs(umockdev_ioctl_client_get_request(client),
                                                   umockdev_ioctl_client_get_arg(client), now)
                                     : ENODEV;
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
    return TRUE;
}

// One usbdevfs ioctl: 0, or the errno it fails with.
int Ft232r::usbfs(unsigned long request, UMockdevIoctlData* arg, int64_t now) {
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: return ENOTTY;  // an older kernel's answer: libusb assumes what it needs
        case USBDEVFS_CLAIMINTERFACE: return ++seen_.claims, holder_ == Holder::None ? 0 : EBUSY;
        case USBDEVFS_RELEASEINTERFACE: return 0;
        case USBDEVFS_GETDRIVER: {
            if (holder_ == Holder::None) return ENODATA;
            Data d = resolve(arg, 0, sizeof(usbdevfs_getdriver));
            std::snprintf(reinterpret_cast<usbdevfs_getdriver*>(d->data)->driver, USBDEVFS_MAXDRIVERNAME, "%s",
                          holder_ == Holder::FtdiSio ? "ftdi_sio" : "usbfs");
            return 0;
        }
        case USBDEVFS_SUBMITURB:
            urbs_.push_back({umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr), false});
            return 0;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            // A URB completes as it is reaped: one discarded first (timed out) took nothing from the chip.
            if (urbs_.empty()) return EAGAIN;
            Urb urb = urbs_.front();
            urbs_.pop_front();
            complete(urb, now);
            umockdev_ioctl_data_set_ptr(resolve(arg, 0, sizeof(void*)).get(), 0, urb.data);
            umockdev_ioctl_data_unref(urb.data);
            return 0;
        }
        case USBDEVFS_DISCARDURB:
            for (Urb& u : urbs_)
                if (u.data->client_addr == *reinterpret_cast<gulong*>(arg->data)) return u.discarded = true, 0;
            return EINVAL;
    }
    seen_.unknownIoctls.push_back(request);
    return ENOTTY;
}

void Ft232r::complete(Urb& urb, int64_t now) {
    auto* u = reinterpret_cast<usbdevfs_urb*>(urb.data->data);
    u->status = urb.discarded ? -ENOENT : 0;
    u->actual_length = 0;
    if (urb.discarded) return;
    Data buffer = resolve(urb.data, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(u->buffer_length));
    uint8_t* b = buffer->data;
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        u->actual_length = control(b, u->buffer_length, now);
    } else if (u->endpoint == 0x81) {
        if (failReads)
            u->status = -EPROTO;  // what the host controller gives a corrupted packet
        else
            u->actual_length = bulkIn(b, u->buffer_length, now);
    } else if (dieAt_ && dieAt_(std::vector<uint8_t>(b, b + u->buffer_length))) {
        present_ = false;
        u->status = -ESHUTDOWN;  // what the kernel gives a transfer whose device went away
    } else {                     // bulk-out 0x02
        if (tx_.empty() && !shifting_) shiftEndUs_ = std::max(shiftEndUs_, now);
        tx_.insert(tx_.end(), b, b + u->buffer_length);
        u->actual_length = u->buffer_length;
        advance(now);
    }
    if (u->actual_length < 0) u->status = -EPIPE, u->actual_length = 0;  // a stall
}

// The length of the data stage, or -1 to stall.
int Ft232r::control(uint8_t* s, int length, int64_t now) {
    const uint8_t type = s[0], request = s[1];
    const uint16_t value = s[2] | s[3] << 8, index = s[4] | s[5] << 8;
    uint8_t* data = s + 8;
    const int room = std::min(s[6] | s[7] << 8, length - 8);
    if (type == 0x80 && request == 6 && value >> 8 == 3) {  // GET_DESCRIPTOR, a string
        const int i = value & 0xFF;
        const std::string text = i == 1 ? "FTDI" : i == 2 ? "FT232R USB UART" : i == 3 ? serial_ : "";
        uint8_t d[256] = {0, 3, 0x09, 0x04};  // string 0: the one language, US English
        int n = i == 0 ? 4 : 2;
        for (char c : text) d[n++] = static_cast<uint8_t>(c), d[n++] = 0;
        d[0] = static_cast<uint8_t>(n);
        std::memcpy(data, d, static_cast<size_t>(std::min(n, room)));
        return std::min(n, room);
    }
    seen_.requests.push_back({type, request, value, index});
    if (type == 0xC0 && request == 5 && room >= 2) return data[0] = kModemStatus, data[1] = lineStatus(), 2;
    if (type != 0x40) return -1;
    switch (request) {
        case 0:  // reset (0); purge as libftdi 1.5 names it (1 transmit, 2 receive)
            if (value != 2) tx_.clear(), shifting_ = false;
            if (value != 1) rx_.clear();
            return 0;
        case 3:
        case 4:
            // A byte on the wire is cut; one loaded this instant goes at the new settings.
            if (shifting_ && shiftStartUs_ < now) shiftClean_ = false;
            if (shifting_ && shiftStartUs_ >= now) tx_.push_front(shiftByte_), shifting_ = false, shiftEndUs_ = now;
            if (request == 3) baud_ = baudOf(value, index);
            if (request == 4) format_ = value;
            return 0;
        case 9: latencyMs_ = std::max(value & 0xFF, 1); return 0;
    }
    return -1;
}

// Packets of two status bytes and up to 62 received, ending with a short one.
int Ft232r::bulkIn(uint8_t* buffer, int length, int64_t now) {
    const int64_t due = rx_.size() >= kPacket - 2 ? now : std::max<int64_t>(now, lastPacketUs_ + latencyMs_ * 1000LL);
    if (due > now) tim_advanceUs(due - now), advance(now = due);  // the host waits for the latency timer
    int at = 0;
    for (bool full = true; full && length - at >= 2;) {
        const int n = std::min({kPacket - 2, static_cast<int>(rx_.size()), length - at - 2});
        buffer[at++] = kModemStatus;
        buffer[at++] = lineStatus();
        for (int i = 0; i < n; ++i, rx_.pop_front()) buffer[at++] = rx_.front();
        full = n == kPacket - 2;
    }
    lastPacketUs_ = now;
    return at;
}

// Moves the transmitter on to now, the bytes that have left going to the line,
// and takes in what the line has brought.
void Ft232r::advance(int64_t now) {
    for (;;) {
        if (shifting_) {
            if (shiftEndUs_ > now) break;
            line_.transmit(&shiftByte_, 1, shiftStartUs_, shiftBaud_, shiftClean_);
            shifting_ = false;
        }
        if (tx_.empty()) break;
        shiftByte_ = tx_.front();
        tx_.pop_front();
        shifting_ = true, shiftClean_ = format_ == kFormat8N2, shiftBaud_ = baud_;
        shiftStartUs_ = shiftEndUs_;
        shiftEndUs_ = shiftStartUs_ + byteUs(baud_, format_);
    }
    uint8_t got[4096];
    for (uint32_t n = 0; line_.read(got, sizeof got, &n) == PORT_OK && n > 0;) rx_.insert(rx_.end(), got, got + n);
}

// ftdi_sio's tty: notes each TCSETS2 and write, then lets the pseudo-terminal
// behind the node do it.
gboolean Ft232r::onTty(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* chip = static_cast<Ft232r*>(self);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    {
        std::lock_guard<std::mutex> lock(chip->mutex_);
        if (request == 0) {  // a write, its bytes in arg
            std::string text = "write";
            char b[4];
            for (int i = 0; i < arg->data_len; ++i) text += (std::snprintf(b, sizeof b, " %02X", arg->data[i]), b);
            chip->seen_.tty.push_back(text);
            return FALSE;
        }
        if (request == TCSETS2) {
            Data d = resolve(arg, 0, sizeof(termios2));
            const auto* t = reinterpret_cast<const termios2*>(d->data);
            const bool dmx = (t->c_cflag & (CBAUD | CSIZE | CSTOPB | PARENB)) == (BOTHER | CS8 | CSTOPB);
            chip->seen_.tty.push_back("baud " + std::to_string(t->c_ospeed) + (dmx ? " 8N2" : ""));
        }
    }
    int error = 0;
    const int result = umockdev_ioctl_client_execute(client, &error, nullptr);
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}
