// The action buttons, their handlers, the workers of lock bit 2 and the list
// files.
//
// Threads: see buttons.h. Handlers run on the GUI thread; the workers touch
// only the device table, selected_dev, thrDisc, discoveryMsg, the hand-over
// state and their own job, and each of the shared ones guards itself.
#include "gui/buttons.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/app_discovery.h"
#include "app/app_firmware.h"
#include "app/app_genUID.h"
#include "app/app_identify.h"
#include "app/app_setup.h"
#include "app/fileio.h"
#include "app/handover.h"
#include "app/worker.h"
#include "devices/devices.h"
#include "gui/dialog.h"
#include "gui/dmxConsole.h"
#include "gui/mainWin.h"

namespace {

GtkWidget* buttonDiscovery = nullptr;
GtkWidget* buttonSaveList = nullptr;
GtkWidget* buttonLoadList = nullptr;
GtkWidget* buttonRead = nullptr;
GtkWidget* buttonIdentify = nullptr;
GtkWidget* buttonEdit = nullptr;
GtkWidget* buttonUpdateFW = nullptr;
GtkWidget* buttonGenUID = nullptr;
GtkWidget* buttonDali = nullptr;
GtkWidget* buttonInitializeAll = nullptr;
GtkWidget* buttonRandomize = nullptr;
GtkWidget* buttonSearch = nullptr;
GtkWidget* buttonDmxCondole = nullptr;
GtkWidget* buttonCancel = nullptr;

std::atomic<int32_t> thrDisc{0};
pthread_t threadDiscovery{};           // the last worker started (detached)
std::atomic<int32_t> discoveryMsg{0};  // 1: the discovery worker posts its count

GtkWidget* makeButton(GtkWidget*& slot, const char* label, void (*handler)(GtkWidget*, gpointer), bool visible = true) {
    if (slot) return slot;
    slot = gtk_button_new_with_label(label);
    g_signal_connect(slot, "clicked", G_CALLBACK(handler), nullptr);
    if (visible) gtk_widget_show(slot);
    return slot;
}

void setSensitive(GtkWidget* button, bool on) {
    if (button) gtk_widget_set_sensitive(button, on ? TRUE : FALSE);
}

void clearListWidget() {
    if (deviceList) gtk_clist_clear(GTK_CLIST(deviceList));
}

// Starts a worker under lock bit 2 (discovery, list load, read, send to all);
// the caller has checked that none runs. False when the thread would not start.
bool startWorker(void* (*body)(void*), const char* what, void* arg = nullptr) {
    cancel_clear();  // a request left from the last worker is not for this one
    thrDisc = THR_BUSY;
    setLock(LOCK_DISCOVERY);
    const int rc = worker_startDetached(body, arg, &threadDiscovery);
    if (rc == 0) return true;
    thrDisc = 0;
    remLock(LOCK_DISCOVERY);
    status_setReading(0, 0);
    status_setSending(0, 0);
    std::string text = std::string("Cannot start the ") + what + ": " + std::strerror(rc);
    messageError(text.c_str());
    return false;
}

std::vector<uint32_t> listedUids() {
    std::vector<uint32_t> uids;
    for (int i = 0; i < DEV_MAX && dev_uidAt(i) != 0; ++i) uids.push_back(dev_uidAt(i));
    return uids;
}

// Ends a worker started by startWorker: the busy flag, then the lock bit.
void* endWorker() {
    thrDisc = 0;
    remLock(LOCK_DISCOVERY);
    return nullptr;
}

// What "OK/SEND to all" hands its worker.
struct SendToAll {
    PanelSetup setup;
    uint8_t dmx[DEV_BUTTONS][DMX_BLOCK_SIZE];
    uint8_t known;
    std::vector<uint32_t> uids;
};

void startDiscoveryWorker() {
    if (thrDisc.load() == THR_BUSY) return;
    clearListWidget();
    dev_removeAll();
    // The status line shows this run from its start, not the last run's count.
    dPass = 0;
    dFound = 0;
    status_setReading(0, 0);
    startWorker(makeDiscoveryThr, "discovery worker");
}

}  // namespace

int32_t buttons_thrDisc() { return thrDisc.load(); }

// ---- Builders -----------------------------------------------------------------

