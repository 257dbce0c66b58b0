// Site files: every panel's whole setup in one JSON document (docs/site-file.md),
// written by a backup and read, checked whole, by a restore and a verify.
//
// Threads: any; nothing here is shared (no module state).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "devices/devices.h"

using Json = nlohmann::ordered_json;  // members stay in the order written

constexpr int SITE_FILE_VERSION = 1;
constexpr const char* SITE_FILE_FORMAT = "korvane-site";
// The deepest the format nests lists and objects: the document, panels, a
// panel, its dmx, a block, its levels. A file nested deeper is refused.
constexpr size_t SITE_FILE_DEPTH = 6;

// A panel's UID as the operator writes it: 1 to 8 hexadecimal digits, an
// optional 0x before them; never 0 (a free record) nor FFFFFFFF (all panels).
bool site_parseUid(const std::string& text, uint32_t* uid);
std::string site_uidText(uint32_t uid);  // "%08X"

// One panel as the file holds it: UID, firmware, intensity, buttons and the DMX
// blocks, a block not read (its dmxKnown bit clear) as null. The active-button
// bits are state, not setup, and are left out.
Json site_panelJson(const DeviceRecord& panel);
// The whole document.
Json site_document(const std::vector<DeviceRecord>& panels);

// Checks a whole document and takes its panels. Every fault found is listed
// with the path of its field ("panels[3].buttons[2].scenes: ..."); false and
// no panels when there is any.
bool site_fromJson(const Json& doc, std::vector<DeviceRecord>* panels, std::vector<std::string>* errors);

// The document as text: two-space indents, lists of plain values on one line,
// a line end at the end.
std::string site_dump(const Json& doc);

// Reads and checks the text of a site file: errors as site_fromJson, or the
// first thing no site file holds (not JSON, a number no double holds, a key
// twice in one object, nesting deeper than SITE_FILE_DEPTH). `name` (the file's)
// heads a JSON syntax error.
bool site_parse(const std::string& text, const std::string& name, std::vector<DeviceRecord>* panels,
                std::vector<std::string>* errors);
// Reads and checks a file as site_parse, or says why it cannot be read.
bool site_load(const std::string& path, std::vector<DeviceRecord>* panels, std::vector<std::string>* errors);
// Whether site_save could write there: the folder takes a new file and the
// name is no folder. False with the reason otherwise.
bool site_canSave(const std::string& path, std::string* error);
// Writes the document so that the file is either the new one whole or left as
// it was (a file beside it, then a rename). A symbolic link is followed: the
// file it names is replaced, in that file's folder. False with the reason otherwise.
bool site_save(const std::string& path, const std::vector<DeviceRecord>& panels, std::string* error);

// The panels of the file a backup would replace: none when there is no file or
// an empty one. False, with why, when it holds no site file this program reads.
bool site_loadExisting(const std::string& path, std::vector<DeviceRecord>* panels, std::string* why);
// What replacing the panels `old` with `now` would lose, a line each: a panel
// `now` lacks, or DMX blocks `old` holds that `now` could not read.
std::vector<std::string> site_lost(const std::vector<DeviceRecord>& old, const std::vector<DeviceRecord>& now);
