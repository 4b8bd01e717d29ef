// Test helper for the configuration tests: a private temporary directory
// removed with its contents, raw file helpers that bypass the code under
// test, and a snapshot of every value of an open configuration.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "libconf/conf.h"
#include "libpal/string/str_array.h"

class conf_dir_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zorv_conf_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    std::string write_file(const std::string &name, const std::string &data) const
    {
        std::string p  = path(name);
        int         fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0) << p;
        if (fd >= 0) {
            EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
            close(fd);
        }
        return p;
    }

    static std::string read_file(const std::string &p)
    {
        std::string data;
        int         fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return data;
        char    buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof(buf))) > 0) data.append(buf, static_cast<size_t>(n));
        close(fd);
        return data;
    }

    // The names in the directory, to see that no temporary file stayed.
    size_t entry_count() const
    {
        size_t n = 0;
        for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(dir_)) n++;
        return n;
    }

    std::string dir_;
};

struct conf_closer {
    void operator()(conf_handle *h) const { conf_close(h); }
};
using conf_ptr = std::unique_ptr<conf_handle, conf_closer>;

struct vector_closer {
    void operator()(str_vector *v) const { str_vector_free(v); }
};
using vector_ptr = std::unique_ptr<str_vector, vector_closer>;

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
