// The main window and the status tick.
//
// Threads: the GUI thread builds and touches every widget, runs the tick and the
// handlers. Workers reach the screen only through the device table (read here as
// whole-record copies), the hand-over state of handover.h, selected_dev, and
// the discovery's pass and count and the upload's chunk count (atomics) that the
// status line reads.
#include "gui/mainWin.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/app_discovery.h"
#include "app/app_firmware.h"
#include "app/app_setup.h"
#include "app/handover.h"
#include "bus/cable.h"
#include "devices/devices.h"
#include "gui/buttons.h"
#include "gui/dialog.h"

GtkWidget* window = nullptr;
GtkWidget* deviceList = nullptr;
std::atomic<int32_t> selected_dev{NO_DEVICE};

namespace {

GtkWidget* scrolledDeviceList = nullptr;
GtkWidget* progressBar = nullptr;
GtkWidget* table = nullptr;
GtkWidget* statusText = nullptr;  // under the progress bar: what runs, or how the last operation ended
GtkWidget* statusPort = nullptr;  // beside it: the port in use and its state
guint ptimer = 0;
uint8_t compEnabled = 1;

const char* const columnTitles[LIST_COLUMNS] = {"#",    "UID",  "SW ver.", "Intens.", "Btn1",
                                                "Btn2", "Btn3", "Btn4",    "Btn5",    "Btn6"};
const int columnWidths[LIST_COLUMNS] = {35, 70, 50, 40, 60, 60, 60, 60, 60, 60};
constexpr int FIRST_BUTTON_COLUMN = 4;
constexpr int COLUMN_SPACE = 7;  // the list's own room around a column's text: 2 insets and the spacing

// Row texts as last computed; row r mirrors device record r. A cell the record
// does not determine (unknown version, unknown button type) keeps the text the
// same panel gave it last; a row appended to an emptied list, or taken over by
// another panel, starts empty, so it never shows another panel's data.
constexpr int CELL_SIZE = 24;
char rowCache[DEV_MAX][LIST_COLUMNS][CELL_SIZE];

// The record each list row was last brought up to date from. While the record
// is the same and the row is still in the list, the row needs no work at all:
// an idle tick then neither formats nor compares 2,000 cell texts.
DeviceRecord shownRecord[DEV_MAX];
bool rowShown[DEV_MAX];

constexpr guint TICK_MS = 50;

bool editOnRelease = false;  // a double click asked for "Setup device"

gboolean runEdit(gpointer) {
    buttonEditAction(nullptr, nullptr);
    return FALSE;
}

gboolean listReleased(GtkWidget*, GdkEventButton*, gpointer) {
    if (editOnRelease) {
        editOnRelease = false;
        g_idle_add(runEdit, nullptr);
    }
    return FALSE;
}

bool inTick = false;  // the timer fires again inside a box the tick opened

// With no cable an open try lists the USB bus. After a failed try the tick
// tries again only every tenth time, half a second: soon enough for a cable
// plugged back in, at a tenth of the cost.
constexpr int OPEN_RETRY_TICKS = 10;
int openRetryIn = 0;

void pollCable() {
    if (openRetryIn > 0) {
        --openRetryIn;
        return;
    }
    checkCableData();
    char why[300];
    const int32_t state = cable_portState(why, sizeof why);
    if (state < 0 && state != CABLE_BUSY) openRetryIn = OPEN_RETRY_TICKS - 1;
}
long cellsSet = 0;

void showMessage(int type, const char* text) {
    if (type > 0)
        messageInfo_show(text);
    else
        messageError_show(text);
}

void fillRow(int r, const DeviceRecord& rec) {
    char(*row)[CELL_SIZE] = rowCache[r];
    std::snprintf(row[0], CELL_SIZE, "%3d", r + 1);
    std::snprintf(row[1], CELL_SIZE, "%08X", rec.uid);
    dev_versionText(rec, row[2], CELL_SIZE);
    if (row[2][0] == '\0') return;  // version not read yet
    std::snprintf(row[3], CELL_SIZE, "%d", rec.intensity);
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        char* cell = row[FIRST_BUTTON_COLUMN + b];
        const ButtonSetup& btn = rec.btn[b];
        if (btn.type == 0) {
            std::snprintf(cell, CELL_SIZE, "Off");
        } else if (btn.type == 1 || btn.type == 2) {
            std::snprintf(cell, CELL_SIZE, "%cScene \n%c-0x%04X", (rec.act >> b) & 1 ? '*' : ' ',
                          btn.type == 1 ? 'F' : 'L', btn.scn);
        }
    }
}

