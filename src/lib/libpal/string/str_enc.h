// Text encodings, one header each: base64, hexadecimal, percent-encoding,
// escapes, Unicode conversion and the name checks. This header gathers them
// for callers that use several.
#pragma once

#include "libpal/string/str_base64.h"
#include "libpal/string/str_check.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_hex.h"
#include "libpal/string/str_uri.h"
#include "libpal/string/str_utf.h"
