// Record schemas and typed getters.
#define ZLOG_TAG "bsv"

#include "libbsv/bsv_value.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "libpal/memory/mem_small.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_safe.h"
#include "libpal/value/value2.h"
#include "liblog/zlog.h"

namespace {

struct width {
    std::string_view word;
    uint32_t type;
    uint32_t size;
};

constexpr width k_widths[] = {
    {"u64", VALUE_TYPE_U64, 8},
    {"u32", VALUE_TYPE_U32, 4},
    {"u16", VALUE_TYPE_U16, 2},
    {"u8", VALUE_TYPE_U8, 1},
    {"str", VALUE_TYPE_STRING, BSV_STR_SIZE},
};

struct known_type {
    int id;
    const char *schema;
    int endian;
};

constexpr known_type k_types[] = {
    {1, BSV_SCHEMA_LOG, 0}, {2, BSV_SCHEMA_LOG, 1}, {3, BSV_SCHEMA_LOG3, 0},
    {5, BSV_SCHEMA_NET, 0}, {6, BSV_SCHEMA_NET, 1},
};

const known_type *find_type(int id)
{
    for (const auto &t : k_types) {
        if (t.id == id)
            return &t;
    }
    ZLOG_ERR("type=%d error: not found\n", id);
    return nullptr;
}

const width *find_width(std::string_view word)
{
    for (const auto &w : k_widths) {
        if (w.word == word)
            return &w;
    }
    return nullptr;
}

std::string_view next_part(std::string_view *rest, char sep)
{
    const size_t at = rest->find(sep);
    const std::string_view part = rest->substr(0, at);
    *rest = at == std::string_view::npos ? std::string_view{} : rest->substr(at + 1);
    return part;
}

void log_field_error(std::string_view field, const char *schema)
{
    ZLOG_ERR("buf=[%.*s] info=[%s] error\n", static_cast<int>(field.size()), field.data(), schema);
}

bool is_string(const bsv_value *v, uint32_t idx)
{
    return v->val[idx].type == VALUE_TYPE_STRING;
}

// Locates string field idx in rec, walking from the first string field; the
// offsets found are kept in the field descriptors. nullptr when a string
// before it, or it, has no NUL within len.
const char *locate_string(bsv_value *v, const void *rec, uint32_t len, uint32_t idx)
{
    const auto *base = static_cast<const char *>(rec);
    uint32_t off = static_cast<uint32_t>(v->val[v->str_idx].offset);
    v->last = rec;
    for (uint32_t i = v->str_idx; i < v->count_idx; i++) {
        if (off >= len)
            return nullptr;
        const void *nul = memchr(base + off, '\0', len - off);
        if (nul == nullptr)
            return nullptr;
        v->val[i].offset = static_cast<int32_t>(off);
        if (i == idx)
            return base + off;
        off = static_cast<uint32_t>(static_cast<const char *>(nul) - base) + 1;
    }
    return nullptr;
}

uint64_t read_number(const bsv_value *v, const void *rec, uint32_t len, uint32_t idx)
{
    const bsv_field &f = v->val[idx];
    if (static_cast<uint64_t>(f.offset) + f.size > len)
        return 0;
    const int swap = v->endian != 0 ? 1 : 0;
    switch (f.size) {
    case 1: return static_cast<const uint8_t *>(rec)[f.offset];
    case 2: return mem_get_u16(swap, rec, static_cast<size_t>(f.offset));
    case 4: return mem_get_u32(swap, rec, static_cast<size_t>(f.offset));
    default: return mem_get_u64(swap, rec, static_cast<size_t>(f.offset));
    }
}

}  // namespace

bsv_value *bsv_type_open_value(int type_id)
{
    const known_type *t = find_type(type_id);
    return t == nullptr ? nullptr : bsv_value_init(t->schema, t->endian);
}

int bsv_type_get_os_endian(int type_id)
{
    const known_type *t = find_type(type_id);
    return t == nullptr ? 0 : t->endian;
}

