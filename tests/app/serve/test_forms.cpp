// Uploads' names and option fields: nothing a client sends becomes a path, and
// the fields make the plan the command makes from the same options.
#include <gtest/gtest.h>

#include "app/starter/serve/forms.h"

TEST(ServeForms, UploadNamesAreShownNeverUsedAsPaths) {
    EXPECT_EQ(displayName("../../etc/passwd"), "passwd");
    EXPECT_EQ(displayName("C:\\music\\song.wav"), "song.wav");
    EXPECT_EQ(displayName("a\nb\x7f.wav"), "ab.wav");
    EXPECT_EQ(displayName(""), "recording");
    EXPECT_EQ(displayName("x/.."), "recording");
    EXPECT_EQ(jobPaths("/d/", "../Song.FLAC").input, "/d/recording.flac");
    EXPECT_EQ(jobPaths("/d/", "run.sh").input, "/d/recording");
    EXPECT_EQ(jobPaths("/d/", "x.wav").notes, "/d/notes.json");
}

TEST(ServeForms, FieldsMakeTheCommandsPlan) {
    JobPaths paths = jobPaths("/d/", "take.wav");
    RunPlan plan;
    std::string error;
    ASSERT_TRUE(planFromForm({{"tempo", "66"}, {"quantize", "on"}, {"key", ""}, {"raw", "off"}}, paths, "take",
                             std::string(SOURCE_DIR) + "/data/", "/bin/engine", plan, error)) << error;
    ASSERT_EQ(plan.files.size(), 1u);
    EXPECT_EQ(plan.files[0].input, "/d/recording.wav");
    EXPECT_EQ(plan.files[0].output, "/d/result.mid");
    EXPECT_EQ(plan.files[0].scoreOutput, "/d/result.musicxml");
    EXPECT_EQ(plan.files[0].notesOutput, "/d/notes.json");
    EXPECT_EQ(plan.files[0].title, "take");
    EXPECT_EQ(plan.tempoChoice, TempoChoice::Given);
    EXPECT_DOUBLE_EQ(plan.tempo, 66);
    EXPECT_TRUE(plan.quantize);
    EXPECT_FALSE(plan.raw);
    EXPECT_TRUE(plan.key.detect);
    EXPECT_EQ(plan.enginePath, "/bin/engine");
}

// An empty switch field, as every empty field, leaves the default: off.
TEST(ServeForms, AnEmptySwitchLeavesItsDefault) {
    JobPaths paths = jobPaths("/d/", "take.wav");
    RunPlan plan;
    std::string error;
    ASSERT_TRUE(planFromForm({{"raw", ""}, {"quantize", ""}, {"scale-only", ""}, {"key", "C"}}, paths, "take",
                             std::string(SOURCE_DIR) + "/data/", "/bin/engine", plan, error)) << error;
    EXPECT_FALSE(plan.raw);
    EXPECT_FALSE(plan.quantize);
    EXPECT_FALSE(plan.key.constrained);
    ASSERT_TRUE(planFromForm({{"raw", "On"}}, paths, "take", std::string(SOURCE_DIR) + "/data/", "/bin/engine", plan,
                             error)) << error;
    EXPECT_TRUE(plan.raw);
}

TEST(ServeForms, FieldsThatNameFilesOrShapeTheRunAreRefused) {
    JobPaths paths = jobPaths("/d/", "take.wav");
    for (const char *name : {"settings", "tempo-map", "output", "o", "musicxml", "notes", "set", "engine",
                             "keep-engine-files", "jobs", "format", "force", "audio2"}) {
        RunPlan plan;
        std::string error;
        EXPECT_FALSE(planFromForm({{name, "/etc/passwd"}}, paths, "", std::string(SOURCE_DIR) + "/data/", "", plan,
                                  error)) << name;
        EXPECT_NE(error.find("not an option the server takes"), std::string::npos) << error;
    }
    RunPlan plan;
    std::string error;
    EXPECT_FALSE(planFromForm({{"raw", "maybe"}}, paths, "", std::string(SOURCE_DIR) + "/data/", "", plan, error));
    for (const char *value : {"--settings", "--", "66 -o /tmp/x.mid"})
        EXPECT_FALSE(planFromForm({{"key", value}}, paths, "", std::string(SOURCE_DIR) + "/data/", "", plan, error))
            << value;
    ASSERT_TRUE(planFromForm({{"transpose", "-3"}}, paths, "", std::string(SOURCE_DIR) + "/data/", "", plan, error));
    EXPECT_EQ(plan.files.size(), 1u);
    ASSERT_TRUE(planFromForm({{"tuning", "442"}}, paths, "", std::string(SOURCE_DIR) + "/data/", "", plan, error));
    EXPECT_EQ(plan.engine.ReferencePitch, 442);
    EXPECT_FALSE(planFromForm({{"tuning", "432"}}, paths, "", std::string(SOURCE_DIR) + "/data/", "", plan, error));
    EXPECT_NE(error.find("--tuning takes the frequency of A4 in Hz, a whole number from 435 to 445."),
              std::string::npos) << error;
}
