// Nested "source" on a thread with a session's stack: the depth limit holds
// without overflowing it, and a level keeps little of its stack while the
// next one runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "libpal/os/os_thread.h"
#include "sh_fixture.h"

using namespace std::string_literals;

namespace {

// Runs line on a new thread of the default stack size, as every TCP session
// and pipe session runs; its output.
std::string run_on_session_thread(const std::string &line)
{
    struct job {
        std::string line;
        std::string out;
    } j{line, {}};
    os_thread *t = os_thread_init(
        "nest_test",
        [](void *arg) {
            auto *jp = static_cast<job *>(arg);
            sh_capture sh;
            jp->out = sh.run(jp->line);
            jp->out += sh.run("echo after");
            return 0;
        },
        &j, 0);
    EXPECT_NE(t, nullptr);
    if (t != nullptr) {
        EXPECT_EQ(os_thread_wait(t, -1, nullptr), 0);
        os_thread_release(t);
    }
    return j.out;
}

std::vector<uintptr_t> g_marks;

// Notes where the stack of the level that runs it is.
int cmd_stack_mark(sh_ctx *, int, char **)
{
    g_marks.push_back(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    return 0;
}

const sh_cmd k_mark_cmds[] = {
    {"stack_mark", cmd_stack_mark, nullptr, "Note the stack address"},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

class ShellNesting : public ::testing::Test {
protected:
    static void SetUpTestSuite() { libsh_init(); }
    scratch_dir dir;
};

TEST_F(ShellNesting, SixteenLevelsRunAndTheNextIsRefusedOnASessionStack)
{
    for (const auto &c : k_nesting_cases) {
        const auto [first, refused] = nesting_files(dir, c);
        const std::string out = run_on_session_thread("source " + first);
        expect_nesting_output(out, c, refused);
        EXPECT_NE(out.find("after\n\0"s), std::string::npos) << c.name;
    }
}

// A level keeps its lines off the stack: sixteen of them take a small part
// of a session's 256 KiB, whatever the build. The measure goes to the
// test's output.
TEST_F(ShellNesting, SixteenLevelsTakeLittleOfTheSessionStack)
{
    const std::string self = dir.path + "/mark.sh";
    std::ofstream(self) << "stack_mark\nsource " << self << "\n";
    libsh_set_app_cmds(k_mark_cmds);
    g_marks.clear();
    run_on_session_thread("source " + self);
    libsh_set_app_cmds(nullptr);
    ASSERT_EQ(g_marks.size(), 16u);
    const uintptr_t used = g_marks.front() - g_marks.back();
    std::printf("stack per nesting level: %zu bytes; 15 levels: %zu of %d bytes\n", used / 15, used,
                OS_THREAD_STACK_SIZE);
    RecordProperty("bytes_per_level", static_cast<int>(used / 15));
    EXPECT_LT(used, static_cast<uintptr_t>(OS_THREAD_STACK_SIZE / 4));
}
