#include "libpal/basic/os_thread_name.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "liblog/log2.h"
#include "libpal/basic/os_malloc.h"
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

TEST(ThreadName, NamesAreSetAndReadAgainAfterExitsWhileInUse)
{
    constexpr int k_users = 4;
    std::atomic<bool> stop{false};
    std::atomic<int> named_after{0};
    std::mutex seen_mu;
    std::vector<std::pair<std::string, std::string>> seen;  // name, thread id
    std::vector<std::thread> users;
    for (int i = 0; i < k_users; i++) {
        users.emplace_back([&] {
            char buf[128];
            while (!stop) {
                os_thread_name_set("worker");
                os_thread_name_get(buf, sizeof(buf));
                os_thread_name_del();
            }
            // The registry is made again on first use after the storm.
            if (os_thread_name_set("after") == 0) {
                std::lock_guard<std::mutex> lk(seen_mu);
                seen.emplace_back(name_get(), tid_text());
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
    // Checked here: the C++ library's regex is not safe to build on many threads at once.
    for (const auto &[name, tid] : seen) {
        if (std::regex_match(name, std::regex("after_[0-9a-f]{4}_" + tid)))
            named_after++;
    }
    EXPECT_EQ(named_after.load(), k_users);
    ASSERT_EQ(os_thread_name_set("main"), 0);
    EXPECT_TRUE(std::regex_match(name_get(), std::regex("main_[0-9a-f]{4}_" + tid_text()))) << name_get();
    os_thread_name_del();
    os_thread_name_exit();
}

namespace {

// An allocation hook that, armed for one thread, holds that thread inside
// the allocation for a while, reports the failure as the default hook does
// (a log line) and fails it.
std::atomic<pid_t> g_armed_tid{0};
std::atomic<bool> g_inside{false};

void *slow_failing_malloc(size_t size)
{
    if (g_armed_tid.load() != 0 && g_armed_tid.load() == gettid()) {
        g_armed_tid = 0;
        g_inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        log2_printf(nullptr, LOG2_ERR, "pal", __FILE__, __LINE__, __func__, "size=%zu malloc failed\n", size);
        return nullptr;
    }
    return malloc(size);
}

void *plain_realloc(void *p, size_t size)
{
    return realloc(p, size == 0 ? 1 : size);
}

}  // namespace

TEST(ThreadName, FailedAllocationInsideTheRegistryLogsWithoutDeadlock)
{
    ASSERT_EQ(os_thread_name_init(), 0);
    const uint32_t flags = LOG2_DEFAULT_FLAGS | LOG2_FLAG_TID_NAME;
    log2_ioctl(nullptr, LOG2_CMD_FLAGS, reinterpret_cast<const void *>(static_cast<intptr_t>(flags)), -1);
    const pl_malloc_proc saved_m = g_malloc_proc;
    const pl_realloc_proc saved_r = g_realloc_proc;
    const pl_free_proc saved_f = g_free_proc;
    pl_malloc_init(slow_failing_malloc, plain_realloc, free);

    // A names itself and its allocation fails inside the registry; B logs
    // meanwhile, and its line needs B's name from the registry.
    std::atomic<int> done{0};
    std::atomic<int> set_rc{99};
    auto *a = new std::thread([&] {
        g_armed_tid = gettid();
        set_rc = os_thread_name_set("victim");
        done++;
    });
    auto *b = new std::thread([&] {
        while (!g_inside.load())
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        log2_printf(nullptr, LOG2_ERR, "pal", __FILE__, __LINE__, __func__, "logged while the registry is busy\n");
        done++;
    });
    for (int i = 0; i < 500 && done.load() < 2; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool finished = done.load() == 2;
    if (finished) {
        a->join();
        b->join();
        delete a;
        delete b;
    } else {
        a->detach();  // left blocked: a deadlock cannot be undone
        b->detach();
    }
    pl_malloc_init(saved_m, saved_r, saved_f);
    log2_ioctl(nullptr, LOG2_CMD_FLAGS, reinterpret_cast<const void *>(static_cast<intptr_t>(LOG2_DEFAULT_FLAGS)), -1);
    ASSERT_TRUE(finished) << "the registry and the logger wait for each other";
    EXPECT_EQ(set_rc.load(), -1) << "a name that could not be stored is reported";
}