// The fields fillRow reads.
bool sameCells(const DeviceRecord& a, const DeviceRecord& b) {
    if (a.uid != b.uid || a.verMajor != b.verMajor || a.verMinor != b.verMinor || a.intensity != b.intensity ||
        a.act != b.act)
        return false;
    for (int i = 0; i < DEV_BUTTONS; ++i)
        if (a.btn[i].type != b.btn[i].type || a.btn[i].scn != b.btn[i].scn) return false;
    return true;
}

void refreshList() {
    GtkCList* list = GTK_CLIST(deviceList);
    for (int r = 0; r < DEV_MAX; ++r) {
        DeviceRecord rec;
        if (!dev_copyRecord(r, &rec)) break;
        if (r < list->rows && rowShown[r] && sameCells(rec, shownRecord[r])) continue;
        if (r >= list->rows || !rowShown[r] || shownRecord[r].uid != rec.uid)
            std::memset(rowCache[r], 0, sizeof rowCache[r]);
        fillRow(r, rec);
        shownRecord[r] = rec;
        rowShown[r] = true;
        if (r < list->rows) {
            for (int c = 0; c < LIST_COLUMNS; ++c) {
                gchar* shown = nullptr;
                gtk_clist_get_text(list, r, c, &shown);
                if (std::strcmp(shown ? shown : "", rowCache[r][c]) != 0) {
                    gtk_clist_set_text(list, r, c, rowCache[r][c]);
                    ++cellsSet;
                }
            }
        } else {
            gchar* texts[LIST_COLUMNS];
            for (int c = 0; c < LIST_COLUMNS; ++c) texts[c] = rowCache[r][c];
            gtk_clist_append(list, texts);
            cellsSet += LIST_COLUMNS;
        }
    }
}

// The message step: at most one box; the slot empties only after it is closed.
void showPendingMessage() {
    int type = MSG_NONE;
    std::string text;
    if (!message_take(&type, &text)) return;
    showMessage(type, text.c_str());
    message_done();
}

void setBar(int32_t done, int32_t total) {
    if (!progressBar) return;
    double fraction = total > done ? static_cast<double>(done) / total : 1.0;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progressBar), fraction);
}

// ---- Status line ----------------------------------------------------------------

const char* const FIRST_STEP = "To start: Discovery finds the panels on the bus, Load list reads a saved list";

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char text[64];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

// What runs, from what the workers publish; how the last operation ended when
// nothing runs; what to do first while nothing has run and the list is empty.
std::string activityText() {
    std::string text;
    const uint32_t locks = getLockComponents();
    int32_t done = 0;
    int32_t total = 0;
    if (status_reading(&done, &total))
        text = format("Reading %d of %d", done, total);
    else if (status_sending(&done, &total))
        text = format("Sending %d of %d", done, total);
    else if (locks & LOCK_DISCOVERY)
        text = dPass.load() == 0 ? "Discovery: starting"
                                 : format("Discovery: pass %d, %d found", dPass.load(), dFound.load());
    if (locks & LOCK_FIRMWARE)
        text += (text.empty() ? "" : "; ") + format("Firmware: chunk %d of %d", pStatusSt.load(), fwChunks.load());
    if (text.empty()) text = status_end();
    if (text.empty() && dev_count() == 0) text = FIRST_STEP;
    return text;
}

// True when the text changed.
bool setLabel(GtkWidget* label, const std::string& text) {
    if (!label || text == gtk_label_get_text(GTK_LABEL(label))) return false;
    gtk_label_set_text(GTK_LABEL(label), text.c_str());
    return true;
}

