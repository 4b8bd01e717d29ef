// Device lister: the text that describes the machine's block devices, one
// group of "dev[%d].key=[value]" lines per device (name, len, ssize, model).
// The shell's show-value "block" and the NBD export list read it. Only
// block-special nodes with a size are listed (symbolic links and other
// nodes are never opened), and the registered virtual devices; each path once.
#pragma once

#include <cstdint>

struct str_buf;

// The listing being built: the next index and the text so far.
struct lsblk_state {
    uint32_t index;
    str_buf *sb;
};

// Every block device under "/dev", then "/dev/ram", "/dev/pmem" and the
// virtual devices (vdev.h) in their registered order. A new
// text (os_free), empty when there is none; nullptr when memory runs out.
char *lsblk_list();
// Walks directory recursively. 0, or -1 when it cannot be opened.
int lsblk_dir(lsblk_state *state, const char *directory);
// 1 when path was added, else 0.
int check_and_add(lsblk_state *state, const char *path);

// The drop list: "|"-separated patterns (any case) whose devices are left
// out. Both return 0.
int lsblk_filt_add(const char *patterns);
int lsblk_filt_free();
