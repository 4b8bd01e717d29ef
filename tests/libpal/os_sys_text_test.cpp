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
    const std::string want =
        std::string(str_size_fmt_static(mem_total(), 0)) + " PS=" + std::to_string(mem_page_size());
    EXPECT_EQ(std::string(os_mem_info_str()), want);
    EXPECT_GT(mem_total(), 0u);
}
