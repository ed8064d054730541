#include "nerivane/export/DevChecks.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

// The bytes and permission bits of a file.
std::pair<std::string, mode_t> contents(const std::string& path) {
    const FileState state = fileState(path);
    return {state.bytes, state.mode & 07777};
}

// NERIVANE_DEV_LOG through a link is refused and the file it reaches stays
// as it was; a file of the user's own is appended to and narrowed to 0600.
TEST(DevChecks, TheLogIsAppendedToAndNeverReachedThroughALink) {
    TempFolder folder;
    const std::string text = folder.path("notes.txt"), link = folder.path("dev.log"), own = folder.path("own.log");
    for (const std::string& path : {text, own}) {
        std::ofstream(path) << "old line\n";
        ::chmod(path.c_str(), 0644);
    }
    ASSERT_EQ(::symlink(text.c_str(), link.c_str()), 0);
    EXPECT_EQ(DevChecks::open(link), nullptr);
    EXPECT_EQ(contents(text), std::pair(std::string("old line\n"), mode_t{0644}));

    auto checks = DevChecks::open(own, {[] { return std::nullopt; }, [] { return 1; }, [] { return 1; }});
    ASSERT_NE(checks, nullptr);
    checks->write("new line");
    checks->flush();
    checks.reset();
    const auto [bytes, mode] = contents(own);
    EXPECT_EQ(bytes.rfind("old line\n", 0), 0u) << bytes;
    EXPECT_NE(bytes.find("new line\n"), std::string::npos);
    EXPECT_EQ(mode, mode_t{0600});
}

}  // namespace
}  // namespace nerivane
