// The status-file protocol: progress, final lines, torn reads, cancel.
#include <gtest/gtest.h>

#include "app/starter/protocol/status.h"
#include "tests/app/support.h"

TEST(StatusFile, ParsesProgressLines) {
    StatusLine s = parseStatus("42.500000,36,84,8,0");
    EXPECT_EQ(s.kind, StatusKind::Progress);
    EXPECT_DOUBLE_EQ(s.percent, 42.5);
    EXPECT_EQ(s.lowest, 36);
    EXPECT_EQ(s.highest, 84);
    EXPECT_EQ(parseStatus("100.000001,128,-1,8,0").percent, 100);
}

TEST(StatusFile, ParsesFinalLines) {
    StatusLine ok = parseStatus("100,48,79,-3,1");
    EXPECT_EQ(ok.kind, StatusKind::Success);
    EXPECT_EQ(ok.keySignature, -3);
    EXPECT_EQ(ok.mode, 1);
    StatusLine failed = parseStatus("-5.022,128,-1,8,0");
    EXPECT_EQ(failed.kind, StatusKind::Failure);
    EXPECT_EQ(failed.code, 5);
    EXPECT_EQ(failed.detail, 22);
    StatusLine cancelled = parseStatus("-1.000,60,72,8,0");
    EXPECT_EQ(cancelled.kind, StatusKind::Failure);
    EXPECT_EQ(cancelled.code, 1);
    EXPECT_EQ(cancelled.detail, 0);
    EXPECT_EQ(parseStatus("-7.024,128,-1,8,0").detail, 24);
}

TEST(StatusFile, ParsesControlValues) {
    EXPECT_EQ(parseStatus("0").kind, StatusKind::Control);
    EXPECT_EQ(parseStatus("-1\n").control, -1);
}

TEST(StatusFile, EveryTornPrefixIsUnknownOrHarmless) {
    for (std::string line : {"42.500000,36,84,8,0", "100,48,79,-3,1", "-5.022,128,-1,8,0"}) {
        for (size_t n = 0; n < line.size(); ++n) {
            StatusLine s = parseStatus(line.substr(0, n));
            // A torn line is never taken for a final line or for a cancel request.
            EXPECT_FALSE(isFinal(s.kind)) << line.substr(0, n);
            EXPECT_FALSE(s.kind == StatusKind::Control && s.control == -1) << line.substr(0, n);
            if (s.kind == StatusKind::Progress)
                ADD_FAILURE() << "torn progress accepted: " << line.substr(0, n);
        }
    }
    EXPECT_EQ(parseStatus("").kind, StatusKind::Unknown);
    EXPECT_EQ(parseStatus("42.5,36,84,8").kind, StatusKind::Unknown);
    EXPECT_EQ(parseStatus("abc,1,2,8,0").kind, StatusKind::Unknown);
    EXPECT_EQ(parseStatus("42.5,36,84,9,0").kind, StatusKind::Unknown);
}

TEST(StatusFile, CancelWritesMinusOneOverProgressOnly) {
    ScratchDir dir;
    std::string path = dir.path + "status";
    EXPECT_FALSE(requestCancel(path));  // missing: the engine is already cancelling
    writeText(path, "12.000000,60,72,8,0");
    EXPECT_TRUE(requestCancel(path));
    EXPECT_EQ(parseStatus(fileText(path)).control, -1);
    writeText(path, "-1.000,60,72,8,0");
    EXPECT_FALSE(requestCancel(path));  // the final line stays
    EXPECT_EQ(fileText(path), "-1.000,60,72,8,0");
    writeText(path, "100,60,72,0,0");
    EXPECT_FALSE(requestCancel(path));
    writeText(path, "");
    EXPECT_TRUE(requestCancel(path));   // met empty: the engine is between its two steps
    EXPECT_EQ(folderEntries(dir.path), std::vector<std::string>{"status"});
}

TEST(StatusFile, ReadsMissingFilesAsUnknown) {
    EXPECT_EQ(readStatus("/nonexistent/status").kind, StatusKind::Unknown);
}
