// The key decoder: one escape sequence in, one normalised code out.
#include "libsh/ledit_key.h"

namespace {

// A control sequence has at most this many parameter and intermediate bytes
// before its final byte; a longer run is cut off so a stream of garbage
// cannot keep the decoder reading.
constexpr int k_max_sequence = 64;

bool is_parameter_byte(int b)
{
    return b >= 0x20 && b <= 0x3f;
}
bool is_final_byte(int b)
{
    return b >= 0x40 && b <= 0x7e;
}

// Reads up to the final byte of a control sequence whose parameters have begun.
int32_t skip_sequence(ledit_byte_source src, void *arg)
{
    for (int i = 0; i < k_max_sequence; i++) {
        int b = src(arg);
        if (b < 0)
            return LEDIT_KEY_END_OF_INPUT;
        if (is_final_byte(b))
            break;
    }
    return LEDIT_KEY_NONE;
}

// ESC [ d ...: the "~" form, the modifier form, or the digit itself.
int32_t decode_digit(ledit_byte_source src, void *arg, char d)
{
    int e = src(arg);
    if (e < 0)
        return LEDIT_KEY_END_OF_INPUT;
    if (e == '~')
        return ledit_key_tilde(d);
    if (e == ';') {
        int m = src(arg);
        if (m < 0)
            return LEDIT_KEY_END_OF_INPUT;
        int x = src(arg);
        if (x < 0)
            return LEDIT_KEY_END_OF_INPUT;
        if (is_parameter_byte(x))
            return skip_sequence(src, arg);
        if (m == '3' || m == '5')
            return ledit_key_mod(static_cast<char>(m), d, static_cast<char>(x));
        return LEDIT_KEY_NONE;
    }
    if (is_parameter_byte(e))
        return skip_sequence(src, arg);
    return d;
}

// b: the byte after the ESC.
int32_t decode_after_esc(int b, ledit_byte_source src, void *arg)
{
    if (b < 0)
        return LEDIT_KEY_END_OF_INPUT;
    if (b == 'O') {
        int x = src(arg);
        return x < 0 ? LEDIT_KEY_END_OF_INPUT : 0x4f1b00 | x;
    }
    if (b != '[')
        return ledit_key_alt(static_cast<char>(b));
    int c = src(arg);
    if (c < 0)
        return LEDIT_KEY_END_OF_INPUT;
    if (c >= '0' && c <= '6')
        return decode_digit(src, arg, static_cast<char>(c));
    if (c == '[') {
        int x = src(arg);
        return x < 0 ? LEDIT_KEY_END_OF_INPUT : 0x5b1b00 | x;
    }
    if (is_parameter_byte(c))
        return skip_sequence(src, arg);
    return 0x1b00 | c;
}

struct alt_form {
    int32_t key;
    int32_t alt;
};

// What ESC ESC makes of a normalised key.
constexpr alt_form k_alt_forms[] = {
    {LEDIT_KEY_LEFT, LEDIT_KEY_ALT_LEFT},     {LEDIT_KEY_RIGHT, LEDIT_KEY_ALT_RIGHT},
    {LEDIT_KEY_UP, LEDIT_KEY_ALT_UP},         {LEDIT_KEY_DOWN, LEDIT_KEY_ALT_DOWN},
    {LEDIT_KEY_HOME, LEDIT_KEY_ALT_HOME},     {LEDIT_KEY_END, LEDIT_KEY_ALT_END},
    {LEDIT_KEY_DELETE, LEDIT_KEY_ALT_DELETE}, {LEDIT_KEY_BACKSPACE, LEDIT_KEY_ALT_BACKSPACE},
};

struct rename_form {
    int32_t from;
    int32_t to;
};

constexpr rename_form k_renames[] = {
    {LEDIT_KEY_DEL, LEDIT_KEY_BACKSPACE},
    {0x1b48, LEDIT_KEY_HOME},
    {0x1b46, LEDIT_KEY_END},
    {0x4f1b48, LEDIT_KEY_HOME},
    {0x4f1b46, LEDIT_KEY_END},
    {0x4f1b41, LEDIT_KEY_ALT_UP},
    {0x4f1b42, LEDIT_KEY_ALT_DOWN},
    {0x4f1b43, LEDIT_KEY_ALT_RIGHT},
    {0x4f1b44, LEDIT_KEY_ALT_LEFT},
    {0x5b1b41, LEDIT_KEY_F1},
    {0x5b1b42, LEDIT_KEY_F2},
    {0x5b1b43, LEDIT_KEY_F3},
    {0x5b1b44, LEDIT_KEY_F4},
};

}  // namespace

int32_t ledit_key_normalize(int32_t code)
{
    for (const rename_form &r : k_renames) {
        if (code == r.from)
            return r.to;
    }
    // The Ctrl modifier acts as Alt: one code per action.
    if (((code >> 24) & 0xff) == '5' && (code & 0xff00) == 0x1b00)
        return (code & 0x00ffffff) | (static_cast<int32_t>('3') << 24);
    return code;
}

int32_t ledit_decode_key(ledit_byte_source src, void *arg)
{
    int b = src(arg);
    if (b < 0)
        return LEDIT_KEY_END_OF_INPUT;
    if (b != LEDIT_ESC)
        return ledit_key_normalize(decode_after_esc(b, src, arg));
    // ESC ESC: the key after it in its Alt form.
    int32_t key = ledit_key_normalize(decode_after_esc(src(arg), src, arg));
    for (const alt_form &a : k_alt_forms) {
        if (key == a.key)
            return a.alt;
    }
    return key;
}
