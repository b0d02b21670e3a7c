// How the engine is started: what it receives from the starter and what it does not.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/starter/protocol/engine_process.h"
#include "tests/app/support.h"

// A descriptor the starter holds open (a server's client connection, an upload being written) is
// not handed to the engine, even when it was opened without close-on-exec.
TEST(EngineProcess, TheEngineGetsNoDescriptorOfTheStartersButItsStandardOnes) {
    ScratchDir dir;
    std::string engine = dir.path + "list-descriptors", listing = dir.path + "descriptors";
    writeText(engine, "#!/bin/sh\nls /proc/$$/fd > " + listing + "\n");
    ASSERT_EQ(chmod(engine.c_str(), 0755), 0);
    int opened = open("/dev/null", O_RDONLY);
    ASSERT_GE(opened, 0);
    int held = fcntl(opened, F_DUPFD, 200);  // above any the shell opens for itself; no close-on-exec
    close(opened);
    ASSERT_GE(held, 200);
    pid_t pid = 0;
    std::string error;
    bool started = startEngine(engine, dir.path + "settings", dir.path + "status", pid, error);
    close(held);
    ASSERT_TRUE(started) << error;
    bool signalled = false;
    EXPECT_EQ(waitProcess(pid, signalled), 0);
    std::string fds = "\n" + fileText(listing);
    for (const char *standard : {"\n0\n", "\n1\n", "\n2\n"})
        EXPECT_NE(fds.find(standard), std::string::npos) << fds;
    EXPECT_EQ(fds.find("\n" + std::to_string(held) + "\n"), std::string::npos) << fds;
}
