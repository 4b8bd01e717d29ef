#include "libsh/sh_alias.h"

#include <gtest/gtest.h>


#include "sh_fixture.h"

using namespace std::string_literals;


TEST(AliasHash, FirstByteShiftedPlusTheSumModulo39)
{
    EXPECT_EQ(alias_hash(""), 0u);
    EXPECT_EQ(alias_hash("a"), (97u * 16 + 97) % 39);
    EXPECT_EQ(alias_hash("sc"), (115u * 16 + 115 + 99) % 39);
    EXPECT_EQ(alias_hash("\xff"), (255u * 16 + 255) % 39);
}

TEST_F(Shell, AliasListsTheDefaultsInBucketOrder)
{
    // Buckets 1, 5, 6, 10, 11, 26, 27, 32, 35 and 36; a value in single
    // quotes, which the shell's words do not group: typed back, a value with
    // a blank needs double quotes.
    EXPECT_EQ(sh.run("alias"), "e='exit'\n"
                               "s='show'\n"
                               "c='call'\n"
                               "q='quit'\n"
                               "a='alias'\n"
                               "sc='show config'\n"
                               "sd='show dvar'\n"
                               "si='show info'\n"
                               "sl='show llog'\n"
                               "sm='show memory'\n\0"s);
    EXPECT_EQ(sh.run("a sc"), "sc='show config'\n\0"s);
}

TEST_F(Shell, AliasDefineLookUpReplaceAndDelete)
{
    alias_reset reset;
    int rc = 0;
    EXPECT_EQ(sh.run("alias \"hi=echo hello there\"", &rc), "\0"s);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(sh.run("hi"), "hello there\n\0"s);
    EXPECT_EQ(sh.run("hi world"), "hello there world\n\0"s);
    EXPECT_EQ(sh.run("alias =x", &rc), "=x not found\n\0"s);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(sh.run("alias nope hi", &rc), "nope not found\nhi='echo hello there'\n\0"s);
    EXPECT_EQ(rc, 1);
    // An alias value is not expanded again.
    sh.run("alias loop=loop");
    EXPECT_EQ(sh.run("loop", &rc), "command not found: [loop]\nType `help` to learn how to use prompt\n\0"s);

    // Redefining keeps the entry's place in its chain.
    std::string before = sh.run("alias");
    sh.run("alias s=echo");
    std::string after = sh.run("alias");
    EXPECT_EQ(after.find("s='echo'\n"), before.find("s='show'\n"));

    EXPECT_EQ(sh.run("unalias nope hi", &rc), "nope not found\n\0"s);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(sh.run("alias hi", &rc), "hi not found\n\0"s);
    EXPECT_EQ(sh.run("alias -h", &rc), "alias [name[=value] ...]\nDefine or display alias\n\t-h Display this help\n\0"s);
    EXPECT_EQ(rc, 0);
}

TEST_F(Shell, UnaliasAllLeavesNothingEvenAfterANonOption)
{
    alias_reset reset;
    int rc = 1;
    // GNU argument permutation finds "-a" after the name.
    EXPECT_EQ(sh.run("unalias sc -a", &rc), "\0"s);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(sh.run("alias"), "\0"s);
    EXPECT_EQ(sh.run("sc", &rc), "command not found: [sc]\nType `help` to learn how to use prompt\n\0"s);
    EXPECT_EQ(rc, -12);
}

TEST_F(Shell, PosixlyCorrectStopsOptionsAtTheFirstName)
{
    alias_reset reset;
    sh.run("POSIXLY_CORRECT=1");
    int rc = 0;
    EXPECT_EQ(sh.run("unalias sc -a", &rc), "-a not found\n\0"s);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(sh.run("alias si"), "si='show info'\n\0"s);
    sh.run("unset POSIXLY_CORRECT");
}
