#include "app/site_file.h"

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "app/fileio.h"

namespace {

constexpr size_t SITE_FILE_MAX = size_t{16} << 20;  // 200 panels take about 600 KB
constexpr size_t INLINE_WIDTH = 100;                // a value this short, without lists of objects, stays on one line
constexpr size_t SHOWN_MAX = 40;                    // a value an error line quotes, at most
constexpr int JSON_OUT_OF_RANGE = 406;              // nlohmann's parse error: a number no double holds
constexpr int64_t ADDRESS_MAX = 65535;              // a DMX block's start: two bytes
constexpr int64_t INTENSITY_MAX = 7;                // three bits
constexpr int LINK_HOPS_MAX = 40;                   // symbolic links followed to the file a backup replaces
constexpr int HEX_DIGIT_A = 10;
constexpr mode_t NEW_FILE_MODE = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;  // a new site file: 0644

std::string at(const std::string& path, const std::string& name) { return path.empty() ? name : path + "." + name; }
std::string at(const std::string& path, size_t index) { return path + "[" + std::to_string(index) + "]"; }

std::string scalar(const Json& v) { return v.dump(-1, ' ', false, Json::error_handler_t::replace); }

// A value as an error line quotes it: a hostile file's megabyte of text stays out.
std::string shown(const Json& v) {
    const std::string text = scalar(v);
    return text.size() <= SHOWN_MAX ? text : text.substr(0, SHOWN_MAX - 4) + " ...";
}

// Builds the document as nlohmann's own parser does, but stops at the first
// thing the format never holds, with the path of its field: a key given twice
// in one object (the parser would keep the last), lists and objects nested
// deeper than SITE_FILE_DEPTH (refused before they are built, so nothing ever
// recurses deeper), a number no double holds.
class SiteSax {
public:
    SiteSax(Json* root, const std::string& name) : root_(root), name_(name) {}