void updateStatusLine() {
    setLabel(statusText, activityText());
    char port[300] = {};
    const int32_t state = cable_portState(port, sizeof port);
    if (state == CABLE_BUSY) return;  // an exchange holds the port: it is still what it was
    const std::string text = portStatusText(state, port, std::getenv("KORVANE_PORT"));
    // Only on a change: setting a tooltip makes GTK ask the X server where the
    // pointer is and walk the widgets, which at every tick was most of the
    // window's idle cost.
    if (setLabel(statusPort, text)) gtk_widget_set_tooltip_text(statusPort, text.c_str());
}

// ---- Column widths ----------------------------------------------------------------

int textWidth(GtkWidget* widget, const std::string& text) {
    PangoLayout* layout = gtk_widget_create_pango_layout(widget, text.c_str());
    int width = 0;
    pango_layout_get_pixel_size(layout, &width, nullptr);
    g_object_unref(layout);
    return width;
}

// The widest character of a set, n times: as wide as any n of them in a row.
std::string widest(GtkWidget* widget, const char* set, int n) {
    char best = set[0];
    int bestWidth = -1;
    for (const char* c = set; *c; ++c) {
        const int w = textWidth(widget, std::string(1, *c));
        if (w > bestWidth) {
            best = *c;
            bestWidth = w;
        }
    }
    return std::string(static_cast<size_t>(n), best);
}

// Each column at least its own width and as wide as the longest text it can
// show, its title button included, in the list's font; again when the font changes.
void fitColumns(GtkWidget* list, GtkStyle*, gpointer) {
    const char* digits = "0123456789";
    const char* hex = "0123456789ABCDEF";
    const std::string mask = widest(list, hex, 4);
    const std::vector<std::string> texts[LIST_COLUMNS] = {
        {widest(list, digits, 3)},
        {widest(list, hex, 8)},
        {widest(list, digits, 1) + "." + widest(list, digits, 3)},
        {widest(list, digits, 1)},
        {"*Scene ", " Scene ", "Off", "F-0x" + mask, "L-0x" + mask},
    };
    GtkCList* clist = GTK_CLIST(list);
    int total = 0;
    for (int c = 0; c < LIST_COLUMNS; ++c) {
        int width = columnWidths[c];
        for (const std::string& text : texts[std::min(c, FIRST_BUTTON_COLUMN)])
            width = std::max(width, textWidth(list, text));
        if (GtkWidget* title = clist->column[c].button) {
            GtkRequisition asked;
            gtk_widget_size_request(title, &asked);
            width = std::max(width, asked.width);
        }
        gtk_clist_set_column_width(clist, c, width);
        total += width + COLUMN_SPACE;
    }
    // The list opens showing every column: wider than its usual 640 when they need it.
    if (!scrolledDeviceList) return;
    GtkRequisition bar = {0, 0};
    if (GtkWidget* vbar = gtk_scrolled_window_get_vscrollbar(GTK_SCROLLED_WINDOW(scrolledDeviceList)))
        gtk_widget_size_request(vbar, &bar);
    gint spacing = 0;
    gtk_widget_style_get(scrolledDeviceList, "scrollbar-spacing", &spacing, nullptr);
    // The list's own edge: its style's thickness each side, and one spacing after the last column.
    total += 2 * list->style->xthickness + 1;
    gtk_widget_set_size_request(scrolledDeviceList, std::max(640, total + bar.width + spacing), 135);
}

// ---- Closing ----------------------------------------------------------------------

// What closing the window now would leave broken on the bus; empty when nothing.
std::string closingLeaves() {
    std::string text = firmware_stopLeaves();
    if (!text.empty()) text = "A firmware upload is running. " + text;
    int32_t done = 0;
    int32_t total = 0;
    if (status_sending(&done, &total)) {
        const int row = std::max(done, 1);
        char line[200];
        std::snprintf(line, sizeof line,
                      "The setup is being sent to %d panels, %d done: closing now stops it in the middle of the panel "
                      "in row %d",
                      total, row - 1, row);
        text += (text.empty() ? "" : "\n\n") + std::string(line);
        text += total > row ? format(" and leaves the %d after it without the new setup.", total - row) : ".";
    }
    return text;
}

