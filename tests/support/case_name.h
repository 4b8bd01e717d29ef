// Test helper for tables of cases: a readable test name made from a row's own
// text, and the text itself for a row's PrintTo, so that a listing or a
// failure says which row it is.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

// The row's index (rows may share a text), then the text's words: letters and
// digits kept, operators spelt out, everything else one '_'; at most 48
// characters of text.
inline std::string case_name(size_t index, std::string_view text)
{
    struct spelt {
        std::string_view op;
        const char *word;
    };
    static constexpr spelt k_ops[] = {
        {"==", "eq"}, {"!=", "ne"}, {"<=", "le"}, {">=", "ge"}, {"&&", "and"}, {"||", "or"},  {"=", "eq"},
        {"<", "lt"},  {">", "gt"},  {"!", "not"}, {"~", "tilde"}, {"*", "star"}, {"@", "at"}, {"$", "dollar"}, {"-", "minus"},
    };
    std::string words;
    const auto add = [&](std::string_view w) {
        if (!words.empty() && words.back() != '_')
            words += '_';
        words += w;
        words += '_';
    };
    for (size_t i = 0; i < text.size() && words.size() < 48;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isalnum(c) != 0) {
            words += static_cast<char>(c);
            i++;
            continue;
        }
        const spelt *found = nullptr;
        for (const spelt &s : k_ops)
            if (text.substr(i, s.op.size()) == s.op) {
                found = &s;
                break;
            }
        if (found != nullptr) {
            add(found->word);
            i += found->op.size();
        } else {
            if (!words.empty() && words.back() != '_')
                words += '_';
            i++;
        }
    }
    while (!words.empty() && words.back() == '_')
        words.pop_back();
    return std::to_string(index) + (words.empty() ? "" : "_" + words);
}

// text in double quotes, control bytes and quotes escaped; a text longer
// than 80 bytes is cut there and its length given.
inline std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < 80; i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c == '"' || c == '\\')
            out += std::string("\\") + static_cast<char>(c);
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    out += "\"";
    if (text.size() > 80)
        out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}
