// The registry of virtual devices, the description loader and the "vdev" open
// hook. The registry is written while a description loads and read by every
// file open once the hook is registered, so a shared lock guards it.
#define ZLOG_TAG "vdev"

#include "libvdev/vdev.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "jsonfilter/json_filter.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_file.h"
#include "libpal/string/path.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_hex.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "libvdev/vdev_kinds.h"
#include "liblog/zlog.h"

namespace {

struct kind {
    const char *name;
    const os_file_ops *ops;
};

// The kinds, in the order their names are compared.
const std::array<kind, 4> kKinds = {{
    {"file", &g_vdev_local_file_ops},
    {"zero", &g_vdev_zero_ops},
    {"random", &g_vdev_random_ops},
    {"bad_zero", &g_vdev_bad_zero_ops},
}};

constexpr uint32_t kSectorSizes[] = {512, 1024, 2048, 4096};
constexpr size_t kKeySize = 128;
// A stop's message names at most this many of the devices it leaves out.
constexpr int kListedAfter = 16;
// Room for a device's name and for a reason, escaped for a log line.
constexpr size_t kShownName = 4 * STR_ESCAPE_LOG_SIZE;
constexpr size_t kShownWhy = 4 * STR_ESCAPE_LOG_SIZE;

// What a member's JSON text is, by its first character.
enum json_kind : uint8_t {
    k_string = 1,
    k_number = 2,
    k_array = 4,
    k_object = 8,
    k_other = 16,  // true, false, null
};

struct member {
    const char *key;
    uint8_t kinds;      // the kinds it may be
    const char *takes;  // as the refusal says it
};

// The members a description and each of its devices may have; numbers may be
// written as strings too ("1M").
constexpr member kTopMembers[] = {
    {"ver", k_string | k_number, "a string or a number"},
    {"dev", k_array, "an array"},
};
constexpr member kDeviceMembers[] = {
    {"name", k_string, "a string"},
    {"type", k_string, "a string"},
    {"size", k_string | k_number, "a string or a number"},
    {"sector_bytes", k_string | k_number, "a string or a number"},
    {"info", k_string, "a string"},
    {"bad_sector_ranges", k_array, "an array"},
    {"args", k_string, "a string"},
};

uint8_t kind_of_json(const char *text)
{
    switch (text[0]) {
    case '"':
        return k_string;
    case '[':
        return k_array;
    case '{':
        return k_object;
    case 't':
    case 'f':
    case 'n':
        return k_other;
    default:
        return k_number;
    }
}

const char *kind_name(uint8_t kind)
{
    switch (kind) {
    case k_string:
        return "a string";
    case k_number:
        return "a number";
    case k_array:
        return "an array";
    case k_object:
        return "an object";
    default:
        return "true, false or null";
    }
}

// The object at expr has only the members of the table, each of a kind it
// may be; otherwise false with the entry and the reason in why: a misspelt
// key or a value of the wrong type would otherwise be ignored.
template <size_t N>
bool members_known(json_filter *f, const char *expr, const member (&table)[N], std::string &why)
{
    str_map *map = json_filter_get_map(f, expr);
    if (map == nullptr) {
        why = std::string("get [") + expr + "] error: not an object";
        return false;
    }
    for (uint32_t i = 0; why.empty() && i < map->count; i++) {
        const char *key = str_map_key_at(map, static_cast<int>(i));
        const char *val = str_map_val_at(map, static_cast<int>(i));
        const member *m = nullptr;
        for (const member &row : table)
            if (strcmp(row.key, key) == 0)
                m = &row;
        if (m == nullptr)
            why = std::string("get [") + expr + "] error: unknown key [" + key + "]";
        else if ((kind_of_json(val) & m->kinds) == 0)
            why = std::string("get [") + expr + "." + key + "] error: " + kind_name(kind_of_json(val)) + ", takes " +
                  m->takes;
    }
    str_map_free(map);
    return why.empty();
}

// Whether the JSON text of a string holds a control byte (below 0x20, or
// 0x7f), raw or escaped: a name read as a C string ends at "\u0000", so
// "/vdev/\u0000x" would be served as "/vdev/".
bool json_string_has_control(std::string_view text)
{
    for (size_t i = 0; i < text.size(); i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f)
            return true;
        if (c != '\\' || i + 1 >= text.size())
            continue;
        const char esc = text[++i];
        if (strchr("bfnrt", esc) != nullptr)
            return true;
        if (esc != 'u' || i + 4 >= text.size())
            continue;
        unsigned code = 0;
        for (size_t k = 1; k <= 4; k++) {
            const int digit = hex_chr_val_tab(static_cast<unsigned char>(text[i + k]));
            code = code * 16 + static_cast<unsigned>(std::max(digit, 0));
        }
        i += 4;
        if (code < 0x20 || code == 0x7f)
            return true;
    }
    return false;
}