GtkWidget* getButtonDiscovery() { return makeButton(buttonDiscovery, "Discovery", buttonDiscoveryAction); }
GtkWidget* getButtonRead() { return makeButton(buttonRead, "Read parameters", buttonReadAction); }
GtkWidget* getButtonEdit() { return makeButton(buttonEdit, "Setup device", buttonEditAction); }
GtkWidget* getButtonDali() { return makeButton(buttonDali, "DALI list", buttonDaliAction, false); }
GtkWidget* getButtonInitializeAll() {
    return makeButton(buttonInitializeAll, "Initialize ALL", buttonInitializeAllAction);
}
GtkWidget* getButtonRandomize() { return makeButton(buttonRandomize, "Randomize ALL", buttonRandomizeAction); }
GtkWidget* getButtonSearch() { return makeButton(buttonSearch, "Search ALL", buttonSearchAction); }
GtkWidget* getButtonUpdateFw() { return makeButton(buttonUpdateFW, "Update FW", buttonUpdateFWAction); }
GtkWidget* getButtonDmxConsole() { return makeButton(buttonDmxCondole, "DMX", buttonDmxConsoleAction); }
GtkWidget* getButtonIdentify() { return makeButton(buttonIdentify, "Identify", buttonIdentifyAction); }
GtkWidget* getButtonGenUID() { return makeButton(buttonGenUID, "Generate UID", buttonGenUIDAction); }
GtkWidget* getButtonSaveList() { return makeButton(buttonSaveList, "Save list", buttonSaveListAction); }
GtkWidget* getButtonLoadList() { return makeButton(buttonLoadList, "Load list", buttonLoadListAction); }
GtkWidget* getButtonCancel() {
    if (buttonCancel) return buttonCancel;
    makeButton(buttonCancel, "Cancel", buttonCancelAction);
    gtk_widget_set_sensitive(buttonCancel, FALSE);
    gtk_widget_set_tooltip_text(buttonCancel,
                                "Stops the discovery after the exchange in progress, or a list load, "
                                "\"Read parameters\" or \"OK/SEND to all\" after the panel in progress; "
                                "what was done stays done.");
    return buttonCancel;
}

void buttonsEnable(uint8_t enabled, uint8_t selected) {
    const bool on = enabled != 0;
    const bool device = on && selected != 0;
    setSensitive(buttonDiscovery, on);
    setSensitive(buttonUpdateFW, on);
    setSensitive(buttonSaveList, on);
    setSensitive(buttonLoadList, on);
    setSensitive(buttonGenUID, device);
    setSensitive(buttonIdentify, device);
    setSensitive(buttonRead, device);
    setSensitive(buttonEdit, device);
}

void cancelEnable() { setSensitive(buttonCancel, thrDisc.load() == THR_BUSY && !cancel_requested()); }

// ---- Workers --------------------------------------------------------------------

void* makeDiscoveryThr(void*) {
    selected_dev = NO_DEVICE;
    std::vector<uint32_t> found(DEV_MAX);
    found.resize(static_cast<size_t>(app_discovery(found.data(), DEV_MAX)));
    const bool searchCancelled = app_discovery_outcome().end == DiscoveryEnd::Cancelled;
    // Listed in the order found; cancelled, the rest stay listed, unread.
    dev_removeAll();
    for (uint32_t uid : found) addDevUID(uid);
    const bool cancelled = searchCancelled || app_setup_readEach(found).cancelled;
    const int count = static_cast<int>(found.size());
    char text[512];
    std::snprintf(text, sizeof text, "Discovery: %d found%s", count, cancelled ? " (cancelled)" : "");
    status_setEnd(text);
    if (discoveryMsg.exchange(0) != 0) {
        const int type = app_discovery_report(count, text, sizeof text);
        if (cancelled && !searchCancelled) {
            const size_t used = std::strlen(text);
            std::snprintf(text + used, sizeof text - used, "\n(cancelled)");
        }
        if (type == MSG_ERROR)
            messageError(text);
        else
            messageInfo(text);
    }
    return endWorker();
}

namespace {

// Reads every listed panel; the status line's end says how it went.
SetupReads readListed(const char* what) {
    const std::vector<uint32_t> uids = listedUids();
    SetupReads r = app_setup_readEach(uids);
    const int total = static_cast<int>(uids.size());
    char text[96];
    if (r.cancelled)
        std::snprintf(text, sizeof text, "%s: %d of %d read, %d answered (cancelled)", what, r.read, total, r.answered);
    else
        std::snprintf(text, sizeof text, "%s: %d of %d answered", what, r.answered, total);
    status_setEnd(text);
    return r;
}

}  // namespace

