// The library's error-record call: records the failure with the call site,
// so a caller's message points at where the connect or handshake failed. A
// null record is allowed (nothing recorded).
#pragma once

#include "libpal/basic/verr.h"

#define NET_VERR(rec, code, ...) verr_set((rec), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)
