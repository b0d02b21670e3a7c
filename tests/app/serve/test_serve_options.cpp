// The options of sonoscriptor serve: what each takes, and what it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/starter/serve/options.h"
#include "tests/app/support.h"

TEST(ServeOptions, TheLimitOfUploadsIsAPositiveCountOfBytes) {
    ServeOptions o;
    std::string error;
    ASSERT_TRUE(parseServeOptions({"--max-upload", "5000"}, o, error)) << error;
    EXPECT_EQ(o.maxUpload, 5000u);
    // Read as unsigned, -1 would be the largest count there is: no limit at all.
    for (const char *refused : {"-1", "-5000", "0"}) {
        ServeOptions r;
        EXPECT_FALSE(parseServeOptions({"--max-upload", refused}, r, error)) << refused;
        EXPECT_NE(error.find("--max-upload"), std::string::npos) << error;
        EXPECT_EQ(r.maxUpload, DefaultMaxUpload) << refused;
    }
}

TEST(ServeOptions, ARequestNamesThisMachineByLocalhostOrALoopbackNumber) {
    // Every loopback address a server may listen on answers the page it prints (--host 127.0.0.2).
    for (const char *host : {"127.0.0.1:8765", "127.0.0.1", "127.0.0.2:40000", "127.255.255.254", "localhost:8765",
                             "localhost", "[::1]:8765", "[::1]"})
        EXPECT_TRUE(hostNamesThisMachine(host)) << host;
    // A name is another site's, even one that reads like a loopback number (DNS rebinding).
    for (const char *host : {"attacker.example:8765", "127.0.0.1.attacker.example", "127.evil.example:80",
                             "localhost.attacker.example", "10.0.0.1:8765", "128.0.0.1", "[::2]:8765", "[::1",
                             "127.1", ""})
        EXPECT_FALSE(hostNamesThisMachine(host)) << host;
}

TEST(ServeOptions, TheWebPageDocumentDescribesEveryOptionOfTheHelp) {
    std::string doc = fileText(std::string(SOURCE_DIR) + "/docs/web.md");
    std::vector<std::string> options = helpOptions(serveHelp(), "^  (?:-\\w,)?(--[a-z-]+)");
    EXPECT_GT(options.size(), 5u) << "the help's option lines were not found";
    for (const std::string &name : options) {
        if (name == "--help")
            continue;
        EXPECT_NE(doc.find(name + " "), std::string::npos) << name << " is not in docs/web.md";
    }
}
