// Volume information.
#define ZLOG_TAG "pal"

#include "libpal/os/posix/os_info.h"

#include <mntent.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "libpal/env/pl_assert.h"
#include "libpal/os/os_path.h"
#include "libpal/string/path.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_safe.h"

namespace {

struct fs_type_row {
    uint64_t key;
    const char *name;
};

// Keyed by the kernel's file-system magic numbers, ascending.
constexpr fs_type_row kFsTypes[] = {
    {0x2F, "QNX4"},           {0x187, "AUTOFS"},        {0x137F, "MINIX"},        {0x138F, "MINIX"},
    {0x1CD1, "DEVPTS"},       {0x2468, "MINIX2"},       {0x2478, "MINIX2"},       {0x3434, "NILFS"},
    {0x4D44, "MSDOS"},        {0x4D5A, "MINIX3"},       {0x517B, "SMB"},          {0x564C, "NCP"},
    {0x6969, "NFS"},          {0x72B6, "JFFS2"},        {0x9660, "ISOFS"},        {0x9FA0, "PROC"},
    {0x9FA1, "OPENPROM"},     {0x9FA2, "USBDEVICE"},    {0xADF5, "ADFS"},         {0xADFF, "AFFS"},
    {0xEF53, "EXT4"},         {0xF15F, "ECRYPTFS"},     {0x27E0EB, "CGROUP"},     {0x414A53, "EFS"},
    {0xC0FFEE, "HOSTFS"},     {0x1021994, "TMPFS"},     {0x1021997, "V9FS"},      {0x7655821, "RDTGROUP"},
    {0x9041934, "ANON"},      {0xBAD1DEA, "FUTEXFS"},   {0x11307854, "MTD"},      {0x13661366, "BALLOON"},
    {0x15013346, "UDF"},      {0x28CD3D45, "CRAMFS"},   {0x42494E4D, "BINFMTFS"}, {0x43415D53, "SMACK"},
    {0x453DCD28, "CRAMFS"},   {0x50495045, "PIPEFS"},   {0x52654973, "REISERFS"}, {0x5346414F, "AFS"},
    {0x534F434B, "SOCKFS"},   {0x57AC6E9D, "STACK"},    {0x58295829, "ZSMALLOC"}, {0x5A3C69F0, "AAFS"},
    {0x6165676C, "PSTOREFS"}, {0x62646576, "BDEVFS"},   {0x62656572, "SYSFS"},    {0x63677270, "CGROUP2"},
    {0x64626720, "DEBUGFS"},  {0x64646178, "DAXFS"},    {0x65735546, "VMHGFS-FUSE"}, {0x68191122, "QNX6"},
    {0x6B414653, "AFS"},      {0x6E736673, "NSFS"},     {0x73636673, "SECURITYFS"}, {0x73717368, "SQUASHFS"},
    {0x73727279, "BTRFS"},    {0x73757245, "CODA"},     {0x7461636F, "OCFS2"},    {0x74726163, "TRACEFS"},
    {0x794C7630, "OVERLAYFS"}, {0x858458F6, "RAMFS"},   {0x9123683E, "BTRFS"},    {0x958458F6, "HUGETLBFS"},
    {0xABBA1974, "XENFS"},    {0xCAFE4A11, "BPF"},      {0xDE5E81E4, "EFIVARFS"}, {0xF2F52010, "F2FS"},
    {0xF97CFF8C, "SELINUX"},  {0xF995E849, "HPFS"},
};
static_assert(std::size(kFsTypes) == 70);
static_assert(std::is_sorted(std::begin(kFsTypes), std::end(kFsTypes),
                             [](const fs_type_row &a, const fs_type_row &b) { return a.key < b.key; }));

// True when dir is path itself or one of its ancestors (component-wise).
bool is_under(const char *path, const char *dir)
{
    size_t n = strlen(dir);
    if (strncmp(path, dir, n) != 0)
        return false;
    if (n > 0 && dir[n - 1] == '/')
        return true;
    return path[n] == '\0' || path[n] == '/';
}

}  // namespace

int os_get_info(char *out, size_t size)
{
    PL_ASSERT_RET(out && size > 0, -1);
    out[0] = '\0';
    utsname u;
    if (uname(&u) != 0) {
        ZLOG(uint32_t{LOG2_DBG} | LOG2_F_ERRNO, "uname error: ");
        return -1;
    }
    // A description only: what does not fit is cut.
    str_sprintf_s2(out, size, "%s %s %s %s %s %s", u.sysname, u.nodename, u.release, u.version, u.machine, "");
    return 0;
}

