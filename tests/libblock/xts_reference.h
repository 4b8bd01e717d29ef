// The independent XTS computation (xts_ref.py, on Python's AES-ECB): jobs are
// gathered, then run in one interpreter, since starting it costs seconds.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class xts_reference {
public:
    // key_hex: the export name's key text ("" for none); returns the job's index.
    size_t add(const char *mode, const std::string &key_hex, int64_t offset, const std::vector<uint8_t> &data)
    {
        const std::string in = dir_ + "/in" + std::to_string(count_);
        std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char *>(data.data()),
                                                  static_cast<std::streamsize>(data.size()));
        jobs_ += std::string(mode) + " " + (key_hex.empty() ? "-" : key_hex) + " " + std::to_string(offset) + " " +
                 in + " " + in + ".out\n";
        return count_++;
    }
    // Runs every job; the outputs in the order added (empty on failure).
    std::vector<std::vector<uint8_t>> run()
    {
        const std::string list = dir_ + "/jobs";
        std::ofstream(list) << jobs_;
        const std::string cmd = std::string("python3 ") + XTS_REF_PY + " " + list;
        EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
        std::vector<std::vector<uint8_t>> out;
        for (size_t i = 0; i < count_; i++) {
            std::ifstream f(dir_ + "/in" + std::to_string(i) + ".out", std::ios::binary);
            out.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        }
        return out;
    }
    xts_reference()
    {
        char tmpl[] = "/tmp/xts_ref_XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    ~xts_reference()
    {
        const std::string cmd = "rm -rf '" + dir_ + "'";
        (void)system(cmd.c_str());
    }

private:
    std::string dir_;
    std::string jobs_;
    size_t      count_ = 0;
};
