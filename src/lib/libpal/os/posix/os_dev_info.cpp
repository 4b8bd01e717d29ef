// Device descriptions from /sys/class/block/NAME/device/{model,serial}.
#include "libpal/os/posix/os_dev_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "libpal/basic/pl_nothrow.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr std::string_view kMemoryDevices[] = {"/dev/mem", "/dev/pmem", "/dev/ram"};

// One attribute file's text without surrounding white space; empty when absent.
std::string read_attr(const std::string &file)
{
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::array<char, 256> buf;
    ssize_t n = read(fd, buf.data(), buf.size() - 1);
    close(fd);
    if (n <= 0)
        return {};
    std::string_view text(buf.data(), static_cast<size_t>(n));
    while (!text.empty() && isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return std::string(text);
}

// The kernel's name of the block device at path ("sda"), empty for anything else.
std::string block_name(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISBLK(st.st_mode))
        return {};
    std::array<char, 64> link;
    snprintf(link.data(), link.size(), "/sys/dev/block/%u:%u", major(st.st_rdev), minor(st.st_rdev));
    std::array<char, PATH_MAX> target;
    if (!realpath(link.data(), target.data()))
        return {};
    const char *base = strrchr(target.data(), '/');
    return base ? std::string(base + 1) : std::string();
}

}  // namespace

int os_dev_desc(char *out, size_t size, const char *path) noexcept
{
    return pl_nothrow<int>(-1, [&]() -> int {
        if (!out || size == 0)
            return 0;
        out[0] = '\0';
        if (!path)
            return 0;
        std::string name = block_name(path);
        if (name.empty())
            return 0;
        std::string dir = "/sys/class/block/" + name + "/device/";
        std::string model = read_attr(dir + "model");
        std::string serial = read_attr(dir + "serial");
        str_safecopy2(out, size, model.c_str());
        if (!serial.empty())
            strcat_printf(out, size, "|%s", serial.c_str());
        return 0;
    });
}

int os_dev_info(void *, char *out, size_t size, const char *path) noexcept
{
    if (out && size > 0 && path) {
        for (std::string_view mem : kMemoryDevices) {
            if (mem == path) {
                str_safecopy(out, size, "PhysicalMemory");
                return 0;
            }
        }
    }
    return os_dev_desc(out, size, path);
}

int os_dev_get_attr(const char *, const char *, char *, size_t)
{
    return 0;
}