const char *os_get_arch()
{
    static char arch[16];
    static std::atomic<bool> filled{false};
    static std::mutex fill_lock;
    if (filled.load(std::memory_order_acquire))
        return arch;
    std::lock_guard<std::mutex> guard(fill_lock);
    if (!filled.load(std::memory_order_relaxed)) {
        utsname u;
        if (uname(&u) != 0) {
            ZLOG(uint32_t{LOG2_DBG} | LOG2_F_ERRNO, "uname error: ");
            return "unkown";
        }
        str_safecopy2(arch, sizeof(arch), pl_glob_match("i??6", u.machine, false, false) ? "x86" : u.machine);
        filled.store(true, std::memory_order_release);
    }
    return arch;
}

const char *os_get_os_name()
{
    return "unkown linux";
}

int os_statvfs(const char *path, os_statvfs_info *out)
{
    PL_ASSERT_RET(out, -1);
    std::array<char, PL_MAX_PATH> p;
    if (!os_path_prepare(path, p.data()))
        return -1;
    struct statvfs vfs;
    if (statvfs(p.data(), &vfs) != 0)
        return -1;
    *out = {vfs.f_bsize, vfs.f_frsize, vfs.f_blocks, vfs.f_bfree, vfs.f_bavail, vfs.f_files,
            vfs.f_ffree, vfs.f_favail, vfs.f_fsid, vfs.f_flag, vfs.f_namemax};
    return 0;
}

const char *os_fs_type(uint64_t type)
{
    auto it = std::lower_bound(std::begin(kFsTypes), std::end(kFsTypes), type,
                               [](const fs_type_row &row, uint64_t key) { return row.key < key; });
    if (it != std::end(kFsTypes) && it->key == type)
        return it->name;
    ZLOG_VERB("unkown fs_type=0x%x\n", static_cast<unsigned>(type));
    return "UNKOWN";
}

int os_mount_point(const char *path, char *out)
{
    PL_ASSERT_RET(path && out, -1);
    std::array<char, PL_MAX_PATH> parent;
    os_path_existing_parent(path, parent.data());
    str_safecopy(out, PL_MAX_PATH, parent.data());
    // Linux's statfs names no mount point: the longest entry of the mount table
    // that is an ancestor of the resolved path is the one.
    std::array<char, PL_MAX_PATH> real;
    if (!realpath(parent.data(), real.data()))
        return -1;
    FILE *mounts = setmntent("/proc/self/mounts", "re");
    if (!mounts)
        return -1;
    std::array<char, PL_MAX_PATH> best{};
    size_t best_len = 0;
    mntent entry;
    std::array<char, 3 * PL_MAX_PATH> strings;
    while (getmntent_r(mounts, &entry, strings.data(), static_cast<int>(strings.size()))) {
        size_t len = strlen(entry.mnt_dir);
        if (len >= best_len && is_under(real.data(), entry.mnt_dir) &&
            str_safecopy(best.data(), best.size(), entry.mnt_dir) == 0)
            best_len = len;
    }
    endmntent(mounts);
    if (best_len == 0) {
        errno = ENOENT;
        return -1;
    }
    str_safecopy(out, PL_MAX_PATH, best.data());
    return 0;
}

int os_get_vol_info(const char *path, os_vol_info *out)
{
    PL_ASSERT_RET(path && out, -1);
    std::array<char, PL_MAX_PATH> mpath;
    if (os_mount_point(path, mpath.data()) != 0)
        return -1;
    ZLOG_DBG("path=[%s] mpath=[%s]\n", path, mpath.data());
    struct statfs fs;
    if (statfs(mpath.data(), &fs) != 0)
        return -1;
    uint64_t bsize = static_cast<uint64_t>(fs.f_bsize);
    *out = {};
    out->status = 0;
    out->reserved = 255;
    out->avail = static_cast<uint64_t>(fs.f_bavail) * bsize;
    out->free = static_cast<uint64_t>(fs.f_bfree) * bsize;
    out->total = static_cast<uint64_t>(fs.f_blocks) * bsize;
    str_safecopy2(out->fs_type, sizeof(out->fs_type), os_fs_type(static_cast<uint64_t>(fs.f_type)));
    return 0;
}

double os_usage_percent(os_vol_info *info)
{
    if (info == nullptr || info->total == 0)
        return 0;
    info->avail = std::min(info->avail, info->total);
    return static_cast<double>(info->total - info->avail) / static_cast<double>(info->total) * 100.0;
}
