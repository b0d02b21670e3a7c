// MIDI file header area: the documented byte layouts, the body left intact,
// and every failure while the header area is written.
#include "tests/midi/midi_fixture.h"

namespace {

std::string headerArea(const std::string &division, const std::string &length, const std::string &timeSignature,
                       const std::string &tempo, const std::string &key, const std::string &program) {
    std::string h = "MThd" + bytesOf({0, 0, 0, 6, 0, 0, 0, 1}) + division + "MTrk" + length;
    h += bytesOf({0x00, 0xFF, 0x58, 0x04}) + timeSignature + bytesOf({0x18, 0x08});
    h += bytesOf({0x00, 0xFF, 0x51, 0x03}) + tempo;
    h += bytesOf({0x00, 0xFF, 0x59, 0x02}) + key;
    h += bytesOf({0x00, 0xFF, 0x01, 0x30}) + "Created by Sonoscriptor Music Recognition System";
    h += bytesOf({0x00}) + program;
    return h;
}

class HeaderTest : public MidiOutputTest {
protected:
    // Reserves the header area, writes `body` through the byte writer, then
    // the header; returns the whole file.
    std::string writeFileWithBody(const std::string &body) {
        std::fwrite(std::string(MidiHeaderSize, ' ').data(), 1, MidiHeaderSize, writer.midi);
        resetWriter();
        for (unsigned char b : body) writeByte(b);
        writeMidiHeader();
        std::fclose(writer.midi);
        writer.midi = nullptr;
        return readFile(path);
    }
};

TEST_F(HeaderTest, DefaultSettingsWithOnlyTheEndOfTrack) {
    const std::string body = bytesOf({0x00, 0xFF, 0x2F, 0x00});
    std::string file = writeFileWithBody(body);
    ASSERT_EQ(file.size(), 102u);
    EXPECT_EQ(hexBytes(file.substr(0, 98)),
              hexBytes(headerArea(bytesOf({0x00, 0x60}), bytesOf({0x00, 0x00, 0x00, 0x50}), bytesOf({4, 2}),
                                  bytesOf({0x07, 0xA1, 0x20}), bytesOf({0x00, 0x00}), bytesOf({0xC0, 0x00}))));
    EXPECT_EQ(file.substr(98), body);
}

TEST_F(HeaderTest, SixEightExampleWithAThousandBodyBytes) {
    setTimeBase(4.0f, 3, 6, 97.0, 150.0f);
    settings.KeySignature = -3;
    settings.MajorMinor = 1;
    settings.Channel = 9;  // Channel 10 after the set-up
    settings.Patch = 40;
    std::string body;
    for (int i = 0; i < 1000; ++i) body.push_back(static_cast<char>(i * 7));
    std::string file = writeFileWithBody(body);
    ASSERT_EQ(file.size(), 1098u);
    EXPECT_EQ(hexBytes(file.substr(0, 98)),
              hexBytes(headerArea(bytesOf({0x00, 0x90}), bytesOf({0x00, 0x00, 0x04, 0x34}), bytesOf({6, 3}),
                                  bytesOf({0x09, 0x70, 0x3C}), bytesOf({0xFD, 0x01}), bytesOf({0xC9, 0x28}))));
    EXPECT_EQ(file.substr(98), body) << "the body behind the header area is untouched";
}

TEST_F(HeaderTest, KeySignatureAndTimeSignatureBytes) {
    const struct {
        int keySignature, majorMinor, numerator, denominator;
        std::string key, timeSignature;
    } cases[] = {
        {8, 0, 3, 3, bytesOf({0x00, 0x00}), bytesOf({3, 3})},
        {-7, 1, 4, 2, bytesOf({0xF9, 0x01}), bytesOf({4, 2})},
        {7, 0, 99, 0, bytesOf({0x07, 0x00}), bytesOf({99, 0})},
        {0, 1, 2, 1, bytesOf({0x00, 0x01}), bytesOf({2, 1})},
    };
    for (const auto &c : cases) {
        setTimeBase(3.0f, c.denominator, c.numerator, 120.0, 100.0f);
        settings.KeySignature = c.keySignature;
        settings.MajorMinor = c.majorMinor;
        if (!writer.midi) writer.midi = std::fopen(path.c_str(), "wb");
        std::string file = writeFileWithBody(bytesOf({0x00, 0xFF, 0x2F, 0x00}));
        EXPECT_EQ(hexBytes(file.substr(26, 2)), hexBytes(c.timeSignature)) << "numerator " << c.numerator;
        EXPECT_EQ(hexBytes(file.substr(41, 2)), hexBytes(c.key)) << "key signature " << c.keySignature;
    }
}

TEST_F(HeaderTest, DivisionAndTempoComeFromTheSharedTimeBase) {
    // An uneven tempo: the division is rounded and the tempo keeps the exact
    // ticks per second.
    setTimeBase(3.0f, 2, 4, 97.3, 133.0f);
    double b;
    int64_t c, t;
    midiTimeBase(b, c, t);
    EXPECT_EQ(c, 128);  // 96 x 1.33 = 127.68
    EXPECT_EQ(t, static_cast<int64_t>(128 * 1000000.0 / b / (97.3 / 60)));
    std::string file = writeFileWithBody(bytesOf({0x00, 0xFF, 0x2F, 0x00}));
    EXPECT_EQ(hexBytes(file.substr(12, 2)), hexBytes(bytesOf({0x00, 0x80})));
    EXPECT_EQ(hexBytes(file.substr(34, 3)),
              hexBytes(bytesOf({static_cast<int>(t >> 16), static_cast<int>((t >> 8) & 0xFF),
                                static_cast<int>(t & 0xFF)})));
}

// A failure while the header area is written ends the run with code 5, the
// detail of the failing write, and no output.
class HeaderFailureTest : public MidiOutputTest {
protected:
    FailingSink sink{0};

