// The parts of quorvel that need no device: reading WAV headers as the module will, option
// values, UTF-16 paths and the terminal picture.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "view/live_view.h"
#include "system/module_path.h"
#include "cli/device_options.h"
#include "cli/option_values.h"
#include "cli/text.h"
#include "media/wav_check.h"

namespace quorvel::host {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutId(Bytes& out, const char* id) {
    out.insert(out.end(), id, id + 4);
}

Bytes Chunk(const char* id, const Bytes& body) {
    Bytes chunk;
    PutId(chunk, id);
    Put(chunk, static_cast<std::uint32_t>(body.size()), 4);
    chunk.insert(chunk.end(), body.begin(), body.end());
    if (body.size() % 2 != 0) chunk.push_back(0);
    return chunk;
}

struct Fmt {
    std::uint16_t tag = 1;
    std::uint16_t channels = 1;
    std::uint32_t rate = 8000;
    std::uint16_t bits = 16;
    int align = -1;  // -1: channels x bytes per sample
    long avg = -1;   // -1: rate x align
    Bytes extra;     // after the 16 basic bytes
};

Bytes FmtChunk(const Fmt& fmt) {
    const std::uint16_t align = fmt.align >= 0
                                    ? static_cast<std::uint16_t>(fmt.align)
                                    : static_cast<std::uint16_t>(fmt.channels * (fmt.bits / 8));
    Bytes body;
    Put(body, fmt.tag, 2);
    Put(body, fmt.channels, 2);
    Put(body, fmt.rate, 4);
    Put(body, fmt.avg >= 0 ? static_cast<std::uint32_t>(fmt.avg) : fmt.rate * align, 4);
    Put(body, align, 2);
    Put(body, fmt.bits, 2);
    body.insert(body.end(), fmt.extra.begin(), fmt.extra.end());
    return Chunk("fmt ", body);
}

// RIFF/WAVE around the given chunks, with a correct RIFF size.
Bytes Riff(const std::vector<Bytes>& chunks, const char* form = "WAVE") {
    Bytes body;
    PutId(body, form);
    for (const Bytes& chunk : chunks) body.insert(body.end(), chunk.begin(), chunk.end());
    Bytes file;
    PutId(file, "RIFF");
    Put(file, static_cast<std::uint32_t>(body.size()), 4);
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

Bytes Samples(std::size_t bytes) {
    Bytes data(bytes);
    for (std::size_t i = 0; i < bytes; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    return data;
}

// The cbSize, valid bits, channel mask and sub-format of WAVE_FORMAT_EXTENSIBLE.
Bytes ExtensibleTail(std::uint16_t subFormat) {
    Bytes extra;
    Put(extra, 22, 2);
    Put(extra, 16, 2);
    Put(extra, 4, 4);
    Put(extra, subFormat, 2);
    for (const std::uint8_t b :
         {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}) {
        extra.push_back(b);
    }
    return extra;
}

class WavInspection : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvel-parts.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string Write(const std::string& name, const Bytes& bytes) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    std::string dir_;
};

TEST_F(WavInspection, RefusesWhatIsNotAPlayablePcmWavWithASentenceNamingTheFile) {
    Fmt floatFormat;
    floatFormat.tag = 3;
    floatFormat.bits = 32;
    Fmt alaw;
    alaw.tag = 6;
    alaw.bits = 8;
    Fmt extensibleFloat;
    extensibleFloat.tag = 0xFFFE;
    extensibleFloat.extra = ExtensibleTail(3);
    Fmt bits24;
    bits24.bits = 24;
    Fmt noChannels;
    noChannels.channels = 0;
    Fmt noRate;
    noRate.rate = 0;
    Fmt badAlign;
    badAlign.align = 4;
    Fmt nineChannels;
    nineChannels.channels = 9;
    Fmt tooFast;
    tooFast.rate = 400000;

    struct Case {
        const char* name;
        Bytes bytes;
        WavVerdict verdict;
        const char* phrase;
    };
    const std::string text = "This is a text file, long enough to have a 44-byte header.";
    const std::vector<Case> cases = {
        {"text.wav", Bytes(text.begin(), text.end()), WavVerdict::kNotWav, "RIFF header"},
        {"empty.wav", Bytes(), WavVerdict::kNotWav, "is empty"},
        {"avi.wav", Riff({Chunk("data", Samples(64))}, "AVI "), WavVerdict::kNotWav, "\"AVI \""},
        {"short.wav", Riff({FmtChunk({})}), WavVerdict::kNotWav, "too short"},
        {"nofmt.wav", Riff({Chunk("data", Samples(100))}), WavVerdict::kNotWav, "no fmt chunk"},
        {"float.wav", Riff({FmtChunk(floatFormat), Chunk("data", Samples(64))}),
         WavVerdict::kNotPcm, "IEEE float"},
        {"alaw.wav", Riff({FmtChunk(alaw), Chunk("data", Samples(64))}), WavVerdict::kNotPcm,
         "A-law"},
        {"extfloat.wav", Riff({FmtChunk(extensibleFloat), Chunk("data", Samples(64))}),
         WavVerdict::kNotPcm, "WAVE_FORMAT_EXTENSIBLE"},
        {"24bit.wav", Riff({FmtChunk(bits24), Chunk("data", Samples(96))}), WavVerdict::kUnplayable,
         "24 bits per sample"},
        {"mono0.wav", Riff({FmtChunk(noChannels), Chunk("data", Samples(64))}),
         WavVerdict::kUnplayable, "0 channels"},
        {"rate0.wav", Riff({FmtChunk(noRate), Chunk("data", Samples(64))}), WavVerdict::kUnplayable,
         "0 Hz"},
        {"align.wav", Riff({FmtChunk(badAlign), Chunk("data", Samples(64))}),
         WavVerdict::kUnplayable, "block align of 4"},
        {"nine.wav", Riff({FmtChunk(nineChannels), Chunk("data", Samples(72))}),
         WavVerdict::kUnplayable, "at most 8"},
        {"fast.wav", Riff({FmtChunk(tooFast), Chunk("data", Samples(64))}), WavVerdict::kUnplayable,
         "384000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Write(c.name, c.bytes);
        const WavReport report = InspectWav(path);
        EXPECT_EQ(report.verdict, c.verdict);
        EXPECT_NE(report.problem.find(c.phrase), std::string::npos) << report.problem;
        EXPECT_NE(report.problem.find("\"" + path + "\""), std::string::npos) << report.problem;
    }
}

TEST_F(WavInspection, TellsMissingFilesFoldersAndOtherKindsApart) {
    EXPECT_EQ(InspectWav(dir_ + "/none.wav").verdict, WavVerdict::kMissing);
    EXPECT_EQ(InspectWav(dir_).verdict, WavVerdict::kNotAFile);
    const std::string fifo = dir_ + "/fifo.wav";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(InspectWav(fifo).verdict, WavVerdict::kNotAFile);
}

TEST_F(WavInspection, CountsTheBlocksTheModulePlaysFromByte44) {
    struct Case {
        std::size_t dataBytes;
        std::uint64_t blocks;
    };
    // A file ending on a block boundary gets one more block, of silence; an odd data chunk's
    // pad byte is played too.
    for (const Case& c : {Case{10000, 3}, Case{8000, 3}, Case{0, 1}, Case{3999, 2}}) {
        SCOPED_TRACE(c.dataBytes);
        const WavReport report = InspectWav(
            Write("plain.wav", Riff({FmtChunk({}), Chunk("data", Samples(c.dataBytes))})));
        ASSERT_TRUE(report.Playable()) << report.problem;
        EXPECT_TRUE(report.warnings.empty()) << report.warnings.front();
        EXPECT_EQ(report.playedBytes, c.dataBytes + (c.dataBytes % 2));
        EXPECT_EQ(report.blocks, c.blocks);
        EXPECT_EQ(report.dataOffset, 44u);
        EXPECT_DOUBLE_EQ(report.PlaySeconds(), static_cast<double>(c.blocks) * 0.25);
    }
}

TEST_F(WavInspection, WarnsAboutLayoutsTheModuleMisreadsButStillPlaysThem) {
    Fmt longFmt;
    longFmt.extra = {0, 0};  // cbSize: an 18-byte fmt chunk
    Fmt extensiblePcm;
    extensiblePcm.tag = 0xFFFE;
    extensiblePcm.extra = ExtensibleTail(1);
    Fmt wrongAverage;
    wrongAverage.avg = 12345;
    Bytes claimsTooMuch = Riff({FmtChunk({}), Chunk("data", Samples(400))});
    claimsTooMuch[40] = 0xFF;  // the data chunk now claims 1023 bytes, with 400 there
    claimsTooMuch[41] = 0x03;

    struct Case {
        const char* name;
        Bytes bytes;
        std::vector<std::string> phrases;
    };
    const std::vector<Case> cases = {
        {"fmt18.wav",
         Riff({FmtChunk(longFmt), Chunk("data", Samples(400))}),
         {"start at byte 46", "data chunks"}},
        {"list.wav",
         Riff({FmtChunk({}), Chunk("LIST", Samples(26)), Chunk("fact", Samples(4)),
               Chunk("data", Samples(400))}),
         {"start at byte 90", "LIST, fact and data"}},
        {"trailing.wav",
         Riff({FmtChunk({}), Chunk("data", Samples(400)), Chunk("LIST", Samples(30))}),
         {"38 bytes after the data chunk (LIST)"}},
        {"extensible.wav",
         Riff({FmtChunk(extensiblePcm), Chunk("data", Samples(400))}),
         {"WAVE_FORMAT_EXTENSIBLE", "start at byte 68"}},
        {"avg.wav",
         Riff({FmtChunk(wrongAverage), Chunk("data", Samples(400))}),
         {"bytes per second (12345)"}},
        {"cut.wav", claimsTooMuch, {"cut short"}},
        {"nodata.wav", Riff({FmtChunk({}), Chunk("junk", Samples(400))}), {"no data chunk"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const WavReport report = InspectWav(Write(c.name, c.bytes));
        ASSERT_TRUE(report.Playable()) << report.problem;
        std::string all;
        for (const std::string& warning : report.warnings) all += warning + "\n";
        for (const std::string& phrase : c.phrases) {
            EXPECT_NE(all.find(phrase), std::string::npos) << "missing \"" << phrase << "\" in\n"
                                                           << all;
        }
        EXPECT_EQ(report.playedBytes, c.bytes.size() - 44);
    }
}

TEST_F(WavInspection, ReadsTheFormatWhereTheModuleDoesNotWhereTheFmtChunkIs) {
    // A JUNK chunk first: bytes 22..35 are JUNK's body, which here reads as stereo 44100 Hz.
    Bytes junk;
    Put(junk, 0, 2);
    Put(junk, 2, 2);
    Put(junk, 44100, 4);
    Put(junk, 176400, 4);
    Put(junk, 4, 2);
    Put(junk, 16, 2);
    const WavReport report = InspectWav(
        Write("junk.wav", Riff({Chunk("JUNK", junk), FmtChunk({}), Chunk("data", Samples(40))})));
    ASSERT_TRUE(report.Playable()) << report.problem;
    EXPECT_EQ(report.format.channels, 2);
    EXPECT_EQ(report.format.samplesPerSec, 44100u);
    EXPECT_EQ(report.format.blockAlign, 4);
    EXPECT_EQ(report.formatTag, 1);
    ASSERT_FALSE(report.warnings.empty());
    EXPECT_NE(report.warnings.front().find("fmt chunk is at byte 36"), std::string::npos)
        << report.warnings.front();
}

TEST_F(WavInspection, NamesTheRealCauseOfLayoutsTheModuleMisreads) {
    Fmt floatFormat;
    floatFormat.tag = 0xFFFE;
    floatFormat.bits = 32;
    floatFormat.extra = ExtensibleTail(3);
    Bytes rifx = Riff({FmtChunk({}), Chunk("data", Samples(40))});
    std::copy_n("RIFX", 4, rifx.begin());
    Bytes rf64 = Riff({Chunk("ds64", Bytes(28)), FmtChunk({}), Chunk("data", Samples(40))});
    std::copy_n("RF64", 4, rf64.begin());
    Bytes streamed = Riff({FmtChunk({}), Chunk("LIST", Samples(10)), Chunk("data", Samples(400))});
    std::fill_n(streamed.end() - 404, 4, 0xFF);  // the data size a streaming writer leaves
    Bytes zeroSized = Riff({FmtChunk({}), Chunk("data", Samples(400))});
    std::fill_n(zeroSized.begin() + 40, 4, 0);
    std::vector<Bytes> many = {FmtChunk({})};
    for (int i = 0; i < 5000; ++i) many.push_back(Chunk("abcd", Samples(2)));
    many.push_back(Chunk("data", Samples(400)));

    struct Case {
        const char* name;
        Bytes bytes;
        std::vector<std::string> phrases;  // in the refusal, or else in the warnings
        std::vector<std::string> absent = {};
    };
    const std::vector<Case> cases = {
        {"junk-first.wav",
         Riff({Chunk("JUNK", Bytes(28)), FmtChunk({}), Chunk("data", Samples(40))}),
         {"fmt chunk is at byte 48, after the JUNK chunk", "reads bytes 22-35 instead",
          "0 channels"}},
        {"extfloat.wav",
         Riff({FmtChunk(floatFormat), Chunk("data", Samples(64))}),
         {"WAVE_FORMAT_EXTENSIBLE with IEEE float samples"}},
        {"rifx.wav", rifx, {"big-endian RIFX"}, {"does not begin with a RIFF header"}},
        {"rf64.wav", rf64, {"RF64"}, {"does not begin with a RIFF header"}},
        {"streamed.wav", streamed, {"placeholder 0xFFFFFFFF", "400 bytes"}, {"????", "cut short"}},
        {"zero.wav",
         zeroSized,
         {"size is 0, as a writer that streams"},
         {"????", "after the data"}},
        {"many.wav", Riff(many), {"(from the 5000 abcd and data chunks)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const WavReport report = InspectWav(Write(c.name, c.bytes));
        std::string all = report.problem;
        for (const std::string& warning : report.warnings) all += "\n" + warning;
        for (const std::string& phrase : c.phrases)
            EXPECT_NE(all.find(phrase), std::string::npos) << phrase << " in\n" << all;
        for (const std::string& phrase : c.absent)
            EXPECT_EQ(all.find(phrase), std::string::npos) << phrase << " in\n" << all;
        // Each sentence stays short, however many chunks the file has.
        EXPECT_LT(report.chunks.size(), 60u) << report.chunks;
    }
    // Canonical only when the module plays exactly the samples.
    EXPECT_TRUE(InspectWav(Write("zero.wav", zeroSized)).canonical);
    EXPECT_FALSE(InspectWav(Write("streamed.wav", streamed)).canonical);
    const Bytes trailing =
        Riff({FmtChunk({}), Chunk("data", Samples(400)), Chunk("LIST", Samples(8))});
    EXPECT_FALSE(InspectWav(Write("trailing.wav", trailing)).canonical);
}

TEST(Text, JsonStringsAreValidWhateverTheNameHolds) {
    EXPECT_EQ(JsonLine("plain"), "\"plain\"");
    EXPECT_EQ(JsonLine("say \"hi\" \\ now"), "\"say \\\"hi\\\" \\\\ now\"");
    EXPECT_EQ(JsonLine("a\nb\x01\x7F"), "\"a\\nb\\u0001\x7F\"");
    EXPECT_EQ(JsonLine("caf\xC3\xA9"), "\"caf\xC3\xA9\"");              // UTF-8 kept
    EXPECT_EQ(JsonLine("\xFF!\xC3"), "\"\xEF\xBF\xBD!\xEF\xBF\xBD\"");  // not UTF-8: U+FFFD
}

TEST(OptionValues, ColoursBecomeColorRefsInBlueGreenRedOrder) {
    std::uint32_t colorref = 0;
    ASSERT_TRUE(ParseColor("#FF8000", &colorref));
    EXPECT_EQ(colorref, 0x000080FFu);
    ASSERT_TRUE(ParseColor("0a0B0c", &colorref));
    EXPECT_EQ(colorref, 0x000C0B0Au);
    for (const char* bad :
         {"", "#", "#12345", "#1234567", "#GG0000", "red", "##123456", " #123456"}) {
        EXPECT_FALSE(ParseColor(bad, &colorref)) << bad;
    }
}

TEST(OptionValues, DevicesAreParsedOrRefusedNamingTheValue) {
    DeviceOption output;
    Problem problem;
    ASSERT_TRUE(ParseDeviceOption(Direction::kOutput, "file:/tmp/a b.raw", &output, &problem));
    EXPECT_EQ(output.kind, DeviceOption::Kind::kSinkFile);
    EXPECT_EQ(output.path, "/tmp/a b.raw");
    for (const char* bad : {"file:", "speaker", "Null", ""}) {
        EXPECT_FALSE(ParseDeviceOption(Direction::kOutput, bad, &output, &problem)) << bad;
        EXPECT_EQ(problem.exitStatus, kExitUsage);
        EXPECT_NE(problem.sentence.find("\"" + std::string(bad) + "\""), std::string::npos)
            << problem.sentence;
    }
    DeviceOption input;
    ASSERT_TRUE(ParseDeviceOption(Direction::kInput, "tone:440.5", &input, &problem));
    EXPECT_EQ(input.kind, DeviceOption::Kind::kSource);
    EXPECT_EQ(input.text, "tone:440.5");
    for (const char* bad :
         {"tone:", "tone:0", "tone:-5", "tone:4001", "tone:abc", "file:", "mic"}) {
        EXPECT_FALSE(ParseDeviceOption(Direction::kInput, bad, &input, &problem)) << bad;
        EXPECT_NE(problem.sentence.find("\"" + std::string(bad) + "\""), std::string::npos)
            << problem.sentence;
    }
}

// The host's words become the services' settings text, and the services take every one of
// them: a word the table maps to a setting they refuse would fail only when a device opens.
TEST(OptionValues, DeviceWordsBecomeSettingsTheServicesAccept) {
    struct Case {
        Direction direction;
        const char* word;
        bool fast;
        const char* settings;
    };
    const std::vector<Case> cases = {
        {Direction::kOutput, "default", false, ""},
        {Direction::kOutput, "default", true, "virtual,fast"},
        {Direction::kOutput, "null", false, "virtual,realtime"},
        {Direction::kOutput, "null", true, "virtual,fast"},
        {Direction::kOutput, "fast", false, "virtual,fast"},
        {Direction::kOutput, "file:/tmp/played.raw", false,
         "virtual,realtime,sink=/tmp/played.raw"},
        {Direction::kInput, "default", false, ""},
        {Direction::kInput, "silence", true, "virtual,fast,source=silence"},
        {Direction::kInput, "tone:440", false, "virtual,realtime,source=tone:440"},
        {Direction::kInput, "tone:4000", false, "virtual,realtime,source=tone:4000"},
        {Direction::kInput, "ramp", false, "virtual,realtime,source=ramp"},
        {Direction::kInput, "file:/tmp/voice.wav", false,
         "virtual,realtime,source=file:/tmp/voice.wav"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        DeviceOption option;
        Problem problem;
        ASSERT_TRUE(ParseDeviceOption(c.direction, c.word, &option, &problem)) << problem.sentence;
        const std::string text = SettingsText(c.direction, option, c.fast, option.path);
        EXPECT_EQ(text, c.settings);
        if (text.empty()) continue;
        if (c.direction == Direction::kOutput) {
            quorvel::device::OutputSettings parsed;
            EXPECT_TRUE(quorvel::device::ParseOutputSettings(text, &parsed));
            EXPECT_STREQ(parsed.backend, "virtual");
        } else {
            quorvel::device::InputSettings parsed;
            EXPECT_TRUE(quorvel::device::ParseInputSettings(text, &parsed));
            EXPECT_STREQ(parsed.backend, "virtual");
        }
    }
    // A sound device by name goes to the backend that lists it.
    DeviceOption named;
    named.kind = DeviceOption::Kind::kSoundDevice;
    named.device = {"alsa_output.usb-stereo", "pulse"};
    EXPECT_EQ(SettingsText(Direction::kOutput, named, false, ""),
              "pulse,realtime,device=alsa_output.usb-stereo");
}

TEST(OptionValues, SecondsRoundUpToWholeQuarterSecondBlocks) {
    EXPECT_EQ(BlocksForSeconds(0.001), 1u);
    EXPECT_EQ(BlocksForSeconds(0.25), 1u);
    EXPECT_EQ(BlocksForSeconds(0.26), 2u);
    EXPECT_EQ(BlocksForSeconds(3), 12u);
    EXPECT_EQ(BlocksForSeconds(2.1), 9u);
}

TEST(ModulePaths, Utf8BecomesUtf16AndBrokenUtf8IsRefused) {
    std::u16string utf16;
    ASSERT_TRUE(Utf8ToUtf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5", &utf16));
    EXPECT_EQ(utf16, (std::u16string{u'a', 0x00E9, 0x20AC, 0xD83C, 0xDFB5}));
    for (const char* bad :
         {"\xC3", "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
        EXPECT_FALSE(Utf8ToUtf16(bad, &utf16)) << ::testing::PrintToString(bad);
    }
}

TEST(TerminalPicture, FitsTheTerminalKeepingThePanelShapeAndNeverEnlarges) {
    struct Case {
        int columns, textRows;
    };
    for (const Case& c : {Case{80, 22}, Case{200, 60}, Case{300, 200}, Case{16, 4}}) {
        const PictureSize size = FitPicture(kPanelRegion, c.columns, c.textRows);
        EXPECT_LE(size.width, c.columns);
        EXPECT_LE((size.height + 1) / 2, c.textRows);
        EXPECT_LE(size.width, kPanelRegion.width);
        EXPECT_NEAR(static_cast<double>(size.width) / size.height,
                    static_cast<double>(kPanelRegion.width) / kPanelRegion.height, 0.15);
    }
}

TEST(TerminalPicture, AOnePixelTraceSurvivesScalingDown) {
    // A 240x320 black screen with one green pixel row inside the panel.
    const int width = 240;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * 320 * 3, 0);
    const int traceRow = 101;
    for (int x = 0; x < width; ++x)
        rgb[(static_cast<std::size_t>(traceRow) * width + x) * 3 + 1] = 0xFF;

    const PictureSize size{48, 41};  // a scale of 5
    const std::vector<std::string> rows =
        RenderHalfBlocks(rgb, width, kPanelRegion, size, Rgb{0, 0, 0});
    ASSERT_EQ(rows.size(), 21u);
    // The screen row falls in picture row (101 - 26) / 5 = 15: text row 7, its lower half.
    int lit = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const bool hasGreen = rows[i].find("48;2;0;255;0") != std::string::npos;
        EXPECT_EQ(hasGreen, i == 7) << "text row " << i;
        lit += hasGreen ? 1 : 0;
        EXPECT_EQ(rows[i].find("38;2;0;255;0"), std::string::npos) << "text row " << i;
        // 48 half blocks of three bytes each, whatever the colours.
        std::size_t blocks = 0;
        for (std::size_t at = rows[i].find("\u2580"); at != std::string::npos;
             at = rows[i].find("\u2580", at + 1)) {
            ++blocks;
        }
        EXPECT_EQ(blocks, 48u);
    }
    EXPECT_EQ(lit, 1);
}

}  // namespace
}  // namespace quorvel::host
