// `mivra selftest` as the real program runs it: no pack, no engine, no network.
#include <gtest/gtest.h>

#include "cli/run_child.h"

TEST(Selftest, PassesQuietlyAndIgnoresArguments) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{program_path("mivra"), "selftest"},
          std::vector<std::string>{program_path("mivra"), "selftest", "--port", "nonsense", "extra"}}) {
        const child_result r = run_child(args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "selftest: ok\n");
        EXPECT_EQ(r.out, "");
    }
}
