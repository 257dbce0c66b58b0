// The libftdi1 and libusb calls the libftdi driver makes, and where it looks in
// sysfs and /dev, as one table: the real ones in use, stand-ins in the tests.
//
// Threads: the table is constant; see port.h for the drivers.
#pragma once

#include <ftdi.h>
#include <libusb.h>

#include <memory>
#include <string>

#include "bus/port/port.h"

struct LibftdiCalls {
    ftdi_context* (*newContext)();
    void (*freeContext)(ftdi_context*);
    int (*findAll)(ftdi_context*, ftdi_device_list**, int vendor, int product);
    void (*listFree)(ftdi_device_list**);
    int (*getStrings)(ftdi_context*, libusb_device*, char* maker, int makerLen, char* description, int descriptionLen,
                      char* serial, int serialLen);
    int (*openDevice)(ftdi_context*, libusb_device*);
    int (*closeDevice)(ftdi_context*);
    const char* (*errorString)(ftdi_context*);
    int (*setLatencyTimer)(ftdi_context*, unsigned char);
    int (*resetChip)(ftdi_context*);
    int (*flushBoth)(ftdi_context*);
    int (*setBaudRate)(ftdi_context*, int);
    int (*setLineProperty)(ftdi_context*, ftdi_bits_type, ftdi_stopbits_type, ftdi_parity_type);
    int (*pollModemStatus)(ftdi_context*, unsigned short*);
    int (*readData)(ftdi_context*, unsigned char*, int);
    int (*writeData)(ftdi_context*, const unsigned char*, int);
    libusb_device* (*refDevice)(libusb_device*);
    void (*unrefDevice)(libusb_device*);
    int (*deviceDescriptor)(libusb_device*, libusb_device_descriptor*);
    uint8_t (*busNumber)(libusb_device*);
    uint8_t (*deviceAddress)(libusb_device*);
    int (*portNumbers)(libusb_device*, uint8_t*, int);
    const char* sysUsbDevices;  // where the kernel lists USB interfaces: /sys/bus/usb/devices
    const char* devDir;         // where their tty nodes are: /dev
};

// The table of the real libftdi1 and libusb.
const LibftdiCalls& libftdi_realCalls();
// A libftdi driver over these calls (which must outlive it); serial as in port.h.
std::unique_ptr<PortDriver> port_newLibftdiDriver(const LibftdiCalls& calls, const std::string& serial = "");
// What KORVANE_PORT's libftdi1 choices are built on from the next choice on;
// nullptr: the real calls (tests).
void port_setLibftdiCalls(const LibftdiCalls* calls);