int value_get_info(bsv_value *value, const char *schema)
{
    if (schema == nullptr)
        return -1;
    std::string_view rest(schema);
    uint32_t count = 0;
    uint32_t offset = 0;
    bool seen_string = false;
    while (!rest.empty()) {
        const std::string_view field = next_part(&rest, ',');
        const size_t dash = field.rfind('-');
        if (dash == std::string_view::npos) {
            log_field_error(field, schema);
            return -1;
        }
        const std::string_view word = field.substr(dash + 1);
        const width *w = find_width(word);
        if (w == nullptr) {
            ZLOG_ERR("type=[%.*s] error\n", static_cast<int>(word.size()), word.data());
            return -1;
        }
        const bool str = w->type == VALUE_TYPE_STRING;
        std::string_view names = field.substr(0, dash);
        // A number has one name and comes before every string: its offset
        // is fixed by the fields before it.
        if ((!str && (seen_string || names.find('|') != std::string_view::npos)) || names.empty()) {
            log_field_error(field, schema);
            return -1;
        }
        if (names.back() == '|') {
            log_field_error(field, schema);
            return -1;
        }
        for (;;) {
            const std::string_view name = next_part(&names, '|');
            if (name.empty() || name.size() >= BSV_NAME_SIZE) {
                log_field_error(field, schema);
                return -1;
            }
            if (value != nullptr) {
                bsv_field &f = value->val[count];
                memcpy(f.name, name.data(), name.size());
                f.name[name.size()] = '\0';
                f.type = w->type;
                f.size = w->size;
                f.offset = str && seen_string ? -1 : static_cast<int32_t>(offset);
                if (str && !seen_string)
                    value->str_idx = count;
            }
            if (str)
                seen_string = true;
            else
                offset += w->size;
            count++;
            if (names.empty())
                break;
        }
    }
    return static_cast<int>(count);
}

bsv_value *bsv_value_init(const char *schema, int endian)
{
    ZLOG_VERB("==>\n");
    const int count = value_get_info(nullptr, schema);
    if (count <= 0) {
        ZLOG_DBG("value_get_info failed\n");
        return nullptr;
    }
    auto *v = static_cast<bsv_value *>(os_zalloc(sizeof(bsv_value)));
    if (v == nullptr)
        return nullptr;
    v->schema = schema;
    v->endian = endian != 0 ? 1 : 0;
    v->count_idx = static_cast<uint32_t>(count);
    v->str_idx = v->count_idx;
    v->val = static_cast<bsv_field *>(os_zalloc(sizeof(bsv_field) * v->count_idx));
    v->names = str_map_new(STR_F_OWN | STR_F_SORTED);
    if (v->val == nullptr || v->names == nullptr || value_get_info(v, schema) != count) {
        bsv_value_exit(v);
        return nullptr;
    }
    for (uint32_t i = 0; i < v->count_idx; i++) {
        // The map holds index + 1 as its value pointer, so that none means absent.
        const auto *slot = reinterpret_cast<const char *>(static_cast<uintptr_t>(i) + 1);
        if (str_map_add(v->names, v->val[i].name, slot) != 0) {
            bsv_value_exit(v);
            return nullptr;
        }
    }
    str_map_sort(v->names);
    // A name given twice would make a lookup by name ambiguous.
    for (uint32_t i = 1; i < v->names->count; i++) {
        if (strcmp(str_map_key_at(v->names, static_cast<int>(i - 1)), str_map_key_at(v->names, static_cast<int>(i))) == 0) {
            ZLOG_ERR("name=[%s] error: given twice in [%s]\n", str_map_key_at(v->names, static_cast<int>(i)), schema);
            bsv_value_exit(v);
            return nullptr;
        }
    }
    return v;
}

