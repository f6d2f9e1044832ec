#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/child_process.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;

// Another process loads the shipped library from a sandbox bin/: start-up
// finds its own file there, makes bin/../Logs and loads the message library.
TEST(LibraryLoad, StartUpInAnotherProcessUsesTheLibrarysOwnPath) {
    Sandbox sandbox;
    sandbox.InstallSharedLibrary();
    ASSERT_FALSE(Exists(sandbox.logs));
    struct Case {
        std::string id, size, expected;
    };
    const Case cases[] = {
        {"256", "260", "result=0 text=General\n"},
        {"264", "5", "result=0 text=Crit\n"},
        {"9999", "260", "result=-1 text=\n"},
        {"256", "1", "result=-1 text=\n"},  // no room for a character is no bad argument
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        fs::path output = sandbox.root / ("child" + std::to_string(run++) + ".txt");
        ChildProcess child = StartLogChild(sandbox, "load-string", {c.id, c.size}, output);
        ASSERT_TRUE(child.started());
        EXPECT_EQ(child.Wait(), 0);
        std::vector<std::uint8_t> text = ReadBytes(output);
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        EXPECT_EQ(std::string(text.begin(), text.end()), c.expected);
    }
    EXPECT_TRUE(fs::is_directory(sandbox.logs));
    EXPECT_FALSE(Exists(sandbox.root / "Logs" / "activity.log")) << "start-up writes no record";
}

}  // namespace
