#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../libpal/os_file_fixture.h"

#include "libpal/os/os_file.h"
#include "libvdev/vdev.h"

namespace {

class VdevThreads : public temp_dir_test {
protected:
    void TearDown() override
    {
        vdev_exit();
        temp_dir_test::TearDown();
    }
};

// Every file open asks the registry through the hook: opens and listings on
// other threads while a description loads, and opens while vdev_exit runs
// (names from vdev_name_at are only valid until then), see whole records or
// none.
TEST_F(VdevThreads, OpensAndListingsRaceLoadingAndExit)
{
    constexpr int kDevices = 200;
    std::string json = R"({"dev": [)";
    for (int i = 0; i < kDevices; i++)
        json += std::string(i ? "," : "") + R"({"name": "/vdev/t)" + std::to_string(i) +
                R"(", "type": "bad_zero", "size": 4096, "bad_sector_ranges": ["1-1"]})";
    json += "]}";
    std::string desc = make_file("vdev.json", json);
    vdev_init(nullptr);
    std::atomic<bool> done{false};
    std::atomic<bool> listing{true};
    std::atomic<int> quiet{0};  // readers that have stopped listing
    std::atomic<int> served{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; t++) {
        readers.emplace_back([&, t] {
            std::vector<char> buf(512);
            bool lists = true;
            while (!done.load()) {
                if (lists && !listing.load()) {
                    lists = false;
                    quiet++;
                }
                std::string name = "/vdev/t" + std::to_string((t * 37 + served.load()) % kDevices);
                if (os_file_ctx *f = os_file_open(name.c_str(), OS_PF_RDONLY)) {
                    EXPECT_EQ(os_file_pread(f, buf.data(), 512, 0), 512);
                    EXPECT_EQ(os_file_pread(f, buf.data(), 512, 512), -1);
                    os_file_close(f);
                    served++;
                }
                for (int i = 0; lists && vdev_name_at(i) != nullptr; i++)
                    EXPECT_EQ(std::string(vdev_name_at(i)).rfind("/vdev/t", 0), 0u);
            }
        });
    }
    // Both waits share one deadline far above what a loaded machine needs;
    // the readers are stopped and joined whatever the waits saw.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const auto wait_until = [&](const auto &reached) {
        while (!reached() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return reached();
    };
    EXPECT_EQ(vdev_init_form_file(desc.c_str()), 0);
    EXPECT_TRUE(wait_until([&] { return served.load() >= 100; })) << "opens served: " << served.load();
    listing = false;
    EXPECT_TRUE(wait_until([&] { return quiet.load() == static_cast<int>(readers.size()); }));
    vdev_exit();
    done = true;
    for (auto &r : readers)
        r.join();
    EXPECT_EQ(vdev_name_at(0), nullptr);
}

}  // namespace
