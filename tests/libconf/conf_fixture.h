// Test helper for the configuration tests: the file tests' private
// temporary directory, a count of its entries, and a snapshot of every value
// of an open configuration.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "../libpal/os_file_fixture.h"

#include "libconf/conf.h"
#include "libpal/basic/pl_own.h"
#include "libpal/string/str_array.h"

class conf_dir_test : public temp_dir_test {
protected:
    // The names in the directory, to see that no temporary file stayed.
    size_t entry_count() const
    {
        size_t n = 0;
        for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(dir_)) n++;
        return n;
    }
};

using conf_ptr = pl_owned<conf_handle, conf_close>;
using vector_ptr = pl_owned<str_vector, str_vector_free>;

inline std::vector<std::string> to_list(str_vector *v)
{
    std::vector<std::string> out;
    for (uint32_t i = 0; v != nullptr && i < v->count; i++) out.emplace_back(v->items[i]);
    str_vector_free(v);
    return out;
}

// Every value of h keyed by (section, key); keys before the first section
// under the empty section name.
inline std::map<std::pair<std::string, std::string>, std::string> snapshot(conf_handle *h)
{
    std::map<std::pair<std::string, std::string>, std::string> all;
    std::vector<std::string> sections = to_list(conf_get_sections(h));
    sections.insert(sections.begin(), "");
    for (const std::string &s : sections) {
        for (const std::string &k : to_list(conf_get_keys(h, s.c_str())))
            all[{s, k}] = conf_get_str(h, s.c_str(), k.c_str(), "(missing)");
    }
    return all;
}
