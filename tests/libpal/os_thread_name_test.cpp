#include "libpal/basic/os_thread_name.h"

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/os_sync.h"

namespace {

std::string name_get()
{
    char buf[256];
    return os_thread_name_get(buf, sizeof(buf));
}

std::string tid_text()
{
    return std::to_string(os_thread_id());
}

}  // namespace

TEST(ThreadName, NamedThreadShowsNameTagAndId)
{
    std::thread([] {
        ASSERT_EQ(os_thread_name_set("name"), 0);
        EXPECT_TRUE(std::regex_match(name_get(), std::regex("name_[0-9a-f]{4}_" + tid_text())))
            << name_get();
        // Renaming replaces the entry.
        ASSERT_EQ(os_thread_name_set("other"), 0);
        EXPECT_TRUE(std::regex_match(name_get(), std::regex("other_[0-9a-f]{4}_" + tid_text())))
            << name_get();
        EXPECT_EQ(os_thread_name_del(), 0);
        EXPECT_EQ(name_get(), tid_text());
    }).join();
}

TEST(ThreadName, UnnamedThreadShowsItsIdAlone)
{
    EXPECT_EQ(os_thread_name_init(), 0);
    std::string got;
    std::string want;
    std::thread([&] {
        got = name_get();
        want = tid_text();
    }).join();
    EXPECT_EQ(got, want);
}

TEST(ThreadName, NamesAreKeptPerThread)
{
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    std::vector<std::string> got(4);
    std::vector<std::string> tids(4);
    for (int i = 0; i < 4; i++) {
        threads.emplace_back([&, i] {
            os_thread_name_set(("t" + std::to_string(i)).c_str());
            ready++;
            while (!go)
                std::this_thread::yield();
            got[i] = name_get();
            tids[i] = tid_text();
            os_thread_name_del();
        });
    }
    while (ready < 4)
        std::this_thread::yield();
    go = true;
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < 4; i++)
        EXPECT_TRUE(std::regex_match(got[i], std::regex("t" + std::to_string(i) + "_[0-9a-f]{4}_" + tids[i])))
            << got[i];
}

TEST(ThreadName, SmallBufferIsCutAndTooLongNameEmptiesTheName)
{
    std::thread([] {
        ASSERT_EQ(os_thread_name_set("abc"), 0);
        char small[4];
        EXPECT_STREQ(os_thread_name_get(small, sizeof(small)), "abc");
        // "<name>_<tag>" does not fit its 64 bytes: the registered name is empty.
        ASSERT_EQ(os_thread_name_set(std::string(60, 'n').c_str()), 0);
        EXPECT_EQ(name_get(), "_" + tid_text());
        EXPECT_EQ(os_thread_name_set(nullptr), -1);
        os_thread_name_del();
    }).join();
}

TEST(ThreadName, ExitTwiceThenUseAgain)
{
    std::thread([] {
        ASSERT_EQ(os_thread_name_set("before"), 0);
        os_thread_name_exit();
        os_thread_name_exit();
        EXPECT_EQ(name_get(), tid_text()) << "the registry was emptied";
        EXPECT_EQ(os_thread_name_del(), 0);
        ASSERT_EQ(os_thread_name_set("after"), 0);
        EXPECT_TRUE(std::regex_match(name_get(), std::regex("after_[0-9a-f]{4}_" + tid_text())));
        os_thread_name_del();
    }).join();
}

TEST(ThreadName, ExitWhileOtherThreadsUseTheRegistry)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> users;
    for (int i = 0; i < 4; i++) {
        users.emplace_back([&] {
            char buf[128];
            while (!stop) {
                os_thread_name_set("worker");
                os_thread_name_get(buf, sizeof(buf));
                os_thread_name_del();
            }
        });
    }
    for (int i = 0; i < 200; i++) {
        os_thread_name_exit();
        std::this_thread::yield();
    }
    stop = true;
    for (auto &t : users)
        t.join();
    os_thread_name_exit();
}