gboolean windowDeleted(GtkWidget*, GdkEvent*, gpointer) { return mainWin_mayClose() ? FALSE : TRUE; }

}  // namespace

// ---- The status tick --------------------------------------------------------

int32_t checkCableData() { return cable_poll(); }

void updateProgressBar(int32_t done, int32_t total) {
    setBar(done, total);
    showPendingMessage();
}

void componentEnable(uint8_t enabled) {
    compEnabled = enabled;
    buttonsEnable(enabled, selected_dev.load() != NO_DEVICE);
}

gboolean progress(gpointer) {
    if (inTick) {
        // A box this tick opened is up: the rest stands still until it closes,
        // but what runs, and whether it can still be cancelled, stays true.
        cancelEnable();
        updateStatusLine();
        return TRUE;
    }
    inTick = true;
    pollCable();
    setBar(pStatusSt.load(), pStatusTop.load());
    showPendingMessage();
    // A worker that posts and then clears its lock bit can land between the
    // message step and this one: its box is still to come, so keep the buttons
    // grey until it has been shown.
    componentEnable(getLockComponents() == 0 && message_pendingType() == MSG_NONE);
    cancelEnable();
    if (deviceList) refreshList();
    updateStatusLine();
    inTick = false;
    return TRUE;
}

std::string portStatusText(int32_t state, const char* text, const char* choice) {
    if (state < 0) return std::string("Port: no cable: ") + text;
    if (state == 0) return "Port: closed";
    if (choice && std::strcmp(choice, "sim") == 0) return "Port: virtual panels";
    if (text[0] == '/') return std::string("Port: ") + text;
    return std::string("Port: FTDI cable ") + text;
}

// Tests: cells written by the tick so far; forgetting the row texts.
long mainWin_cellsSet() { return cellsSet; }
void mainWin_resetRowCache() {
    openRetryIn = 0;
    std::memset(rowCache, 0, sizeof rowCache);
    std::memset(rowShown, 0, sizeof rowShown);
}
void mainWin_installShower() { message_setGuiThread(showMessage); }

// ---- Device list --------------------------------------------------------------

void selection_made(GtkWidget* list, gint row, gint column, GdkEventButton* event, gpointer) {
    const uint32_t uid = dev_uidAt(row);
    selected_dev = uid != 0 ? static_cast<int32_t>(uid) : NO_DEVICE;
    std::printf("mainWin: selected = %08X %d\n", uid, row);
    std::fflush(stdout);
    if (!event || uid == 0) return;
    if (event->type == GDK_2BUTTON_PRESS) {
        // The setup dialog opens once the list has seen this click's release:
        // a modal dialog opened in the middle of the click would take that
        // release, and the list would stay in its pressed state afterwards.
        if (column < FIRST_BUTTON_COLUMN) editOnRelease = true;
        return;
    }
    if (column < FIRST_BUTTON_COLUMN) return;
    std::printf("Button %d\n", column - FIRST_BUTTON_COLUMN);
    std::fflush(stdout);
    app_setup_send_simBtn(uid, column - FIRST_BUTTON_COLUMN);
    gtk_clist_unselect_all(GTK_CLIST(list));
}

