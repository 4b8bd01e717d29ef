#include "libpal/memory/mem_init.h"

#include <unistd.h>

#include <atomic>

#define ZLOG_TAG "pal"
#include "liblog/zlog.h"

namespace {

// Every page size the system runs with is at least this; it stands in when
// the query fails.
constexpr int k_default_page_size = 4096;

std::atomic<int> s_page_size{0};
std::atomic<uint64_t> s_mem_total{0};

}  // namespace

int mem_init()
{
    long ps = sysconf(_SC_PAGESIZE);
    if (ps <= 0) {
        ZLOG_WARN("call to sysconf() for _SC_PAGESIZE has failed...\n");
        ps = k_default_page_size;
    }
    s_page_size.store(static_cast<int>(ps));
    ZLOG_VERB("pagesize=%d\n", static_cast<int>(ps));
    s_mem_total.store(os_get_mem_total());
    return 0;
}

int mem_page_size()
{
    return s_page_size.load();
}

uint64_t mem_total()
{
    return s_mem_total.load();
}

uint64_t os_get_mem_total()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long ps = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || ps <= 0) {
        return 0;
    }
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(ps);
}
