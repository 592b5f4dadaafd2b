#include "os/nft_runner.h"

#include <gtest/gtest.h>

#include <string>

#include "os/files.h"
#include "os/paths.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

// The runner is exercised with ordinary programs standing in for nft.
TEST(NftCommand, TheScriptReachesTheChildAndItsVerdictComesBack) {
    test::TempDir dir;
    const std::string received = JoinPath(dir.path(), "received");
    std::string script;
    for (int i = 0; i < 20000; ++i)
        script += "add rule inet velmora input accept # " + std::to_string(i) + "\n";

    // The runner appends nft's own arguments, which the stand-ins ignore.
    std::string error;
    ASSERT_TRUE(
        NftCommand({"/bin/sh", "-c", "tee \"$0\" >/dev/null", received}).apply(script, error))
        << error;
    std::string text;
    ASSERT_TRUE(ReadFileText(received, text));
    EXPECT_EQ(text, script);

    EXPECT_FALSE(NftCommand({"/bin/sh", "-c",
                             "cat >/dev/null; echo; echo '/dev/stdin:3:1-5: Error: syntax error' "
                             ">&2; echo second line >&2; exit 1"})
                     .apply(script, error));
    EXPECT_EQ(error, "nft failed: /dev/stdin:3:1-5: Error: syntax error");

    // A child that says a lot before failing must not hang the caller.
    EXPECT_FALSE(NftCommand({"/bin/sh", "-c", "head -c 1000000 /dev/zero | tr '\\0' x; exit 3"})
                     .apply("", error));
    EXPECT_EQ(error.substr(0, 16), "nft failed: xxxx");

    EXPECT_FALSE(NftCommand({"/bin/false"}).apply("", error));
    EXPECT_EQ(error, "nft failed: exit status 1");
    EXPECT_FALSE(NftCommand({"/nonexistent/nft"}).apply("", error));
    EXPECT_EQ(error, "posix_spawn(/nonexistent/nft) failed: No such file or directory (errno 2)");
}

}  // namespace
}  // namespace vel