    bool null() { return place(nullptr); }
    bool boolean(bool v) { return place(v); }
    bool number_integer(Json::number_integer_t v) { return place(v); }
    bool number_unsigned(Json::number_unsigned_t v) { return place(v); }
    bool number_float(Json::number_float_t v, const Json::string_t&) { return place(v); }
    bool string(Json::string_t& v) { return place(std::move(v)); }
    bool binary(Json::binary_t&) { return fail(pending(), "binary data"); }  // never in JSON text
    bool start_object(std::size_t) { return open(Json::object()); }
    bool start_array(std::size_t) { return open(Json::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(Json::string_t& k) {
        Level& top = levels_.back();
        if (!top.keys.insert(k).second) return fail(at(top.path, k), "given twice in one object");
        top.key = std::move(k);
        return true;
    }
    bool parse_error(std::size_t, const std::string& token, const Json::exception& e) {
        if (e.id == JSON_OUT_OF_RANGE) return fail(pending(), token + " is a number too large to hold");
        // "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
        const std::string what = e.what();
        const size_t cut = what.find("] ");
        fault = name_ + ": not JSON: " + (cut == std::string::npos ? what : what.substr(cut + 2));
        return false;
    }

    std::string fault;  // why the parse stopped

private:
    struct Level {
        Json* value;
        std::string path;
        std::string key;  // an object's member being read
        std::unordered_set<std::string> keys;
    };

    // The path of the value that comes next.
    std::string pending() const {
        if (levels_.empty()) return "(document)";
        const Level& top = levels_.back();
        return top.value->is_object() ? at(top.path, top.key) : at(top.path, top.value->size());
    }
    Json* slot() {
        if (levels_.empty()) return root_;
        Json& top = *levels_.back().value;
        if (top.is_array()) {
            top.push_back(nullptr);
            return &top.back();
        }
        // A member the object does not hold yet (key() saw to that): no search.
        auto& members = top.get_ref<Json::object_t&>();
        members.Container::emplace_back(levels_.back().key, nullptr);
        return &members.back().second;
    }
    bool place(Json v) {
        *slot() = std::move(v);
        return true;
    }
    bool open(Json v) {
        if (levels_.size() >= SITE_FILE_DEPTH)
            return fail(pending(), "lists and objects nested deeper than a site file goes (" +
                                       std::to_string(SITE_FILE_DEPTH) + ")");
        const std::string path = levels_.empty() ? "" : pending();
        Json* value = slot();
        *value = std::move(v);
        levels_.push_back({value, path, {}, {}});
        return true;
    }
    bool close() {
        levels_.pop_back();
        return true;
    }
    bool fail(const std::string& path, const std::string& why) {
        fault = path + ": " + why;
        return false;
    }

    Json* root_;
    const std::string& name_;
    std::vector<Level> levels_;
};

// Collects every fault with the path of its field.
class Checker {
public:
    explicit Checker(std::vector<std::string>* errors) : errors_(errors) {}

    void fail(const std::string& path, const std::string& why) { errors_->push_back(path + ": " + why); }
    size_t faults() const { return errors_->size(); }

    // The member, or null after reporting it missing.
    const Json* member(const Json& object, const std::string& path, const char* name) {
        const auto it = object.find(name);
        if (it == object.end()) {
            fail(at(path, name), "missing");
            return nullptr;
        }
        return &*it;
    }

    // Both bounds are at least 0. The parser reads every non-negative whole
    // number as unsigned; a document built in memory may hold it signed.
    bool whole(const Json& v, const std::string& path, int64_t lo, int64_t hi, int64_t* out) {
        const std::string range = " (" + std::to_string(lo) + " to " + std::to_string(hi) + ")";
        if (!v.is_number_integer()) {
            fail(path, "must be a whole number" + range);
            return false;
        }
        if ((!v.is_number_unsigned() && v.get<int64_t>() < 0) || v.get<uint64_t>() < static_cast<uint64_t>(lo) ||
            v.get<uint64_t>() > static_cast<uint64_t>(hi)) {
            fail(path, shown(v) + " is out of range" + range);
            return false;
        }
        *out = v.get<int64_t>();
        return true;
    }

    bool list(const Json& v, const std::string& path, size_t size, const char* what) {
        if (v.is_array() && v.size() == size) return true;
        fail(path, "must be a list of " + std::to_string(size) + " " + what +
                       (v.is_array() ? ", not " + std::to_string(v.size()) : ""));
        return false;
    }

private:
    std::vector<std::string>* errors_;
};

// "MAJOR.MINOR", each 1 to 3 decimal digits and at most 255.
bool parseFirmware(const std::string& text, uint8_t* major, uint8_t* minor) {
    const size_t dot = text.find('.');
    if (dot == std::string::npos) return false;
    unsigned part[2] = {};
    const std::string pieces[2] = {text.substr(0, dot), text.substr(dot + 1)};
    for (int i = 0; i < 2; ++i) {
        const std::string& s = pieces[i];
        if (s.empty() || s.size() > 3 || s.find_first_not_of("0123456789") != std::string::npos) return false;
        part[i] = static_cast<unsigned>(std::stoul(s));
        if (part[i] > 255) return false;
    }
    *major = static_cast<uint8_t>(part[0]);
    *minor = static_cast<uint8_t>(part[1]);
    return true;
}

void takeButton(Checker& c, const Json& j, const std::string& path, ButtonSetup* out) {
    if (!j.is_object()) {
        c.fail(path, "must be an object with type and scenes");
        return;
    }
    int64_t v = 0;
    if (const Json* type = c.member(j, path, "type"); type && c.whole(*type, at(path, "type"), 0, 255, &v))
        out->type = static_cast<uint8_t>(v);
    const Json* scenes = c.member(j, path, "scenes");
    if (!scenes) return;
    const std::string sp = at(path, "scenes");
    if (!scenes->is_array()) {
        c.fail(sp, "must be a list of scene numbers 1 to 16");
        return;
    }
    uint16_t mask = 0;
    for (size_t k = 0; k < scenes->size(); ++k) {
        if (!c.whole((*scenes)[k], at(sp, k), 1, 16, &v)) continue;
        const uint16_t bit = static_cast<uint16_t>(1u << (v - 1));
        if (mask & bit) c.fail(at(sp, k), "scene " + std::to_string(v) + " is listed twice");
        mask |= bit;
    }
    out->scn = mask;
}

// False when the block is null: not read at backup.
bool takeBlock(Checker& c, const Json& j, const std::string& path, uint8_t* block) {
    if (j.is_null()) return false;
    if (!j.is_object()) {
        c.fail(path, "must be an object with start, count, flags and levels, or null when not read");
        return false;
    }
    int64_t v = 0;
    if (const Json* start = c.member(j, path, "start");
        start && c.whole(*start, at(path, "start"), 0, ADDRESS_MAX, &v)) {
        block[0] = static_cast<uint8_t>(v);
        block[1] = static_cast<uint8_t>(v >> 8);
    }
    if (const Json* count = c.member(j, path, "count"); count && c.whole(*count, at(path, "count"), 0, 255, &v))
        block[2] = static_cast<uint8_t>(v);
    if (const Json* flags = c.member(j, path, "flags"); flags && c.whole(*flags, at(path, "flags"), 0, 255, &v))
        block[3] = static_cast<uint8_t>(v);
    const Json* levels = c.member(j, path, "levels");
    const std::string lp = at(path, "levels");
    if (levels && c.list(*levels, lp, DMX_BLOCK_LEVELS, "levels 0 to 255"))
        for (size_t k = 0; k < DMX_BLOCK_LEVELS; ++k)
            if (c.whole((*levels)[k], at(lp, k), 0, 255, &v)) block[4 + k] = static_cast<uint8_t>(v);
    return true;
}

void takePanel(Checker& c, const Json& j, const std::string& path, DeviceRecord* out) {
    *out = DeviceRecord{};
    if (!j.is_object()) {
        c.fail(path, "must be an object");
        return;
    }
    if (const Json* uid = c.member(j, path, "uid")) {
        if (!uid->is_string() || !site_parseUid(uid->get<std::string>(), &out->uid))
            c.fail(at(path, "uid"),
                   "must be a UID text of 1 to 8 hexadecimal digits, not 0 nor FFFFFFFF, not " + shown(*uid));
    }
    if (const Json* fw = c.member(j, path, "firmware")) {
        if (!fw->is_string() || !parseFirmware(fw->get<std::string>(), &out->verMajor, &out->verMinor))
            c.fail(at(path, "firmware"), "must be a text MAJOR.MINOR, each 0 to 255, not " + shown(*fw));
    }
    int64_t v = 0;
    // A panel's answer carries the level in 3 bits: 0 to 7.
    if (const Json* in = c.member(j, path, "intensity");
        in && c.whole(*in, at(path, "intensity"), 0, INTENSITY_MAX, &v))
        out->intensity = static_cast<uint8_t>(v);
    if (const Json* buttons = c.member(j, path, "buttons");
        buttons && c.list(*buttons, at(path, "buttons"), DEV_BUTTONS, "buttons"))
        for (size_t b = 0; b < DEV_BUTTONS; ++b) takeButton(c, (*buttons)[b], at(at(path, "buttons"), b), &out->btn[b]);
    if (const Json* dmx = c.member(j, path, "dmx"); dmx && c.list(*dmx, at(path, "dmx"), DEV_BUTTONS, "DMX blocks"))
        for (size_t b = 0; b < DEV_BUTTONS; ++b)
            if (takeBlock(c, (*dmx)[b], at(at(path, "dmx"), b), out->dmx[b]))
                out->dmxKnown = static_cast<uint8_t>(out->dmxKnown | 1u << b);
}

bool plain(const Json& v) { return !v.is_structured(); }

// Lists of plain values, and objects of plain values and such lists, are short enough to stand on one line.
bool flat(const Json& v) {
    if (plain(v)) return true;
    for (const Json& e : v)
        if (!plain(e) && !(v.is_object() && e.is_array() && std::all_of(e.begin(), e.end(), plain))) return false;
    return true;
}

std::string oneLine(const Json& v) {
    if (plain(v)) return scalar(v);
    std::string out = v.is_object() ? "{" : "[";
    bool first = true;
    for (auto it = v.begin(); it != v.end(); ++it) {
        out += first ? "" : ", ";
        first = false;
        if (v.is_object()) out += scalar(Json(it.key())) + ": ";
        out += oneLine(it.value());
    }
    return out + (v.is_object() ? "}" : "]");
}

void dumpTo(std::string& out, const Json& v, size_t indent) {
    if (flat(v) && (v.is_array() || oneLine(v).size() + indent <= INLINE_WIDTH)) {
        out += oneLine(v);
        return;
    }
    const std::string pad(indent + 2, ' ');
    out += v.is_object() ? "{\n" : "[\n";
    bool first = true;
    for (auto it = v.begin(); it != v.end(); ++it) {
        out += first ? pad : ",\n" + pad;
        first = false;
        if (v.is_object()) out += scalar(Json(it.key())) + ": ";
        dumpTo(out, it.value(), indent + 2);
    }
    out += "\n" + std::string(indent, ' ') + (v.is_object() ? "}" : "]");
}

}  // namespace

bool site_parseUid(const std::string& text, uint32_t* uid) {
    size_t i = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
    const size_t digits = text.size() - i;
    if (digits < 1 || digits > 8) return false;
    uint32_t value = 0;
    for (; i < text.size(); ++i) {
        const char ch = text[i];
        int d = -1;
        if (ch >= '0' && ch <= '9') d = ch - '0';
        if (ch >= 'a' && ch <= 'f') d = ch - 'a' + HEX_DIGIT_A;
        if (ch >= 'A' && ch <= 'F') d = ch - 'A' + HEX_DIGIT_A;
        if (d < 0) return false;
        value = value << 4 | static_cast<uint32_t>(d);
    }
    if (value == 0 || value == UINT32_MAX) return false;  // a free record, all panels
    *uid = value;
    return true;
}

std::string site_uidText(uint32_t uid) {
    char text[sizeof "FFFFFFFF"];
    std::snprintf(text, sizeof text, "%08X", uid);
    return text;
}

Json site_panelJson(const DeviceRecord& p) {
    Json j;
    j["uid"] = site_uidText(p.uid);
    j["firmware"] = std::to_string(p.verMajor) + "." + std::to_string(p.verMinor);
    j["intensity"] = p.intensity;
    j["buttons"] = Json::array();
    for (const ButtonSetup& b : p.btn) {
        Json scenes = Json::array();
        for (int k = 0; k < 16; ++k)
            if (b.scn & 1u << k) scenes.push_back(k + 1);
        j["buttons"].push_back({{"type", b.type}, {"scenes", scenes}});
    }
    j["dmx"] = Json::array();
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        if (!(p.dmxKnown & 1u << b)) {
            j["dmx"].push_back(nullptr);
            continue;
        }
        const uint8_t* block = p.dmx[b];
        Json levels = Json::array();
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k) levels.push_back(block[4 + k]);
        j["dmx"].push_back(
            {{"start", block[0] | block[1] << 8}, {"count", block[2]}, {"flags", block[3]}, {"levels", levels}});
    }
    return j;
}

