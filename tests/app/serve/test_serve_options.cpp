// The options of sonoscriptor serve: what each takes, and what it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/starter/serve/options.h"

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