GtkWidget* getDeviceList() {
    if (scrolledDeviceList) return scrolledDeviceList;
    scrolledDeviceList = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_widget_set_name(scrolledDeviceList, "scrolledDeviceList");
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolledDeviceList), GTK_POLICY_AUTOMATIC, GTK_POLICY_ALWAYS);
    gtk_widget_set_size_request(scrolledDeviceList, 640, 135);

    deviceList = gtk_clist_new_with_titles(LIST_COLUMNS, const_cast<gchar**>(columnTitles));
    g_signal_connect(deviceList, "select_row", G_CALLBACK(selection_made), nullptr);
    g_signal_connect_after(deviceList, "button-release-event", G_CALLBACK(listReleased), nullptr);
    gtk_clist_set_shadow_type(GTK_CLIST(deviceList), GTK_SHADOW_NONE);
    gtk_clist_set_selection_mode(GTK_CLIST(deviceList), GTK_SELECTION_SINGLE);
    fitColumns(deviceList, nullptr, nullptr);
    g_signal_connect(deviceList, "style-set", G_CALLBACK(fitColumns), nullptr);
    for (int c = FIRST_BUTTON_COLUMN; c < LIST_COLUMNS; ++c) {
        const int b = c - FIRST_BUTTON_COLUMN + 1;
        char tip[200];
        std::snprintf(tip, sizeof tip,
                      "What button %d of the panel does: Off, or F (flash) / L (latch) and its scene mask.\n"
                      "'*': button %d is active, its scene is on.\n"
                      "A click in this column presses button %d on that panel.",
                      b, b, b);
        gtk_widget_set_tooltip_text(GTK_CLIST(deviceList)->column[c].button, tip);
    }
    gtk_clist_set_row_height(GTK_CLIST(deviceList), 50);

    gtk_container_add(GTK_CONTAINER(scrolledDeviceList), deviceList);
    gtk_widget_show(deviceList);
    gtk_widget_show(scrolledDeviceList);
    return scrolledDeviceList;
}

// ---- Button groups and panels ---------------------------------------------------

namespace {

GtkWidget* buttonGroup(const char* title, GtkWidget* const* buttons, int count) {
    GtkWidget* frame = gtk_frame_new(title);
    GtkWidget* box = gtk_vbox_new(FALSE, 2);
    gtk_container_set_border_width(GTK_CONTAINER(box), 5);
    gtk_container_add(GTK_CONTAINER(frame), box);
    for (int i = 0; i < count; ++i) gtk_box_pack_start(GTK_BOX(box), buttons[i], FALSE, FALSE, 2);
    gtk_widget_show(box);
    gtk_widget_show(frame);
    return frame;
}

}  // namespace

GtkWidget* getBtnGroup1() {
    GtkWidget* buttons[] = {getButtonDiscovery(), getButtonSaveList(), getButtonLoadList(), getButtonRead()};
    return buttonGroup("System", buttons, 4);
}

GtkWidget* getBtnGroup2() {
    GtkWidget* buttons[] = {getButtonIdentify(), getButtonEdit(), getButtonUpdateFw(), getButtonGenUID()};
    return buttonGroup("Device", buttons, 4);
}

GtkWidget* getBtnGroup3() {
    GtkWidget* buttons[] = {getButtonDali(), getButtonInitializeAll(), getButtonRandomize(), getButtonSearch()};
    return buttonGroup("DALI", buttons, 4);
}

GtkWidget* getBtnGroup4() {
    GtkWidget* buttons[] = {getButtonDmxConsole()};
    return buttonGroup("Utility", buttons, 1);
}

GtkWidget* getButtonsPanel() {
    GtkWidget* fixed = gtk_fixed_new();
    GtkWidget* box = gtk_vbox_new(FALSE, 2);
    gtk_container_set_border_width(GTK_CONTAINER(box), 0);
    gtk_box_pack_start(GTK_BOX(box), getBtnGroup1(), FALSE, FALSE, 2);
    gtk_box_pack_start(GTK_BOX(box), getBtnGroup2(), FALSE, FALSE, 2);
    gtk_fixed_put(GTK_FIXED(fixed), box, 0, 0);
    gtk_widget_show(box);
    gtk_widget_show(fixed);
    return fixed;
}

GtkWidget* getDevPanel() {
    GtkWidget* frame = gtk_frame_new(nullptr);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_NONE);
    GtkWidget* box = gtk_hbox_new(FALSE, 0);
    gtk_container_set_border_width(GTK_CONTAINER(box), 0);
    gtk_box_pack_start(GTK_BOX(box), getDeviceList(), TRUE, TRUE, 5);
    gtk_box_pack_start(GTK_BOX(box), getButtonsPanel(), FALSE, TRUE, 5);
    gtk_container_add(GTK_CONTAINER(frame), box);
    gtk_widget_show(box);
    gtk_widget_show(frame);
    return frame;
}

