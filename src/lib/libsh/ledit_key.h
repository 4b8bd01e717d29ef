// The line editor's key codes: the decoder that turns the bytes after an ESC
// into one signed 32-bit code, and the normalisation that makes the several
// forms terminals send for one key into one code. Plain bytes keep their
// value (1 to 31 are Ctrl-A to Ctrl-_). Pure functions over a byte source, so
// the decoder is tested with byte strings; the editing loop (ledit.h) acts on
// the normalised codes.
#pragma once

#include <cstdint>

// A byte of input 0-255, or a negative value at the end of input.
using ledit_byte_source = int (*)(void *arg);

constexpr int32_t LEDIT_ESC = 0x1b;

// ESC "[" d "~" with the digit character d.
constexpr int32_t ledit_key_tilde(char d)
{
    return (static_cast<int32_t>(d) << 16) | 0x1b7e;
}
// ESC "[" d ";" m X with the modifier character m ("3" Alt, "5" Ctrl).
constexpr int32_t ledit_key_mod(char m, char d, char x)
{
    return (static_cast<int32_t>(m) << 24) | (static_cast<int32_t>(d) << 16) | 0x1b00 | static_cast<unsigned char>(x);
}
// ESC x: Alt-x.
constexpr int32_t ledit_key_alt(char x)
{
    return 0x1c00 | static_cast<unsigned char>(x);
}

enum : int32_t {
    LEDIT_KEY_NONE      = 0,  // an unknown sequence: ignored
    LEDIT_KEY_BACKSPACE = 8,
    LEDIT_KEY_TAB       = 9,
    LEDIT_KEY_DEL       = 127,  // becomes LEDIT_KEY_BACKSPACE
    LEDIT_KEY_UP        = 0x1b41,
    LEDIT_KEY_DOWN      = 0x1b42,
    LEDIT_KEY_RIGHT     = 0x1b43,
    LEDIT_KEY_LEFT      = 0x1b44,
    LEDIT_KEY_HOME      = ledit_key_tilde('1'),
    LEDIT_KEY_INSERT    = ledit_key_tilde('2'),
    LEDIT_KEY_DELETE    = ledit_key_tilde('3'),
    LEDIT_KEY_END       = ledit_key_tilde('4'),
    LEDIT_KEY_PGUP      = ledit_key_tilde('5'),
    LEDIT_KEY_PGDN      = ledit_key_tilde('6'),
    // The Alt forms; the Ctrl forms normalise to them.
    LEDIT_KEY_ALT_UP        = ledit_key_mod('3', '1', 'A'),
    LEDIT_KEY_ALT_DOWN      = ledit_key_mod('3', '1', 'B'),
    LEDIT_KEY_ALT_RIGHT     = ledit_key_mod('3', '1', 'C'),
    LEDIT_KEY_ALT_LEFT      = ledit_key_mod('3', '1', 'D'),
    LEDIT_KEY_ALT_END       = ledit_key_mod('3', '1', 'F'),
    LEDIT_KEY_ALT_HOME      = ledit_key_mod('3', '1', 'H'),
    LEDIT_KEY_ALT_DELETE    = ledit_key_mod('3', '3', '~'),
    LEDIT_KEY_ALT_BACKSPACE = 0x1c7f,
    LEDIT_KEY_F1            = 0x4f1b50,
    LEDIT_KEY_F2            = 0x4f1b51,
    LEDIT_KEY_F3            = 0x4f1b52,
    LEDIT_KEY_F4            = 0x4f1b53,
    LEDIT_KEY_END_OF_INPUT  = -1,  // the source ended inside the sequence
};

// Decodes the sequence after one ESC byte, reading what it needs from src.
// ESC ESC starts an Alt sequence: the key after it, in its Alt form. Bytes of
// a longer control sequence than the forms above (parameters, intermediates)
// are consumed up to its final byte, so none of them is typed as text; such
// a sequence gives LEDIT_KEY_NONE. The code is normalised.
int32_t ledit_decode_key(ledit_byte_source src, void *arg);

// DEL to Backspace; ESC [ H, ESC [ F (and ESC O H, ESC O F) to Home and End;
// ESC O A-D to the Ctrl (that is Alt) arrows; ESC [ [ A-D to F1-F4; the
// Ctrl modifier to the Alt one.
int32_t ledit_key_normalize(int32_t code);