// The name of device i, refused when it holds a control byte; its JSON
// text, with json-c's "\/" read back as "/", is what the refusal shows.
bool name_clean(json_filter *f, int i, std::string &why)
{
    char expr[kKeySize];
    snprintf(expr, sizeof(expr), "$.dev[%d]", i);
    str_map *map = json_filter_get_map(f, expr);
    const char *text = map != nullptr ? str_map_get(map, "name") : nullptr;
    if (text != nullptr && json_string_has_control(text)) {
        std::string shown = text;
        for (size_t at = 0; (at = shown.find("\\/", at)) != std::string::npos;)
            shown.erase(at, 1);
        why = std::string("get [") + expr + ".name] error: a control byte in the name " + shown;
    }
    str_map_free(map);
    return why.empty();
}

std::shared_mutex g_lock;
std::map<std::string, vdev_rec_ref> g_by_name;
std::vector<vdev_rec_ref> g_order;

const os_file_hook kHook = {"vdev", vdev_hook_match};
std::once_flag g_hook_once;

std::string normalised(const char *path)
{
    std::array<char, PL_MAX_PATH> buf{};
    if (path == nullptr)
        return {};
    path_normalize_buf(path, buf.data(), buf.size());
    return buf.data();
}

const os_file_ops *kind_ops(const std::string &type)
{
    for (const kind &k : kKinds)
        if (type == k.name)
            return k.ops;
    return nullptr;
}

bool sector_size_valid(int32_t size)
{
    for (uint32_t s : kSectorSizes)
        if (static_cast<int64_t>(s) == size)
            return true;
    return false;
}

enum class step { add, skip, stop };

// One device of the description: its queries and the checks on their answers.
class device_reader {
public:
    device_reader(json_filter *f, int index) : f_(f), index_(index) {}

    // The value of "$.dev[index].<member>" (or of a range), echoed; nullptr when absent.
    const char *get(const char *member, int sub = -1)
    {
        if (sub < 0)
            snprintf(key_, sizeof(key_), "$.dev[%d].%s", index_, member);
        else
            snprintf(key_, sizeof(key_), "$.dev[%d].%s[%d]", index_, member, sub);
        const char *v = json_filter_get(f_, key_);
        if (v != nullptr)
            ZLOG_VERB("%s=[%s]\n", key_, v);
        return v;
    }

    const char *key() const { return key_; }

    // Loading stops at this device: why names the last key asked and the reason.
    step stop(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        char reason[512];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(reason, sizeof(reason), fmt, ap);
        va_end(ap);
        why = std::string("get [") + key_ + "] error: " + reason;
        return step::stop;
    }

    std::string why;

private:
    json_filter *f_;
    int index_;
    char key_[kKeySize] = {};
};

// The bad ranges "first-count"; a text that is no such range, or one that
// would reach past the device's last sector, stops loading at the device.
step read_bad_ranges(device_reader &rd, vdev_rec &rec)
{
    const uint64_t sectors = rec.vi.size / rec.vi.sector_bytes;
    for (int j = 0;; j++) {
        const char *v = rd.get("bad_sector_ranges", j);
        if (v == nullptr)
            return step::add;
        long first = 0;
        int count = 0;
        int used = 0;
        if (sscanf(v, "%li-%d%n", &first, &count, &used) != 2 || v[used] != '\0' || first < 0 || count <= 0 ||
            first > LONG_MAX - count) {
            return rd.stop("Invalid range [%s]", v);
        }
        if (static_cast<uint64_t>(first) + static_cast<uint64_t>(count) > sectors) {
            return rd.stop("range [%s] past the device's end (%llu sectors)", v,
                           static_cast<unsigned long long>(sectors));
        }
        ZLOG_VERB("%li-%d!!\n", first, count);
        try {
            rec.bad.push_back({first, count});
        } catch (const std::bad_alloc &) {
            return step::add;
        }
    }
}

