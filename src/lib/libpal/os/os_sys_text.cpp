// Processor count and the processor and memory texts.
#include "libpal/os/os_sys_text.h"

#include <unistd.h>

#include <string>

#include "libpal/memory/mem_init.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr size_t k_cpu_text_size = 256;
constexpr size_t k_mem_text_size = 128;

int cpu_count_query()
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n <= 0)
        n = sysconf(_SC_NPROCESSORS_CONF);
    return n > 0 ? static_cast<int>(n) : 1;
}

std::string cpu_text()
{
    char text[k_cpu_text_size];
    str_sprintf_s(text, sizeof(text), "unkown cpu [%u Core]", static_cast<unsigned>(os_cpu_count()));
    return text;
}

}  // namespace

int os_cpu_count()
{
    static const int count = cpu_count_query();
    return count;
}

const char *os_cpu_info_str()
{
    static const std::string text = cpu_text();
    return text.c_str();
}

const char *os_mem_info_str()
{
    thread_local char text[k_mem_text_size];
    str_sprintf_s(text, sizeof(text), "%s PS=%u", str_size_fmt_static(mem_total(), 0),
                  static_cast<unsigned>(mem_page_size()));
    return text;
}