void* makeLoadThr(void*) {
    readListed("List read");
    return endWorker();
}

// "Read parameters": every listed panel read, the silent ones named in one box.
void* makeReadThr(void*) {
    const SetupReads r = readListed("Read parameters");
    // At most 1,989 + one 10-character line: the whole report fits the slot.
    constexpr size_t REPORT_FULL = 1990;
    std::string report = "Read setup:\n Device(s) not responding:\n";
    for (uint32_t uid : r.silent) {
        if (report.size() >= REPORT_FULL) break;
        char line[16];
        std::snprintf(line, sizeof line, " %X\n", uid);
        report += line;
    }
    if (!r.silent.empty()) messageError(report.c_str());
    return endWorker();
}

// "OK/SEND to all": one panel after another; a cancel request is seen between
// two panels, so none is left half-sent by it.
void* makeSendThr(void* raw) {
    const std::unique_ptr<SendToAll> job(static_cast<SendToAll*>(raw));
    const int total = static_cast<int>(job->uids.size());
    int sent = 0;
    int confirmed = 0;
    while (sent < total && !cancel_requested()) {
        status_setSending(sent + 1, total);
        if (app_setup_send(job->uids[sent], &job->setup, job->dmx, job->known) > 0) ++confirmed;
        ++sent;
    }
    status_setSending(0, 0);
    char text[96];
    if (sent < total)
        std::snprintf(text, sizeof text, "Setup sent to %d of %d panels, %d confirmed (cancelled)", sent, total,
                      confirmed);
    else
        std::snprintf(text, sizeof text, "Setup sent to %d panels, %d confirmed", sent, confirmed);
    status_setEnd(text);
    return endWorker();
}

int makeDiscovery() {
    startDiscoveryWorker();
    return 0;
}

// ---- Handlers ---------------------------------------------------------------------

void buttonDiscoveryAction(GtkWidget*, gpointer) {
    discoveryMsg = 1;
    selected_dev = NO_DEVICE;
    startDiscoveryWorker();
}

void buttonReadAction(GtkWidget*, gpointer) {
    if (thrDisc.load() == THR_BUSY) return;
    status_setReading(0, dev_count());  // the status line says so from the next tick
    startWorker(makeReadThr, "read");
}

void buttonEditAction(GtkWidget*, gpointer) {
    const int32_t selected = selected_dev.load();
    if (selected == NO_DEVICE) return;
    const uint32_t uid = static_cast<uint32_t>(selected);
    char text[96];
    // A selection whose row is gone gets its row back, so the read fills it.
    if (findDevUID(uid) < 0) {
        std::snprintf(text, sizeof text, "Setup device: %08X not listed, and the list is full", uid);
        status_setEnd(text);
        return;
    }
    if (app_setup_read(uid) < 0) {
        std::snprintf(text, sizeof text, "Device %X not responding.", uid);
        messageError(text);
        return;
    }
    DeviceRecord record;
    if (!dev_copyByUid(uid, &record)) return;  // the table was rebuilt meanwhile
    PanelSetup setup{};
    const int result = input_dialog(&record, &setup);
    // Only the blocks read from this panel or set in the DMX setup dialog go out,
    // to every panel alike for "OK/SEND to all".
    if (result == 1) {
        const bool confirmed = app_setup_send(uid, &setup, record.dmx, record.dmxKnown) > 0;
        std::snprintf(text, sizeof text, confirmed ? "Setup sent to %08X" : "Setup sent to %08X, not confirmed", uid);
        status_setEnd(text);
    } else if (result == 2) {
        // A double click can open the dialog while a worker holds the bus work.
        if (thrDisc.load() == THR_BUSY) {
            messageError(
                "Setup not sent: a discovery, list load, read or send is running. Send it again once it "
                "has ended.");
            return;
        }
        auto* job = new SendToAll{setup, {}, record.dmxKnown, listedUids()};
        std::memcpy(job->dmx, record.dmx, sizeof job->dmx);
        status_setSending(0, static_cast<int32_t>(job->uids.size()));
        if (!startWorker(makeSendThr, "send", job)) delete job;
    }
}

