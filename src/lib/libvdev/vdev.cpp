// The registry of virtual devices, the description loader and the "vdev" open
// hook. The registry is written while a description loads and read by every
// file open once the hook is registered, so a shared lock guards it.
#define ZLOG_TAG "vdev"

#include "libvdev/vdev.h"

#include <array>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <vector>

#include "jsonfilter/json_filter.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_file.h"
#include "libpal/string/path.h"
#include "libpal/string/str_array.h"
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
// may be. false (the entry and the reason logged) for anything else: a
// misspelt key or a value of the wrong type would otherwise be ignored.
template <size_t N>
bool members_known(json_filter *f, const char *expr, const member (&table)[N])
{
    str_map *map = json_filter_get_map(f, expr);
    if (map == nullptr) {
        ZLOG_ERR("get [%s] error: not an object\n", expr);
        return false;
    }
    bool ok = true;
    for (uint32_t i = 0; ok && i < map->count; i++) {
        const char *key = str_map_key_at(map, static_cast<int>(i));
        const char *val = str_map_val_at(map, static_cast<int>(i));
        const member *m = nullptr;
        for (const member &row : table)
            if (strcmp(row.key, key) == 0)
                m = &row;
        if (m == nullptr) {
            ZLOG_ERR("get [%s] error: unknown key [%s]\n", expr, key);
            ok = false;
        } else if ((kind_of_json(val) & m->kinds) == 0) {
            ZLOG_ERR("get [%s.%s] error: %s, takes %s\n", expr, key, kind_name(kind_of_json(val)), m->takes);
            ok = false;
        }
    }
    str_map_free(map);
    return ok;
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

private:
    json_filter *f_;
    int index_;
    char key_[kKeySize] = {};
};

enum class step { add, skip, stop };

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
            ZLOG_ERR("get [%s] error: Invalid range [%s]\n", rd.key(), v);
            return step::stop;
        }
        if (static_cast<uint64_t>(first) + static_cast<uint64_t>(count) > sectors) {
            ZLOG_ERR("get [%s] error: range [%s] past the device's end (%llu sectors)\n", rd.key(), v,
                     static_cast<unsigned long long>(sectors));
            return step::stop;
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
    if (v == nullptr) {
        ZLOG_ERR("get [%s] error: Cannot be null\n", rd.key());
        return step::stop;
    }
    rec.vi.size = str_atosize(v);
    if (rec.vi.size == 0 || rec.vi.size > static_cast<uint64_t>(INT64_MAX)) {
        ZLOG_ERR("get [%s] error: size = 0\n", rd.key());
        return step::stop;
    }
    return step::add;
}

// The record of device i; stop ends loading there, skip goes on with i + 1.
step read_device(json_filter *f, int i, const std::string &name, vdev_rec &rec)
{
    device_reader rd(f, i);
    rec.name = normalised(name.c_str());
    rec.vi.sector_bytes = kSectorSizes[0];
    const char *v = rd.get("type");
    if (v == nullptr) {
        ZLOG_ERR("get [%s] error: Cannot be null\n", rd.key());
        return step::stop;
    }
    const std::string type = v;
    rec.vi.ops = kind_ops(type);
    if (rec.vi.ops == nullptr) {
        ZLOG_ERR("get [%s] error: Invalid type\n", rd.key());
        return step::stop;
    }
    if (step s = read_size(rd, rec, type); s != step::add)
        return s;
    if (v = rd.get("sector_bytes"); v == nullptr) {
        ZLOG_DBG("get [%s] failed\n", rd.key());
    } else {
        int32_t bytes = 0;
        // A sector size the block layer cannot use would also divide by zero.
        if (str_atoi_chk(v, &bytes) != 0 || !sector_size_valid(bytes)) {
            ZLOG_ERR("get [%s] error: Invalid sector_bytes [%s]\n", rd.key(), v);
            return step::stop;
        }
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

void load_devices(json_filter *f)
{
    for (int i = 0;; i++) {
        char key[kKeySize];
        snprintf(key, sizeof(key), "$.dev[%d]", i);
        if (json_filter_get(f, key) == nullptr)
            return;
        if (!members_known(f, key, kDeviceMembers))
            return;
        snprintf(key, sizeof(key), "$.dev[%d].name", i);
        const char *v = json_filter_get(f, key);
        if (v != nullptr)
            ZLOG_VERB("%s=[%s]\n", key, v);
        std::string name = v != nullptr ? std::string(v, strnlen(v, PL_MAX_PATH - 1)) : std::string();
        std::string norm = normalised(name.c_str());
        if (norm.empty()) {
            ZLOG_ERR("get [%s] error: Cannot be null\n", key);
            return;
        }
        if (registered(norm)) {
            ZLOG_ERR("add [%s] error: name exists\n", name.c_str());
            return;
        }
        auto rec = std::make_unique<vdev_rec>();
        step s = read_device(f, i, name, *rec);
        if (s == step::stop)
            return;
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
        if (members_known(f, "$", kTopMembers))
            load_devices(f);
        else
            rc = -1;
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
