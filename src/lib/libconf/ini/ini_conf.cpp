// The INI backend: the configuration API's operations on a dictionary.
#include "libconf/ini/ini_conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <array>

#include "libconf/ini/iniparser.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_path.h"
#include "libpal/os/os_replace.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_glob.h"

#define ZLOG_TAG "conf"
#include "liblog/zlog.h"

namespace {

constexpr size_t kPathMax = 4096;

ini_conf *as_ini(void *obj)
{
    return static_cast<ini_conf *>(obj);
}

// Names are cut into fixed buffers: the backend's operations allocate nothing
// of their own and so never throw.
using name_buf = std::array<char, INI_KEY_MAX + 1>;

const char *section_name(const char *text, name_buf &out)
{
    const size_t n = strnlen(text, INI_SECTION_MAX);
    memcpy(out.data(), text, n);
    out[n] = '\0';
    return out.data();
}

const char *entry_key(const char *section, const char *key, name_buf &out)
{
    return iniparser_entry_key(section, key, out.data());
}

ini_conf *ini_conf_new(const char *path, dictionary *d)
{
    auto *c = static_cast<ini_conf *>(os_zalloc(sizeof(ini_conf)));
    if (c == nullptr) {
        dictionary_del(d);
        return nullptr;
    }
    c->dict = d;
    if (path != nullptr) {
        c->path = os_strdup(path);
        if (c->path == nullptr) {
            dictionary_del(d);
            os_free(c);
            return nullptr;
        }
    }
    return c;
}

void ini_close(void *obj)
{
    ini_conf *c = as_ini(obj);
    if (c == nullptr) return;
    os_free(c->path);
    dictionary_del(c->dict);
    os_free(c);
}

const char *ini_get_str(void *obj, const char *section, const char *key, const char *def)
{
    if (obj == nullptr || section == nullptr || key == nullptr) return def;
    name_buf    k;
    const char *v = dictionary_get(as_ini(obj)->dict, entry_key(section, key, k), def);
    return v != nullptr ? v : def;
}

int ini_set_str(void *obj, const char *section, const char *key, const char *value)
{
    // A TAB in a section name would turn its entry into a key.
    if (obj == nullptr || section == nullptr || key == nullptr || strchr(section, '\t') != nullptr) return -1;
    dictionary *d = as_ini(obj)->dict;
    name_buf    buf;
    const char *sec = section_name(section, buf);
    if (dictionary_find(d, sec) < 0 && dictionary_set(d, sec, nullptr, nullptr) != 0) return -1;
    return dictionary_set(d, entry_key(section, key, buf), value != nullptr ? value : "", nullptr) == 0 ? 0 : -1;
}

str_vector *ini_get_sections(void *obj)
{
    if (obj == nullptr) return nullptr;
    const dictionary *d = as_ini(obj)->dict;
    str_vector       *v = str_vector_new(STR_F_OWN | STR_F_NO_EMPTY | STR_F_UNIQUE);
    if (v == nullptr) return nullptr;
    for (int i = 0; i < d->size; i++) {
        if (d->key[i] != nullptr && strchr(d->key[i], '\t') == nullptr && str_vector_push_back(v, d->key[i]) != 0) {
            str_vector_free(v);
            return nullptr;
        }
    }
    return v;
}

str_vector *ini_get_keys(void *obj, const char *section)
{
    if (obj == nullptr || section == nullptr) return nullptr;
    const dictionary *d = as_ini(obj)->dict;
    name_buf          buf;
    const char       *sec = section_name(section, buf);
    const size_t      len = strlen(sec);
    str_vector       *v   = str_vector_new(STR_F_OWN | STR_F_NO_EMPTY | STR_F_UNIQUE);
    if (v == nullptr) return nullptr;
    for (int i = 0; i < d->size; i++) {
        const char *k = d->key[i];
        if (k == nullptr || strncmp(k, sec, len) != 0 || k[len] != '\t') continue;
        if (str_vector_push_back(v, k + len + 1) != 0) {
            str_vector_free(v);
            return nullptr;
        }
    }
    return v;
}

int ini_del_section(void *obj, const char *section)
{
    if (obj == nullptr || section == nullptr) return -1;
    name_buf buf;
    return dictionary_unset_section(as_ini(obj)->dict, section_name(section, buf));
}

int ini_del_key(void *obj, const char *section, const char *key)
{
    if (obj == nullptr || section == nullptr || key == nullptr) return -1;
    name_buf buf;
    return dictionary_unset(as_ini(obj)->dict, entry_key(section, key, buf));
}

int ini_rename_section(void *obj, const char *old_name, const char *new_name)
{
    if (obj == nullptr || old_name == nullptr || new_name == nullptr) return -1;
    name_buf old_buf;
    name_buf new_buf;
    return dictionary_secrename(as_ini(obj)->dict, section_name(old_name, old_buf), section_name(new_name, new_buf));
}

void ini_dump(void *obj)
{
    if (obj != nullptr) iniparser_dump_ini(as_ini(obj)->dict, stdout);
}

// The configuration's whole text as the replacement file's content.
bool write_ini(FILE *fp, void *arg)
{
    static constexpr char kBom[] = "\xEF\xBB\xBF";
    if (fwrite(kBom, 1, 3, fp) != 3) return false;
    if (iniparser_dump_ini(static_cast<const dictionary *>(arg), fp) != 0) {
        ZLOG_ERR("save error: a name or value cannot be written so that it reads back\n");
        errno = EINVAL;
        return false;
    }
    return ferror(fp) == 0;
}

}  // namespace

int ini_conf_match(const char *path)
{
    return path != nullptr && pl_glob_match_list_i(path, "*.ini|*.qdi|*.inf|*.cfg|*.dat") ? 0 : 1;
}

void *ini_conf_load(const char *path, int create)
{
    if (path == nullptr) return nullptr;
    // Only a regular file is configuration: opening a FIFO would wait for a
    // writer for ever, and a device or directory holds no settings.
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) return nullptr;
    FILE *fp = os_fopen(path, "r");
    if (fp == nullptr) {
        if (!create) return nullptr;
        fp = os_fopen(path, "w+");
        if (fp == nullptr) return nullptr;
    }
    fclose(fp);
    dictionary *d = iniparser_load(path);
    if (d == nullptr) return nullptr;
    return ini_conf_new(path, d);
}

void *ini_conf_load_str(const char *text)
{
    dictionary *d = iniparser_load_str(text);
    if (d == nullptr) return nullptr;
    return ini_conf_new(nullptr, d);
}

int ini_conf_rename_key(void *, const char *, const char *, const char *)
{
    ZLOG_WARN("noimpl\n");
    return 0;
}

int ini_conf_save(void *obj)
{
    ini_conf *c = as_ini(obj);
    if (c == nullptr || c->path == nullptr) return -1;
    char norm[kPathMax];
    if (!os_path_prepare(c->path, norm)) return -1;
    if (os_file_replace(norm, 0644, write_ini, c->dict) != 0) {
        ZLOG(uint32_t{LOG2_ERR} | LOG2_F_ERRNO, "save [%s] err: ", norm);
        return -1;
    }
    return 0;
}

void ini_conf_ops_init(conf_ops *ops)
{
    *ops = conf_ops{0,
                    ini_conf_match,
                    ini_conf_load,
                    ini_conf_load_str,
                    ini_close,
                    ini_get_str,
                    ini_set_str,
                    ini_get_sections,
                    ini_get_keys,
                    ini_del_section,
                    ini_del_key,
                    ini_rename_section,
                    ini_conf_rename_key,
                    ini_dump,
                    ini_conf_save};
}
