#include <string>

#include <gtest/gtest.h>

#include "../libpal/os_file_fixture.h"

#include "libpal/basic/os_malloc.h"
#include "liblsblk/lsblk.h"
#include "libvdev/vdev.h"

namespace {

std::string listing()
{
    char *text = lsblk_list();
    std::string s = text != nullptr ? text : "";
    os_free(text);
    return s;
}

class LsblkVdev : public temp_dir_test {
protected:
    void TearDown() override
    {
        vdev_exit();
        temp_dir_test::TearDown();
    }
};

// The virtual devices follow the machine's devices, in their registered
// order, each with its size and sector size, and each once.
TEST_F(LsblkVdev, VirtualDevicesAreListedAfterTheMachinesOwn)
{
    std::string desc = make_file("vdev.json", R"({"dev": [)"
                                              R"({"name": "/vdev/one", "type": "zero", "size": "1M"},)"
                                              R"({"name": "/vdev/two", "type": "bad_zero", "size": 8192,)"
                                              R"( "sector_bytes": 4096, "bad_sector_ranges": ["0-1"]}]})");
    vdev_init(desc.c_str());
    // The machine's own devices may change meanwhile (other tests attach
    // loop devices): they are whatever this listing holds before the first
    // virtual one.
    std::string after = listing();
    const size_t first = after.find("].name=[/vdev/one]\n");
    ASSERT_NE(first, std::string::npos) << after;
    const size_t machine_end = after.rfind("dev[", first);
    ASSERT_NE(machine_end, std::string::npos);
    const std::string machine = after.substr(0, machine_end);
    EXPECT_EQ(machine.find("/vdev/"), std::string::npos) << "the machine's devices come first";
    size_t n = 0;
    for (size_t at = 0; (at = machine.find("].name=[", at)) != std::string::npos; at++)
        n++;
    std::string tail = after.substr(machine_end);
    std::string want = "dev[" + std::to_string(n) + "].name=[/vdev/one]\n" + "dev[" + std::to_string(n) +
                       "].len=[1048576]\n" + "dev[" + std::to_string(n) + "].ssize=[512]\n" + "dev[" +
                       std::to_string(n + 1) + "].name=[/vdev/two]\n" + "dev[" + std::to_string(n + 1) +
                       "].len=[8192]\n" + "dev[" + std::to_string(n + 1) + "].ssize=[4096]\n";
    EXPECT_EQ(tail, want);

    vdev_exit();
    EXPECT_EQ(listing().find("/vdev/"), std::string::npos);
}

}  // namespace