    // The placeholder and a 4-byte body pass; the sink then fails once
    // `limit` bytes have been written in all.
    void prepare(size_t limit, bool canSeek = true, bool buffered = false) {
        std::fclose(writer.midi);
        writeFile(path, "partial output");
        sink.limit = limit;
        sink.canSeek = canSeek;
        writer.midi = openFailingStream(sink, buffered);
        ASSERT_NE(writer.midi, nullptr);
    }

    // Writes the placeholder, the body and the header. (Everything happens in
    // the dying process: streams are flushed before it is forked.)
    static void writeAll() {
        std::fwrite(std::string(MidiHeaderSize, ' ').data(), 1, MidiHeaderSize, writer.midi);
        resetWriter();
        for (int b : {0x00, 0xFF, 0x2F, 0x00}) writeByte(b);
        writeMidiHeader();
    }

    void expectEndsWith(const std::string &firstField) {
        EXPECT_EXIT(writeAll(), ::testing::ExitedWithCode(5), "");
        EXPECT_FALSE(fileExists(path));
        std::string status = readFile(run.statusPath);
        EXPECT_EQ(status.substr(0, status.find(',') + 1), firstField + ",") << status;
    }
};

TEST_F(HeaderFailureTest, HeaderChunkTypeFails) {
    prepare(102);
    expectEndsWith("-5.019");
}

TEST_F(HeaderFailureTest, HeaderChunkTypeFailsInPart) {
    prepare(104);
    expectEndsWith("-5.019");
}

TEST_F(HeaderFailureTest, HeaderByteFails) {
    prepare(102 + 4 + 8);  // "MThd" and the six header bytes pass, the division fails
    expectEndsWith("-5.022");
}

TEST_F(HeaderFailureTest, TrackChunkTypeFails) {
    prepare(102 + 14);
    expectEndsWith("-5.020");
}

TEST_F(HeaderFailureTest, TextFails) {
    prepare(102 + 14 + 4 + 4 + 8 + 7 + 6 + 4);
    expectEndsWith("-5.035");
}

TEST_F(HeaderFailureTest, ProgramChangeFails) {
    prepare(102 + 95);
    expectEndsWith("-5.022");
}

TEST_F(HeaderFailureTest, SeekBackToTheHeaderFails) {
    prepare(100000, false);
    expectEndsWith("-5.022");
}

TEST_F(HeaderFailureTest, FlushBeforeTheHeaderFails) {
    prepare(50, true, true);  // buffered: everything so far waits in the stream
    expectEndsWith("-5.022");
}

}  // namespace
