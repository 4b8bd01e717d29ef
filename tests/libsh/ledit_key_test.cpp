#include "libsh/ledit_key.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct bytes {
    std::string in;
    size_t at = 0;
};

int next_byte(void *arg)
{
    auto *b = static_cast<bytes *>(arg);
    return b->at < b->in.size() ? static_cast<unsigned char>(b->in[b->at++]) : -1;
}

// Decodes what follows the ESC that the editing loop has read; how many
// bytes the decoder took.
int32_t decode(const std::string &after_esc, size_t *taken = nullptr)
{
    bytes b{after_esc};
    int32_t key = ledit_decode_key(next_byte, &b);
    if (taken != nullptr)
        *taken = b.at;
    return key;
}

struct key_case {
    const char *name;
    std::string after_esc;
    int32_t key;
};

void PrintTo(const key_case &r, std::ostream *os)
{
    *os << r.name;
}

class DecodeKey : public ::testing::TestWithParam<key_case> {};

TEST_P(DecodeKey, GivesTheNormalisedCodeAndTakesTheWholeSequence)
{
    const key_case &c = GetParam();
    size_t taken      = 0;
    EXPECT_EQ(decode(c.after_esc, &taken), c.key) << std::hex << decode(c.after_esc);
    EXPECT_EQ(taken, c.after_esc.size());
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, DecodeKey,
    ::testing::Values(
        key_case{"Up", "[A", LEDIT_KEY_UP}, key_case{"Down", "[B", LEDIT_KEY_DOWN},
        key_case{"Right", "[C", LEDIT_KEY_RIGHT}, key_case{"Left", "[D", LEDIT_KEY_LEFT},
        key_case{"HomeTilde", "[1~", LEDIT_KEY_HOME}, key_case{"Insert", "[2~", LEDIT_KEY_INSERT},
        key_case{"Delete", "[3~", LEDIT_KEY_DELETE}, key_case{"EndTilde", "[4~", LEDIT_KEY_END},
        key_case{"PageUp", "[5~", LEDIT_KEY_PGUP}, key_case{"PageDown", "[6~", LEDIT_KEY_PGDN},
        key_case{"Digit0Tilde", "[0~", 0x301b7e}, key_case{"HomeH", "[H", LEDIT_KEY_HOME},
        key_case{"EndF", "[F", LEDIT_KEY_END}, key_case{"HomeOH", "OH", LEDIT_KEY_HOME},
        key_case{"EndOF", "OF", LEDIT_KEY_END}, key_case{"F1", "OP", LEDIT_KEY_F1}, key_case{"F4", "OS", LEDIT_KEY_F4},
        key_case{"LinuxConsoleF1", "[[A", LEDIT_KEY_F1}, key_case{"LinuxConsoleF4", "[[D", LEDIT_KEY_F4},
        key_case{"LinuxConsoleF5", "[[E", 0x5b1b45}, key_case{"AppCursorUpIsCtrlUp", "OA", LEDIT_KEY_ALT_UP},
        key_case{"AppCursorLeftIsCtrlLeft", "OD", LEDIT_KEY_ALT_LEFT},
        key_case{"CtrlLeft", "[1;5D", LEDIT_KEY_ALT_LEFT}, key_case{"AltLeft", "[1;3D", LEDIT_KEY_ALT_LEFT},
        key_case{"CtrlRight", "[1;5C", LEDIT_KEY_ALT_RIGHT}, key_case{"CtrlUp", "[1;5A", LEDIT_KEY_ALT_UP},
        key_case{"CtrlEnd", "[1;5F", LEDIT_KEY_ALT_END}, key_case{"CtrlHome", "[1;5H", LEDIT_KEY_ALT_HOME},
        key_case{"CtrlDelete", "[3;5~", LEDIT_KEY_ALT_DELETE},
        key_case{"ShiftModifierIgnored", "[1;2D", LEDIT_KEY_NONE}, key_case{"AltLetter", "f", ledit_key_alt('f')},
        key_case{"AltLess", "<", ledit_key_alt('<')}, key_case{"AltBackspace", "\x7f", LEDIT_KEY_ALT_BACKSPACE},
        key_case{"EscEscLeft", "\x1b[D", LEDIT_KEY_ALT_LEFT}, key_case{"EscEscRight", "\x1b[C", LEDIT_KEY_ALT_RIGHT},
        key_case{"EscEscUp", "\x1b[A", LEDIT_KEY_ALT_UP}, key_case{"EscEscDown", "\x1b[B", LEDIT_KEY_ALT_DOWN},
        key_case{"EscEscHome", "\x1b[1~", LEDIT_KEY_ALT_HOME}, key_case{"EscEscEnd", "\x1b[F", LEDIT_KEY_ALT_END},
        key_case{"EscEscDelete", "\x1b[3~", LEDIT_KEY_ALT_DELETE},
        key_case{"EscEscBackspace", "\x1b\x7f", LEDIT_KEY_ALT_BACKSPACE},
        key_case{"EscEscLetter",
                 "\x1b"
                 "b",
                 ledit_key_alt('b')},
        // Sequences the editor has no key for: consumed to their final byte.
        key_case{"F5TwoDigits", "[15~", LEDIT_KEY_NONE}, key_case{"F12", "[24~", LEDIT_KEY_NONE},
        key_case{"MouseReport", "[<0;12;5M", LEDIT_KEY_NONE}, key_case{"PrivateMode", "[?25h", LEDIT_KEY_NONE},
        key_case{"HighDigitTilde", "[7~", LEDIT_KEY_NONE}, key_case{"WideModifier", "[1;10D", LEDIT_KEY_NONE}),
    [](const ::testing::TestParamInfo<key_case> &p) { return std::string(p.param.name); });

TEST(DecodeKeyEdges, DigitFollowedByAnotherFinalByteGivesTheDigit)
{
    // The editing loop never types it: a byte of a sequence is no text.
    EXPECT_EQ(decode("[2J"), '2');
}

TEST(DecodeKeyEdges, EscapeCutOffByTheEndOfInputReportsTheEnd)
{
    for (const char *cut : {"", "[", "[1", "[1;", "[1;5", "O", "[[", "\x1b", "\x1b[", "[<0;1"})
        EXPECT_EQ(decode(cut), LEDIT_KEY_END_OF_INPUT) << '"' << cut << '"';
}

TEST(DecodeKeyEdges, AnEndlessParameterRunStopsAtItsBound)
{
    std::string garbage = "[" + std::string(100000, '1');
    size_t taken        = 0;
    EXPECT_EQ(decode(garbage, &taken), LEDIT_KEY_NONE);
    EXPECT_LT(taken, 100u);
}

TEST(NormalizeKey, PlainBytesKeepTheirValueAndDelIsBackspace)
{
    EXPECT_EQ(ledit_key_normalize(127), LEDIT_KEY_BACKSPACE);
    for (int32_t b : {1, 8, 9, 13, int32_t{'a'}, int32_t{'~'}})
        EXPECT_EQ(ledit_key_normalize(b), b);
}

}  // namespace
