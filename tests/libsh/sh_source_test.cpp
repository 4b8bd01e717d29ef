// "source": every line of every file runs, failures included; nesting stops
// at a fixed depth with one message.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>

#include "sh_fixture.h"
#include "../libpal/tool_files.h"

using namespace std::string_literals;

namespace {

struct script {
    std::string path;
    explicit script(const std::string &text)
    {
        char t[] = "/tmp/sh_source_XXXXXX";
        int fd = mkstemp(t);
        close(fd);
        path = t;
        std::ofstream(path) << text;
    }
    ~script() { unlink(path.c_str()); }
};

}  // namespace

TEST_F(Shell, SourceRunsEveryLineOfEveryFile)
{
    script first("echo one\n\n   \nnosuch\necho two\n");
    script second("echo three\n");
    int rc = 1;
    std::string out = sh.run("source " + first.path + " " + second.path, &rc);
    EXPECT_EQ(rc, 0);
    // One reply: what every line of both files printed, then one end mark.
    EXPECT_EQ(out, "one\n"s + "command not found: [nosuch]\nType `help` to learn how to use prompt\n"s +
                       "two\nthree\n\0"s);

    const tool_dir dir;
    const std::string missing = dir.path() + "/missing";
    out = sh.run("source " + missing + " " + second.path, &rc);
    EXPECT_EQ(out, "open:[" + missing + "] error:No such file or directory\n\0"s);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(sh.run("source", &rc).rfind("source [opt] [file]...\nExec commands from file\n-h: Display this help\n", 0), 0u);
    EXPECT_EQ(rc, 1);
}

TEST_F(Shell, SourceOfItselfStopsAtSixteenLevels)
{
    script self("");
    std::ofstream(self.path) << "echo level\nsource " << self.path << "\n";
    int rc = 0;
    std::string out = sh.run("source " + self.path, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(count_of(out, "level\n"), 16u);
    EXPECT_EQ(count_of(out, "nested deeper than 16"), 1u);
    EXPECT_NE(out.find(self.path), std::string::npos);
    // The session goes on.
    EXPECT_EQ(sh.run("echo after"), "after\n\0"s);
}

TEST_F(Shell, SourceRefusesAnOverlongLineAndRunsTheRest)
{
    script s("echo " + std::string(5000, 'x') + "\necho next\n");
    std::string out = sh.run("source " + s.path);
    EXPECT_EQ(out.find("xxx"), std::string::npos);
    EXPECT_NE(out.find("error: command line too long"), std::string::npos);
    EXPECT_NE(out.find("next\n"), std::string::npos);
}