GtkWidget* getProgressBar() {
    if (table) return table;
    progressBar = gtk_progress_bar_new();
    gtk_widget_set_name(progressBar, "progressBar");
    table = gtk_table_new(1, 1, TRUE);
    gtk_table_attach_defaults(GTK_TABLE(table), progressBar, 0, 200, 0, 20);
    gtk_widget_show(progressBar);
    gtk_widget_show(table);
    return table;
}

GtkWidget* getStatusLine() {
    GtkWidget* box = gtk_hbox_new(FALSE, 8);
    statusText = gtk_label_new("");
    gtk_widget_set_name(statusText, "statusText");
    gtk_misc_set_alignment(GTK_MISC(statusText), 0.0f, 0.5f);
    gtk_label_set_ellipsize(GTK_LABEL(statusText), PANGO_ELLIPSIZE_END);
    statusPort = gtk_label_new("");
    gtk_widget_set_name(statusPort, "statusPort");
    gtk_label_set_ellipsize(GTK_LABEL(statusPort), PANGO_ELLIPSIZE_END);
    gtk_label_set_max_width_chars(GTK_LABEL(statusPort), 60);
    gtk_box_pack_start(GTK_BOX(box), statusText, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), statusPort, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), getButtonCancel(), FALSE, FALSE, 0);
    gtk_widget_show(statusText);
    gtk_widget_show(statusPort);
    gtk_widget_show(box);
    return box;
}

// ---- The window -------------------------------------------------------------------

bool mainWin_mayClose() {
    const std::string leaves = closingLeaves();
    if (leaves.empty()) return true;
    if (!messageCloseAnyway((leaves + "\n\nClose the window anyway?").c_str())) return false;
    cancel_request();  // no further panel is begun before the process ends
    return true;
}

void destroy(gpointer) {
    if (ptimer) g_source_remove(ptimer);
    ptimer = 0;
    if (gtk_main_level() > 0) gtk_main_quit();
    std::printf("\nDestroy mainWin\n");
    std::fflush(stdout);
    window = nullptr;
}

void updateWindowTitle() {
    if (!window) return;
    char title[TITLE_SIZE];
    gtk_window_set_title(GTK_WINDOW(window), getTitle(title));
}

namespace {

GtkWidget* build(bool startTimer) {
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_set_border_width(GTK_CONTAINER(window), 5);
    g_signal_connect_swapped(window, "destroy", G_CALLBACK(destroy), nullptr);
    g_signal_connect(window, "delete-event", G_CALLBACK(windowDeleted), nullptr);
    gtk_window_set_title(GTK_WINDOW(window), "");
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    if (GdkPixbuf* icon = loadWindowIcon()) {
        gtk_window_set_icon(GTK_WINDOW(window), icon);
        g_object_unref(icon);
    }

    GtkWidget* vbox = gtk_vbox_new(FALSE, 5);
    gtk_container_set_border_width(GTK_CONTAINER(vbox), 2);
    gtk_container_add(GTK_CONTAINER(window), vbox);
    gtk_widget_show(vbox);

    gtk_box_pack_start(GTK_BOX(vbox), getDevPanel(), TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(vbox), getProgressBar(), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(vbox), getStatusLine(), FALSE, FALSE, 0);

    // Messages posted on this thread show the pending one first, in order.
    message_setGuiThread(showMessage);
    if (startTimer) mainWin_startTick();

    gtk_widget_show(window);
    updateWindowTitle();
    return window;
}

}  // namespace

GtkWidget* buildGUI() { return build(false); }

void mainWin_startTick() { ptimer = g_timeout_add(TICK_MS, progress, progressBar); }

void createGUI() {
    gtk_init(nullptr, nullptr);
    build(true);
    gtk_main();
}