step read_size(device_reader &rd, vdev_rec &rec, const std::string &type)
{
    if (type == "file") {
        os_file_ctx *f = os_file_open(rec.name.c_str(), OS_PF_RDONLY);
        if (f == nullptr) {
            ZLOG_ERR("open [%s] error:%s\n", rec.name.c_str(), strerror(errno));
            return step::skip;
        }
        int64_t size = os_file_size(f);
        os_file_close(f);
        rec.vi.size = size > 0 ? static_cast<uint64_t>(size) : 0;
        return step::add;
    }
    const char *v = rd.get("size");
    if (v == nullptr)
        return rd.stop("Cannot be null");
    rec.vi.size = str_atosize(v);
    if (rec.vi.size == 0 || rec.vi.size > static_cast<uint64_t>(INT64_MAX))
        return rd.stop("size = 0");
    return step::add;
}

// The record of the device rd reads; stop ends loading there (the reason
// in rd.why), skip goes on with the next device.
step read_device(device_reader &rd, const std::string &name, vdev_rec &rec)
{
    rec.name = normalised(name.c_str());
    rec.vi.sector_bytes = kSectorSizes[0];
    const char *v = rd.get("type");
    if (v == nullptr)
        return rd.stop("Cannot be null");
    const std::string type = v;
    rec.vi.ops = kind_ops(type);
    if (rec.vi.ops == nullptr)
        return rd.stop("Invalid type");
    if (step s = read_size(rd, rec, type); s != step::add)
        return s;
    if (v = rd.get("sector_bytes"); v == nullptr) {
        ZLOG_DBG("get [%s] failed\n", rd.key());
    } else {
        int32_t bytes = 0;
        // A sector size the block layer cannot use would also divide by zero.
        if (str_atoi_chk(v, &bytes) != 0 || !sector_size_valid(bytes))
            return rd.stop("Invalid sector_bytes [%s]", v);
        rec.vi.sector_bytes = static_cast<uint32_t>(bytes);
    }
    if (v = rd.get("info"); v != nullptr)
        str_safecopy2(rec.vi.info, sizeof(rec.vi.info), v);
    if (type == "bad_zero")
        return read_bad_ranges(rd, rec);
    if (type == "file" && (v = rd.get("args")) != nullptr) {
        std::string query = std::string("?") + v;
        rec.args.read_random_delay_max_second = url_get_query_int(query.c_str(), "read_random_delay_max_second", 0);
        ZLOG_DBG("name=%s read_random_delay_max_second=%d\n", name.c_str(), rec.args.read_random_delay_max_second);
        rec.vi.args = &rec.args;
    }
    return step::add;
}

// The record's own pointers are set once it has its final place.
void vdev_insert(std::unique_ptr<vdev_rec> rec)
{
    ZLOG_VERB("name=[%s] vi.size=%lld\n", rec->name.c_str(), static_cast<long long>(rec->vi.size));
    ZLOG_VERB("vi.sector_bytes=%lld\n", static_cast<long long>(rec->vi.sector_bytes));
    rec->vi.bad = rec->bad.empty() ? nullptr : rec->bad.data();
    rec->vi.bad_count = static_cast<uint32_t>(rec->bad.size());
    vdev_rec_ref ref(std::move(rec));
    std::unique_lock lock(g_lock);
    g_by_name.emplace(ref->name, ref);
    g_order.push_back(ref);
}

bool registered(const std::string &name)
{
    std::shared_lock lock(g_lock);
    return g_by_name.count(name) != 0;
}

// The name of device i as a message shows it, where it can be read.
std::string entry_text(json_filter *f, int i)
{
    char expr[kKeySize];
    snprintf(expr, sizeof(expr), "$.dev[%d].name", i);
    const char *name = json_filter_get(f, expr);
    return std::string(expr, strlen(expr) - strlen(".name")) + " [" +
           (name != nullptr ? str_log_text<kShownName>(name).c_str() : "no name") + "]";
}

bool entry_exists(json_filter *f, int i)
{
    char expr[kKeySize];
    snprintf(expr, sizeof(expr), "$.dev[%d]", i);
    return json_filter_get(f, expr) != nullptr;
}

// Loading stops at the first bad device, as it always has; one err line
// says why, and which devices that leaves out, so that none of them goes
// missing without a word.
void log_stop(json_filter *f, int i, const std::string &why)
{
    std::string after;
    int count = 0;
    for (int j = i + 1; entry_exists(f, j); j++, count++) {
        if (count < kListedAfter)
            after += (count == 0 ? ": " : ", ") + entry_text(f, j);
    }
    if (count > kListedAfter)
        after += ", and " + std::to_string(count - kListedAfter) + " more";
    if (count == 0) {
        ZLOG_ERR("%s; %s was not loaded, and no entry follows it\n", str_log_text<kShownWhy>(why.c_str()).c_str(),
                 entry_text(f, i).c_str());
        return;
    }
    const std::string those = count == 1 ? "was the entry" : "were the " + std::to_string(count) + " entries";
    ZLOG_ERR("%s; %s was not loaded, nor %s after it%s\n", str_log_text<kShownWhy>(why.c_str()).c_str(),
             entry_text(f, i).c_str(), those.c_str(), after.c_str());
}

