// An export name's parameters: the one place that judges them. The block
// layer's own ("alg", "key", "flags", "sector_size", "sector_off", "vol_idx"
// and the three time-outs) are read and checked before anything is opened;
// once a driver is chosen, any parameter that is neither the layer's nor one
// the driver declares refuses the open. Used by bd_open. Refusals return -1
// with code -2 and the reason in the caller's verr; a key never appears in one.
#pragma once

#include <cstdint>

#include "libpal/basic/verr.h"

struct bd_drv;

// The largest "vol_idx": the partition readers keep at most this many volumes.
constexpr int32_t BD_VOL_IDX_MAX = 1024;

// What an export name asks for, read from its resolved URL before anything is
// opened: the open's first step, kept apart from doing. Parameters are read
// only when the URL has a "?".
struct bd_open_args {
    uint64_t flags;        // the caller's, with the name's "flags" added
    uint32_t sector_size;  // 512 without a query; 0 (the medium's) when not named
    int32_t vol_idx;       // 0: the whole medium
    int64_t sector_off;    // in sectors, >= 0
    uint8_t readonly;      // the access the flags give
    uint8_t sync;          // "flags" holds "sync": each write on stable storage before it returns
    char alg[16];          // a known cipher name, or empty
    uint8_t key[64];       // the decoded "key"; zero when absent
};

// 0, or -1 with the reason in err (the texts bd_open reports). Refused: a
// parameter of the block layer named twice, a "key" without a non-empty
// "alg", an empty "alg", any value outside its range, and "flags" holding
// "direct" (requests go through the page cache). A "flags" value holding
// "readonly" gives read-only, whatever other words it holds.
// Requires: bd_open_args_wipe on out once it is done with, whatever the result.
int bd_open_args_parse(const char *url, uint64_t flags, bd_open_args *out, verr *err);
void bd_open_args_wipe(bd_open_args *args);

// 0 unless name names a parameter of the block layer more than once (-1, the
// reason in err). Judged on the name as the client sent it: resolving a name
// folds identical items into one. bd_open_args_parse judges its URL as well.
int bd_open_args_check_repeats(const char *name, verr *err);

// 0 when every parameter of url is the block layer's or one drv declares
// (bd_drv::params); else -1 naming the first other one, or an item without
// "=" (the query readers stop there, so what follows would go unread).
int bd_open_args_check_names(const char *url, const bd_drv *drv, verr *err);

// The name the volume lookup opens: url as it is, its query without the
// parameters that work inside a volume's window ("alg", "key", "sector_off",
// "vol_idx"), so that the partition readers see the medium as stored. The
// "?" stays, so the medium's sector size is judged as for url. out:
// URL_BUF_SIZE bytes. 0, or -1 with the reason in err.
int bd_open_args_medium_name(const char *url, char *out, verr *err);
