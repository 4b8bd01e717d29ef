#include "libsh/sh_getopt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sh_fixture.h"

namespace {

struct parsed {
    std::string opts;   // option characters, each ':' followed by its argument
    std::vector<std::string> rest;
};

parsed parse(sh_ctx *ctx, std::vector<std::string> args, const char *optstring)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    sh_getopt_reset(&ctx->opt);
    parsed p;
    int c;
    while ((c = sh_getopt(ctx, argc, argv.data(), optstring)) != -1) {
        p.opts += static_cast<char>(c);
        if (ctx->opt.optarg != nullptr)
            p.opts += std::string(":") + ctx->opt.optarg;
    }
    for (int i = ctx->opt.optind; i < argc; i++)
        p.rest.emplace_back(argv[static_cast<size_t>(i)]);
    return p;
}

}  // namespace

TEST(ShGetopt, PermutesAndParsesLikeGnu)
{
    sh_capture s;
    struct {
        std::vector<std::string> args;
        const char *optstring;
        std::string opts;
        std::vector<std::string> rest;
    } const cases[] = {
        {{"cmd", "x", "-a", "y", "-b"}, "ab", "ab", {"x", "y"}},
        {{"cmd", "-ab", "x"}, "ab", "ab", {"x"}},
        {{"cmd", "-a", "--", "-b"}, "ab", "a", {"-b"}},
        {{"cmd", "x", "--", "-b"}, "ab", "", {"x", "-b"}},
        {{"cmd", "-ofile", "-o", "f2", "x"}, "o:", "o:fileo:f2", {"x"}},
        {{"cmd", "-z", "x"}, "a", "?", {"x"}},
        {{"cmd", "-o"}, ":o:", ":", {}},
        {{"cmd", "x", "-a"}, "+a", "", {"x", "-a"}},
        {{"cmd", "x", "-a"}, "-a", std::string("\1:x") + "a", {}},
        {{"cmd", "-", "-a"}, "a", "a", {"-"}},
    };
    for (const auto &c : cases) {
        parsed p = parse(&s.ctx, c.args, c.optstring);
        EXPECT_EQ(p.opts, c.opts) << c.args[1] << " " << c.optstring;
        EXPECT_EQ(p.rest, c.rest) << c.args[1] << " " << c.optstring;
    }
    EXPECT_EQ(s.out, "cmd: invalid option -- 'z'\n");
}
