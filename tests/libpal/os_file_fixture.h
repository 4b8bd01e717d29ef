// Test helper for the file-object tests: a private temporary directory that
// is removed with everything in it, and small raw file helpers that do not
// go through the code under test.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

class temp_dir_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *tmp = getenv("TEST_TMPDIR");
        std::string tmpl = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/zorv_file_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // Writes data to a new file at name (inside the directory).
    std::string make_file(const std::string &name, const std::string &data) const
    {
        std::string p = path(name);
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
        int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return data;
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof(buf))) > 0)
            data.append(buf, static_cast<size_t>(n));
        close(fd);
        return data;
    }

    static bool exists(const std::string &p) { return access(p.c_str(), F_OK) == 0; }

    std::string dir_;
};