Json site_document(const std::vector<DeviceRecord>& panels) {
    Json doc;
    doc["format"] = SITE_FILE_FORMAT;
    doc["version"] = SITE_FILE_VERSION;
    doc["panels"] = Json::array();
    for (const DeviceRecord& p : panels) doc["panels"].push_back(site_panelJson(p));
    return doc;
}

bool site_fromJson(const Json& doc, std::vector<DeviceRecord>* panels, std::vector<std::string>* errors) {
    panels->clear();
    Checker c(errors);
    const size_t before = c.faults();
    if (!doc.is_object()) {
        c.fail("(document)", "must be an object with format, version and panels");
        return false;
    }
    if (const Json* format = c.member(doc, "", "format"); format && *format != SITE_FILE_FORMAT)
        c.fail("format", std::string("must be \"") + SITE_FILE_FORMAT + "\", not " + shown(*format));
    const Json* version = c.member(doc, "", "version");
    if (!version) return false;
    if (!version->is_number_integer() || *version != SITE_FILE_VERSION) {
        // Another version may mean other things by the same names: nothing more is read.
        c.fail("version", shown(*version) + " is not a version this program reads (it reads " +
                              std::to_string(SITE_FILE_VERSION) + ")");
        return false;
    }
    const Json* list = c.member(doc, "", "panels");
    if (list && !list->is_array()) c.fail("panels", "must be a list of panels");
    if (list && list->is_array() && list->size() > DEV_MAX)
        c.fail("panels", std::to_string(list->size()) + " panels; a site holds at most " + std::to_string(DEV_MAX));
    if (c.faults() > before) return false;

    std::vector<DeviceRecord> taken(list->size());
    std::vector<size_t> seenAt(list->size());
    for (size_t i = 0; i < list->size(); ++i) {
        const std::string path = at("panels", i);
        takePanel(c, (*list)[i], path, &taken[i]);
        for (size_t k = 0; k < i && taken[i].uid != 0; ++k)
            if (taken[k].uid == taken[i].uid) {
                c.fail(at(path, "uid"), site_uidText(taken[i].uid) + " is also panels[" + std::to_string(k) + "].uid");
                break;
            }
    }
    if (c.faults() > before) return false;
    *panels = std::move(taken);
    return true;
}