void buttonIdentifyAction(GtkWidget*, gpointer) {
    const int32_t selected = selected_dev.load();
    if (selected == NO_DEVICE) return;
    const uint32_t uid = static_cast<uint32_t>(selected);
    char text[64];
    if (app_identify_send(uid, 0) < 0) {
        std::snprintf(text, sizeof text, "Identify: %08X did not answer", uid);
        status_setEnd(text);
        std::snprintf(text, sizeof text, "IDENTIFY:\n\n Device %X not responding.", uid);
        messageError(text);
        return;
    }
    std::snprintf(text, sizeof text, "Identify: %08X answered", uid);
    status_setEnd(text);
}

void buttonUpdateFWAction(GtkWidget*, gpointer) {
    if (!openFileDialog(FILE_FIRMWARE)) return;
    buttonSendAction(static_cast<uint32_t>(selected_dev.load()), getFilename());
}

void buttonGenUIDAction(GtkWidget*, gpointer) {
    const int32_t selected = selected_dev.load();
    if (selected == NO_DEVICE) return;
    const uint32_t oldUid = static_cast<uint32_t>(selected);
    char description[GEN_UID_TEXT_SIZE] = {};
    const uint32_t newUid = app_genNewUID(description);
    char text[GEN_UID_TEXT_SIZE + 64];
    std::snprintf(text, sizeof text, "Change UID %08X to:\n%s", oldUid, description);
    if (messageQuestion(window, text) != GTK_RESPONSE_YES) return;
    if (app_genUid(oldUid, newUid) > 0) {
        std::snprintf(text, sizeof text, "UID %08X -> %08X\n changed.", oldUid, newUid);
        messageInfo(text);
    } else {
        std::snprintf(text, sizeof text, "UID %08X -> %08X\n not changed.", oldUid, newUid);
        messageError(text);
    }
    startDiscoveryWorker();
}

void buttonDmxConsoleAction(GtkWidget*, gpointer) { dmxConsole(); }

// The worker sees the request at its next boundary between exchanges.
void buttonCancelAction(GtkWidget*, gpointer) {
    if (thrDisc.load() != THR_BUSY) return;
    cancel_request();
    cancelEnable();
}

void buttonDaliAction(GtkWidget*, gpointer) {}
void buttonInitializeAllAction(GtkWidget*, gpointer) {}
void buttonRandomizeAction(GtkWidget*, gpointer) {}
void buttonSearchAction(GtkWidget*, gpointer) {}
void buttonInfoAction(GtkWidget*, gpointer) {}

// ---- List files -------------------------------------------------------------------

void buttonSaveListAction(GtkWidget*, gpointer) {
    if (!openFileDialog(FILE_LIST_SAVE)) return;
    const std::string name = getFilename();
    const int rc = saveListFile(name.c_str());
    if (rc == 0) {
        gchar* base = g_path_get_basename(name.c_str());
        status_setEnd(std::string("List saved: ") + base + " (" + std::to_string(dev_count()) + " panels)");
        g_free(base);
        return;
    }
    const std::string text = (rc == -1 ? "Cannot create file: " : "Cannot write file: ") + name;
    messageError(text.c_str());
}

void buttonLoadListAction(GtkWidget*, gpointer) {
    if (!openFileDialog(FILE_LIST_OPEN)) return;
    const std::string name = getFilename();
    // Never blocks: a FIFO, a device or a folder is refused like a missing file.
    std::FILE* in = openRegularFile(name.c_str(), false);
    if (!in) {
        const int why = errno;
        std::printf("Cannot open file: %s\n", name.c_str());
        std::fflush(stdout);
        gchar* base = g_path_get_basename(name.c_str());
        status_setEnd(std::string("Cannot open file: ") + base + " (" + std::strerror(why ? why : ENOENT) + ")");
        g_free(base);
        return;
    }
    // The rows it replaces go, and with them the selection: no action may
    // target a panel that is no longer listed.
    selected_dev = NO_DEVICE;
    clearListWidget();
    dev_removeAll();
    const int read = readListFile(in);
    std::fclose(in);
    if (read == 0) {
        gchar* base = g_path_get_basename(name.c_str());
        status_setEnd(std::string("List loaded: ") + base + " (0 panels)");
        g_free(base);
    }
    if (thrDisc.load() == THR_BUSY || read == 0) return;
    status_setReading(0, dev_count());
    startWorker(makeLoadThr, "list-load worker");
}