void bsv_value_exit(bsv_value *value)
{
    PL_ASSERT_TEXT_RET_VOID(value != nullptr, "ctx!=NULL");
    if (value->names != nullptr)
        str_map_free(value->names);
    os_free(value->val);
    os_free(value);
}

uint32_t bsv_value_get_count(const bsv_value *value)
{
    return value == nullptr ? 0 : value->count_idx;
}

const bsv_field *bsv_value_get_name(const bsv_value *value, uint32_t idx)
{
    if (value == nullptr || idx >= value->count_idx)
        return nullptr;
    return &value->val[idx];
}

uint64_t bsv_value_get(bsv_value *value, const void *rec, uint32_t len, uint32_t idx)
{
    PL_ASSERT_TEXT_RET(value != nullptr && idx < value->count_idx, "idx<ctx->count_idx", 0);
    if (rec == nullptr)
        return 0;
    if (is_string(value, idx))
        return reinterpret_cast<uintptr_t>(locate_string(value, rec, len, idx));
    return read_number(value, rec, len, idx);
}

namespace {

uint64_t get_number(bsv_value *value, const void *rec, uint32_t len, uint32_t idx)
{
    PL_ASSERT_TEXT_RET(value != nullptr && idx < value->count_idx, "idx < ctx->count_idx", 0);
    PL_ASSERT_TEXT_RET(!is_string(value, idx), "ctx->val[idx].type!=VALUE_TYPE_STRING", 0);
    return bsv_value_get(value, rec, len, idx);
}

}  // namespace

uint8_t bsv_value_get_u8(bsv_value *value, const void *rec, uint32_t len, uint32_t idx)
{
    return static_cast<uint8_t>(get_number(value, rec, len, idx));
}

uint16_t bsv_value_get_u16(bsv_value *value, const void *rec, uint32_t len, uint32_t idx)
{
    return static_cast<uint16_t>(get_number(value, rec, len, idx));
}

uint32_t bsv_value_get_u32(bsv_value *value, const void *rec, uint32_t len, uint32_t idx)
{
    return static_cast<uint32_t>(get_number(value, rec, len, idx));
}

uint64_t bsv_value_get_u64(bsv_value *value, const void *rec, uint32_t len, uint32_t idx)
{
    return get_number(value, rec, len, idx);
}

const char *bsv_value_get_str(bsv_value *value, const void *rec, uint32_t len, uint32_t idx)
{
    PL_ASSERT_TEXT_RET(value != nullptr && idx < value->count_idx, "idx < ctx->count_idx", nullptr);
    PL_ASSERT_TEXT_RET(is_string(value, idx), "ctx->val[idx].type==VALUE_TYPE_STRING", nullptr);
    return reinterpret_cast<const char *>(static_cast<uintptr_t>(bsv_value_get(value, rec, len, idx)));
}

int bsv_value_get_by_name(bsv_value *value, const void *rec, uint32_t len, const char *name, bsv_var *out)
{
    if (value == nullptr || name == nullptr || out == nullptr)
        return -1;
    const char *slot = str_map_get(value->names, name);
    if (slot == nullptr)
        return -1;
    const auto idx = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(slot) - 1);
    out->type = value->val[idx].type;
    out->value = bsv_value_get(value, rec, len, idx);
    out->extra = 0;
    return out->type == VALUE_TYPE_STRING && out->value == 0 ? -1 : 0;
}

int bsv_filter_getter(void *ctx, const char *name, qexpr_value *out)
{
    auto *c = static_cast<bsv_filter_ctx *>(ctx);
    if (c == nullptr || out == nullptr)
        return -1;
    bsv_var var;
    if (bsv_value_get_by_name(c->value, c->record, c->len, name, &var) != 0)
        return -1;
    out->type = var.type;
    if (var.type == VALUE_TYPE_STRING) {
        out->str = reinterpret_cast<const char *>(static_cast<uintptr_t>(var.value));
        out->num = 0;
    } else {
        out->num = var.value;
        out->str = nullptr;
    }
    return 0;
}