std::string site_dump(const Json& doc) {
    std::string out;
    dumpTo(out, doc, 0);
    return out + "\n";
}

bool site_load(const std::string& path, std::vector<DeviceRecord>* panels, std::vector<std::string>* errors) {
    panels->clear();
    errno = 0;
    std::FILE* in = openRegularFile(path.c_str(), false);
    if (!in) {
        errors->push_back(path + ": " + std::strerror(errno ? errno : ENOENT));
        return false;
    }
    std::string text;
    char buffer[1 << 16];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0 && text.size() <= SITE_FILE_MAX)
        text.append(buffer, got);
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed || text.size() > SITE_FILE_MAX) {
        errors->push_back(path + (failed ? ": cannot be read" : ": larger than any site file (16 MiB)"));
        return false;
    }
    return site_parse(text, path, panels, errors);
}

bool site_parse(const std::string& text, const std::string& name, std::vector<DeviceRecord>* panels,
                std::vector<std::string>* errors) {
    panels->clear();
    Json doc;
    SiteSax sax(&doc, name);
    if (!Json::sax_parse(text, &sax)) {
        errors->push_back(sax.fault);
        return false;
    }
    return site_fromJson(doc, panels, errors);
}

namespace {

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The file a name stands for: the end of its chain of symbolic links (the name
// itself when it is no link, or missing). False with errno on a loop.
bool linkEnd(const std::string& path, std::string* end) {
    *end = path;
    for (int hops = 0; hops < LINK_HOPS_MAX; ++hops) {
        char to[PATH_MAX];
        const ssize_t n = ::readlink(end->c_str(), to, sizeof to - 1);
        if (n < 0) return true;
        to[n] = '\0';
        *end = to[0] == '/' ? std::string(to) : folderOf(*end) + "/" + to;
    }
    errno = ELOOP;
    return false;
}

}  // namespace

bool site_canSave(const std::string& path, std::string* error) {
    struct stat named;
    std::string file;
    if (!linkEnd(path, &file)) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    const std::string folder = folderOf(file);
    if (path.empty() || path.back() == '/' || (::stat(file.c_str(), &named) == 0 && S_ISDIR(named.st_mode))) {
        *error = path + ": a folder, not a file name";
        return false;
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        *error = path + ": cannot write in " + folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool site_save(const std::string& path, const std::vector<DeviceRecord>& panels, std::string* error) {
    const std::string text = site_dump(site_document(panels));
    // Through a link, the file it names is replaced, never the link.
    std::string file;
    if (!linkEnd(path, &file)) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    const std::string folder = folderOf(file);
    std::string temp = folder + "/.korvane-site-XXXXXX";  // beside it: the rename stays on one file system
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = path + ": cannot write in " + folder + ": " + std::strerror(errno);
        return false;
    }
    struct stat old;
    fchmod(fd, ::stat(file.c_str(), &old) == 0 ? old.st_mode & ALLPERMS : NEW_FILE_MODE);
    size_t done = 0;
    int why = 0;
    while (done < text.size() && why == 0) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            why = n == 0 ? EIO : errno;
    }
    if (why == 0 && ::fsync(fd) != 0) why = errno;
    if (::close(fd) != 0 && why == 0) why = errno;
    if (why == 0 && std::rename(temp.c_str(), file.c_str()) != 0) why = errno;
    if (why != 0) {
        *error = path + ": " + std::strerror(why);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool site_loadExisting(const std::string& path, std::vector<DeviceRecord>* panels, std::string* why) {
    panels->clear();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode) && st.st_size == 0) return true;
    std::vector<std::string> errors;
    if (site_load(path, panels, &errors)) return true;
    *why = path + " holds no site file this program reads (" + errors.front() + ")";
    return false;
}

std::vector<std::string> site_lost(const std::vector<DeviceRecord>& old, const std::vector<DeviceRecord>& now) {
    std::vector<std::string> lost;
    for (const DeviceRecord& o : old) {
        const auto same = [&](const DeviceRecord& n) { return n.uid == o.uid; };
        const auto n = std::find_if(now.begin(), now.end(), same);
        if (n == now.end()) {
            lost.push_back("panel " + site_uidText(o.uid) + ": not in this backup");
            continue;
        }
        std::string blocks;
        for (int b = 0; b < DEV_BUTTONS; ++b)
            if (o.dmxKnown & ~n->dmxKnown & 1u << b)
                blocks += (blocks.empty() ? "" : ", ") + at("dmx", static_cast<size_t>(b));
        if (!blocks.empty())
            lost.push_back("panel " + site_uidText(o.uid) + ": " + blocks + " not read in this backup");
    }
    return lost;
}