// The devices in order, up to the first bad one.
void load_devices(json_filter *f)
{
    for (int i = 0; entry_exists(f, i); i++) {
        device_reader rd(f, i);
        char key[kKeySize];
        snprintf(key, sizeof(key), "$.dev[%d]", i);
        if (!members_known(f, key, kDeviceMembers, rd.why) || !name_clean(f, i, rd.why)) {
            log_stop(f, i, rd.why);
            return;
        }
        const char *v = rd.get("name");
        std::string name = v != nullptr ? std::string(v, strnlen(v, PL_MAX_PATH - 1)) : std::string();
        std::string norm = normalised(name.c_str());
        step s = norm.empty() ? rd.stop("Cannot be null") : step::add;
        if (s == step::add && registered(norm)) {
            rd.why = "add [" + name + "] error: name exists";
            s = step::stop;
        }
        auto rec = std::make_unique<vdev_rec>();
        if (s == step::add)
            s = read_device(rd, name, *rec);
        if (s == step::stop) {
            log_stop(f, i, rd.why);
            return;
        }
        if (s == step::add)
            vdev_insert(std::move(rec));
    }
}

}  // namespace

vdev_rec_ref vdev_rec_find(const char *path)
{
    std::string name = normalised(path);
    std::shared_lock lock(g_lock);
    auto it = g_by_name.find(name);
    return it != g_by_name.end() ? it->second : vdev_rec_ref();
}

int vdev_init_form_file(const char *path)
{
    ZLOG_VERB("%s\n", path != nullptr ? path : "");
    char *text = path != nullptr ? json_filter_load_text(path) : nullptr;
    if (text == nullptr) {
        ZLOG_ERR("open [%s] error: %s\n", path != nullptr ? path : "", strerror(errno));
        return -1;
    }
    json_filter *f = json_filter_open_string(text);
    os_free(text);
    if (f == nullptr) {
        ZLOG_ERR("open [%s] error: not a JSON description\n", path);
        return -1;
    }
    if (const char *ver = json_filter_get(f, "$.ver"); ver != nullptr)
        ZLOG_VERB(".ver=[%s]\n", ver);
    int rc = 0;
    try {
        if (std::string why; members_known(f, "$", kTopMembers, why)) {
            load_devices(f);
        } else {
            ZLOG_ERR("%s\n", why.c_str());
            rc = -1;
        }
    } catch (const std::bad_alloc &) {
        ZLOG_ERR("load [%s] error: %s\n", path, strerror(ENOMEM));
    }
    json_filter_close(f);
    if (rc != 0) {
        ZLOG_ERR("load [%s] error: not a description of virtual devices\n", path);
        return rc;
    }
    ZLOG_VERB("<==\n");
    return 0;
}

int vdev_init(const char *path)
{
    ZLOG_DBG("%s\n", path != nullptr ? path : "");
    if (path != nullptr)
        vdev_init_form_file(path);
    std::call_once(g_hook_once, [] {
        if (os_file_hook_register(&kHook) != 0)
            ZLOG_ERR("os_file_hook_register [%s] failed\n", kHook.name);
    });
    return 0;
}

int vdev_exit()
{
    ZLOG_VERB("==>\n");
    std::unique_lock lock(g_lock);
    g_by_name.clear();
    g_order.clear();
    g_order.shrink_to_fit();
    return 0;
}

const vdev_info *vdev_find(const char *path)
{
    vdev_rec_ref rec = vdev_rec_find(path);
    return rec ? &rec->vi : nullptr;
}

const os_file_ops *vdev_hook_match(const char *path)
{
    // Read under a reference: vdev_exit may run on another thread.
    vdev_rec_ref rec = vdev_rec_find(path);
    return rec ? rec->vi.ops : nullptr;
}

const char *vdev_name_at(int index)
{
    std::shared_lock lock(g_lock);
    if (index < 0 || static_cast<size_t>(index) >= g_order.size())
        return nullptr;
    return g_order[static_cast<size_t>(index)]->name.c_str();
}
