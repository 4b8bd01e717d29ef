#include "libpal/os/os_sys_text.h"

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "libpal/memory/mem_init.h"
#include "libpal/string/str_num.h"

TEST(OsSysText, ProcessorCountAndText)
{
    const int n = os_cpu_count();
    EXPECT_GE(n, 1);
    EXPECT_EQ(n, static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
    const char *text = os_cpu_info_str();
    EXPECT_EQ(std::string(text), "unkown cpu [" + std::to_string(n) + " Core]");
    EXPECT_EQ(os_cpu_info_str(), text);
}

TEST(OsSysText, MemoryTextFromTheRecordedPageFacts)
{
    mem_init();
    // The system's own answers, asked here rather than read back from mem_init.
    const long page = sysconf(_SC_PAGESIZE);
    const long pages = sysconf(_SC_PHYS_PAGES);
    ASSERT_GT(page, 0);
    ASSERT_GT(pages, 0);
    const uint64_t total = static_cast<uint64_t>(page) * static_cast<uint64_t>(pages);
    EXPECT_EQ(mem_page_size(), page);
    EXPECT_EQ(mem_total(), total);
    const std::string want = std::string(str_size_fmt_static(total, 0)) + " PS=" + std::to_string(page);
    EXPECT_EQ(std::string(os_mem_info_str()), want);
    EXPECT_GT(mem_total(), 0u);
}
