// Helpers of the record tests: what the default context is asked to log
// (the platform tests' capture), and a record built field by field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../libpal/str_log_capture.h"

namespace bsv_test {

// True when a message of the tag is exactly text.
inline bool saw(const log_capture &cap, const std::string &tag, const std::string &text)
{
    for (const auto &l : cap.all()) {
        if (l.tag == tag && l.text == text)
            return true;
    }
    return false;
}

// Appends fields in the byte order asked for.
struct rec_builder {
    std::vector<uint8_t> bytes;
    bool big = false;

    rec_builder &num(uint64_t v, int size)
    {
        for (int i = 0; i < size; i++) {
            const int shift = big ? (size - 1 - i) * 8 : i * 8;
            bytes.push_back(static_cast<uint8_t>(v >> shift));
        }
        return *this;
    }
    rec_builder &str(const std::string &s)
    {
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.push_back(0);
        return *this;
    }
    uint32_t size() const { return static_cast<uint32_t>(bytes.size()); }
};

}  // namespace bsv_test
