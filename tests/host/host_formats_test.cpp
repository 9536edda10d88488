// quorvel playing what people have: a corpus written at test time by other programs (sox,
// ffmpeg, flac, oggenc, lame) from a master this test writes, played through the module on a
// fast virtual output, and the bytes the device played compared with a decode that did not
// come from libsndfile: this file's own WAV parser for PCM and float, sox or ffmpeg for the
// other lossless codecs, and duration and correlation against ffmpeg for lossy ones.
#include <cmath>
#include <map>

#include "quorvel_process.h"

namespace {

using namespace quorvel_test;

constexpr int kRate = 44100;
constexpr int kFrames = 26'000;  // 0.59 s, stereo

bool HaveTools() {
    for (const char* tool : {"sox", "ffmpeg", "flac", "oggenc", "lame"}) {
        if (std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) != 0)
            return false;
    }
    return true;
}

// The master: 24-bit stereo, two tones on the left, a sweep on the right, near full scale.
Bytes Master24() {
    Bytes data;
    for (int n = 0; n < kFrames; ++n) {
        const double t = static_cast<double>(n) / kRate;
        const double left =
            0.6 * std::sin(2 * M_PI * 440 * t) + 0.35 * std::sin(2 * M_PI * 3001 * t);
        const double right = 0.9 * std::sin(2 * M_PI * (200 + 4000 * t) * t);
        for (const double value : {left, right}) {
            const auto sample = static_cast<std::int32_t>(std::lround(value * 8388607));
            Put(data, static_cast<std::uint32_t>(sample), 3);
        }
    }
    Bytes wav = MakeWav(data, 1, 2, kRate, 24);
    return wav;
}

// Samples in units of one 16-bit step, interleaved.
struct Audio {
    int channels = 0;
    int rate = 0;
    std::vector<double> samples;
};

std::uint32_t Read(const Bytes& bytes, std::size_t at, int count, bool bigEndian) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        const std::uint32_t byte = bytes[at + (bigEndian ? count - 1 - i : i)];
        value |= byte << (8 * i);
    }
    return value;
}

// This test's own reading of a WAV's samples: RIFF, RIFX and RF64, PCM (8-32 bits), IEEE float
// (32, 64), plain or WAVE_FORMAT_EXTENSIBLE, placeholder sizes read to the end of the file.
bool ParseWav(const Bytes& file, Audio* audio) {
    if (file.size() < 12) return false;
    const std::string form(file.begin(), file.begin() + 4);
    const bool big = form == "RIFX";
    int tag = 0;
    int bits = 0;
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const std::string id(file.begin() + static_cast<long>(at),
                             file.begin() + static_cast<long>(at) + 4);
        std::uint64_t size = Read(file, at + 4, 4, big);
        if (id == "fmt ") {
            tag = static_cast<int>(Read(file, at + 8, 2, big));
            audio->channels = static_cast<int>(Read(file, at + 10, 2, big));
            audio->rate = static_cast<int>(Read(file, at + 12, 4, big));
            bits = static_cast<int>(Read(file, at + 22, 2, big));
            if (tag == 0xFFFE) tag = static_cast<int>(Read(file, at + 32, 2, big));
        } else if (id == "data") {
            if (size == 0 || size == 0xFFFFFFFF || at + 8 + size > file.size())
                size = file.size() - at - 8;
            const int width = bits / 8;
            for (std::size_t i = at + 8; i + width <= at + 8 + size; i += width) {
                const std::uint64_t raw =
                    width == 8
                        ? (std::uint64_t{Read(file, i + 4, 4, big)} << 32) | Read(file, i, 4, big)
                        : Read(file, i, width, big);
                double value = 0;
                if (tag == 3 && width == 4) {
                    float f;
                    const auto r32 = static_cast<std::uint32_t>(raw);
                    std::memcpy(&f, &r32, 4);
                    value = f * 32768.0;
                } else if (tag == 3 && width == 8) {
                    double d;
                    std::memcpy(&d, &raw, 8);
                    value = d * 32768.0;
                } else if (width == 1) {
                    value = (static_cast<int>(raw) - 128) * 256.0;
                } else {
                    const int shift = 64 - bits;
                    value = static_cast<double>(static_cast<std::int64_t>(raw << shift) >> shift) /
                            std::ldexp(1.0, bits - 16);
                }
                audio->samples.push_back(value);
            }
            return tag == 1 || tag == 3;
        }
        at += 8 + size + (size & 1U);
    }
    return false;
}

// Raw 16-bit little-endian samples.
std::vector<double> S16(const Bytes& raw) {
    std::vector<double> samples;
    for (std::size_t i = 0; i + 1 < raw.size(); i += 2)
        samples.push_back(static_cast<std::int16_t>(raw[i] | (raw[i + 1] << 8)));
    return samples;
}

// A decode by another program into raw 16-bit samples: "sox" or "ffmpeg".
std::vector<double> DecodeWith(const std::string& tool, const std::string& path,
                               const TempDir& dir) {
    const std::string raw = dir / "reference.raw";
    const std::string command = tool == "sox" ? "sox '" + path + "' -t s16 -L '" + raw + "'"
                                              : "ffmpeg -v error -y -i '" + path +
                                                    "' -f s16le -c:a pcm_s16le '" + raw + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return S16(ReadFile(raw));
}

// The best normalised correlation of the first channel within `lag` frames either way.
double Correlation(const std::vector<double>& a, const std::vector<double>& b, int channels,
                   int lag) {
    double best = -1;
    for (int shift = -lag; shift <= lag; shift += 1) {
        double ab = 0, aa = 0, bb = 0;
        for (std::size_t i = 0; i * channels < a.size(); ++i) {
            const long j = static_cast<long>(i) + shift;
            if (j < 0 || static_cast<std::size_t>(j) * channels >= b.size()) continue;
            const double x = a[i * channels];
            const double y = b[static_cast<std::size_t>(j) * channels];
            ab += x * y;
            aa += x * x;
            bb += y * y;
        }
        if (aa > 0 && bb > 0) best = std::max(best, ab / std::sqrt(aa * bb));
    }
    return best;
}

enum class Reference {
    kUntouched,  // a canonical WAV: the device plays its bytes from 44 on
    kOwnParse,   // this test's parse of the WAV named in `from` (the file itself when empty)
    kSox,
    kFfmpeg,
    kLossy,  // ffmpeg's decode: same length within 60 ms, correlation above 0.98
};

struct Case {
    std::string file;
    std::string make;  // shell command; IN16, IN24 and OUT are replaced
    Reference reference;
    double tolerance;  // in 16-bit steps
    std::string note;  // in the output: what was converted ("" for a file played as it is)
    std::string from = {};
};

std::string Expand(std::string command, const TempDir& dir, const std::string& out) {
    for (const auto& [word, path] : {std::pair<std::string, std::string>{"IN16", dir / "m16.wav"},
                                     {"IN24", dir / "m24.wav"},
                                     {"OUT", out}}) {
        for (std::size_t at; (at = command.find(word)) != std::string::npos;)
            command.replace(at, word.size(), "'" + path + "'");
    }
    return command;
}

class Formats : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveTools()) GTEST_SKIP() << "sox, ffmpeg, flac, oggenc and lame are needed";
        WriteFile(dir_ / "m24.wav", Master24());
        ASSERT_EQ(std::system(Expand("sox -D IN24 -b 16 OUT", dir_, dir_ / "m16.wav").c_str()), 0);
    }

    // Makes the case's file, plays it on a fast virtual output, and returns the bytes played.
    Bytes Play(const Case& c, Result* result, std::vector<std::string> extra = {}) {
        const std::string path = dir_ / c.file;
        const std::string command = Expand(c.make, dir_, path) + " 2>/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        const std::string played = dir_ / (c.file + ".played");
        std::vector<std::string> args = {"play", path, "--fast", "--output", "file:" + played};
        args.insert(args.end(), extra.begin(), extra.end());
        *result = RunQuorvel(args);
        return ReadFile(played);
    }

    TempDir dir_;
};

TEST_F(Formats, EveryLayoutPlaysAsTheModuleNeedsItAndMatchesAnotherDecoder) {
    const std::vector<Case> cases = {
        {"c16.wav", "sox -D IN24 -b 16 OUT", Reference::kUntouched, 0, ""},
        {"c8.wav", "sox -D IN24 -b 8 OUT", Reference::kUntouched, 0, ""},
        {"s24.wav", "sox IN24 -b 24 OUT", Reference::kOwnParse, 1, "24-bit PCM"},
        {"s32.wav", "sox IN24 -b 32 OUT", Reference::kOwnParse, 1, "32-bit PCM"},
        {"f32.wav", "sox IN24 -e floating-point -b 32 OUT", Reference::kOwnParse, 1,
         "WAV, 32-bit float"},
        {"f64.wav", "sox IN24 -e floating-point -b 64 OUT", Reference::kOwnParse, 1,
         "64-bit float"},
        {"ext24.wav", "ffmpeg -v error -i IN24 -c:a pcm_s24le OUT", Reference::kOwnParse, 1,
         "WAV (extensible), 24-bit PCM"},
        {"extfloat.wav", "ffmpeg -v error -i IN24 -c:a pcm_f32le OUT", Reference::kOwnParse, 1,
         "32-bit float"},
        {"list.wav", "ffmpeg -v error -i IN16 -metadata title=Tone OUT", Reference::kOwnParse, 0,
         "copied as they are"},
        {"u8list.wav", "ffmpeg -v error -i IN16 -c:a pcm_u8 -metadata title=Tone OUT",
         Reference::kOwnParse, 0, "8-bit unsigned PCM"},
        {"junk.wav", "ffmpeg -v error -i IN16 -rf64 auto OUT", Reference::kOwnParse, 0,
         "copied as they are"},
        {"rf64.wav", "ffmpeg -v error -i IN16 -rf64 always OUT", Reference::kOwnParse, 0,
         "RF64, 16-bit PCM"},
        {"rifx.wav", "sox IN16 -B OUT", Reference::kOwnParse, 0, "RIFX, 16-bit PCM"},
        {"streamed.wav", "ffmpeg -v error -i IN16 -f wav - > OUT", Reference::kOwnParse, 0,
         "16-bit PCM"},
        {"ulaw.wav", "sox IN16 -r 8000 -c 1 -e u-law OUT", Reference::kFfmpeg, 0, "mu-law"},
        {"alaw.wav", "sox IN16 -e a-law OUT", Reference::kFfmpeg, 0, "A-law"},
        {"ima.wav", "sox IN16 -e ima-adpcm OUT", Reference::kSox, 0, "IMA ADPCM"},
        {"msadpcm.wav", "sox IN16 -e ms-adpcm OUT", Reference::kSox, 0, "Microsoft ADPCM"},
        {"s16.aiff", "sox IN16 OUT", Reference::kFfmpeg, 0, "AIFF, 16-bit PCM"},
        {"s24.aiff", "sox IN24 OUT", Reference::kFfmpeg, 2, "AIFF, 24-bit PCM"},
        {"s16.au", "sox IN16 OUT", Reference::kFfmpeg, 0, "AU, 16-bit PCM"},
        {"s16.caf", "sox IN16 OUT", Reference::kFfmpeg, 0, "CAF, 16-bit PCM"},
        {"s16.w64", "sox IN16 OUT", Reference::kFfmpeg, 0, "Wave64, 16-bit PCM"},
        {"s16.flac", "flac -s -o OUT IN16", Reference::kOwnParse, 0, "FLAC, 16-bit", "m16.wav"},
        {"s24.flac", "flac -s -o OUT IN24", Reference::kOwnParse, 1, "FLAC, 24-bit", "m24.wav"},
        {"vorbis.ogg", "oggenc -Q -o OUT IN16", Reference::kLossy, 0, "Ogg Vorbis"},
        {"opus.opus", "ffmpeg -v error -i IN16 -c:a libopus OUT", Reference::kLossy, 0,
         "Ogg Opus, 48000 Hz"},
        {"cbr.mp3", "lame --quiet -b 128 IN16 OUT", Reference::kLossy, 0, "MP3"},
        {"vbr.mp3", "lame --quiet -V 4 IN16 OUT", Reference::kLossy, 0, "MP3"},
        // No Xing header: libsndfile's frame count is guessed from the first frame's bit rate.
        {"vbr-no-xing.mp3", "lame --quiet -V 4 -t IN16 OUT", Reference::kLossy, 0, "MP3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Result result;
        const Bytes played = Play(c, &result);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err.find("quorvel: "), std::string::npos) << result.err;
        const std::string path = dir_ / c.file;
        if (c.reference == Reference::kUntouched) {
            EXPECT_EQ(result.err.find("decoded"), std::string::npos) << result.err;
            EXPECT_EQ(played, ExpectedPlayed(ReadFile(path)));
            continue;
        }
        EXPECT_NE(result.err.find(c.note), std::string::npos) << result.err;
        Audio audio;
        std::vector<double> reference;
        if (c.reference == Reference::kOwnParse) {
            ASSERT_TRUE(ParseWav(ReadFile(dir_ / (c.from.empty() ? c.file : c.from)), &audio));
            reference = audio.samples;
        } else {
            reference = DecodeWith(c.reference == Reference::kSox ? "sox" : "ffmpeg", path, dir_);
        }
        const std::vector<double> heard = S16(played);
        // The module plays whole blocks: the samples, then silence to the end of the block
        // (one more block when they end on a boundary).
        ASSERT_EQ(played.size() % kBlock, 0u);
        if (c.reference == Reference::kLossy) {
            const double lengthGap =
                std::abs(static_cast<double>(heard.size()) - static_cast<double>(reference.size()));
            EXPECT_LT(lengthGap, 0.06 * 48000 * 2 + kBlock)
                << heard.size() << " " << reference.size();
            EXPECT_GT(Correlation(heard, reference, 2, 64), 0.98);
            continue;
        }
        ASSERT_EQ(played.size(), (reference.size() * 2 / kBlock + 1) * kBlock);
        double worst = 0;
        for (std::size_t i = 0; i < reference.size(); ++i) {
            const double expected = std::clamp(std::round(reference[i]), -32768.0, 32767.0);
            worst = std::max(worst, std::abs(heard[i] - expected));
        }
        EXPECT_LE(worst, c.tolerance);
        for (std::size_t i = reference.size(); i < heard.size(); ++i) ASSERT_EQ(heard[i], 0) << i;
    }
}

TEST_F(Formats, WhatNobodyCanDecodeIsRefusedNamingTheFileAndTheCause) {
    Bytes wide = MakeWav(Bytes(800, 1), 1, 1, 8000, 64);
    WriteFile(dir_ / "pcm64.wav", wide);
    WriteFile(dir_ / "notes.txt", Bytes(300, 'x'));
    const std::vector<Case> cases = {
        {"g726.wav", "ffmpeg -v error -i IN16 -ar 8000 -ac 1 -c:a adpcm_g726 OUT",
         Reference::kUntouched, 0, "G.726 ADPCM"},
        {"yamaha.wav", "ffmpeg -v error -i IN16 -c:a adpcm_yamaha OUT", Reference::kUntouched, 0,
         "Yamaha ADPCM"},
        {"pcm64.wav", "true", Reference::kUntouched, 0, "64-bit PCM, wider than the 32 bits"},
        {"notes.txt", "true", Reference::kUntouched, 0, "not a WAV file nor any other"},
        {"empty.flac", "sox IN16 -t wav - trim 0 0 | ffmpeg -v error -i - OUT",
         Reference::kUntouched, 0, "holds no audio"},
        {"empty.ogg", "sox IN16 -t wav - trim 0 0 | oggenc -Q -o OUT -", Reference::kUntouched, 0,
         "holds no audio"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Result result;
        const Bytes played = Play(c, &result);
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(OneSentenceNaming(result, "\"" + dir_ / c.file + "\""));
        EXPECT_NE(result.err.find(c.note), std::string::npos) << result.err;
        EXPECT_TRUE(played.empty()) << "nothing is played, not even silence";
    }
}

TEST_F(Formats, AFlacCutShortPlaysUpToTheDamageAndSaysSo) {
    Result result;
    Play({"whole.flac", "flac -s -o OUT IN16", Reference::kOwnParse, 0, ""}, &result);
    Bytes flac = ReadFile(dir_ / "whole.flac");
    flac.resize(flac.size() * 6 / 10);
    WriteFile(dir_ / "cut.flac", flac);
    const Bytes played = Play({"cut.flac", "true", Reference::kOwnParse, 0, ""}, &result);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("\"" + dir_ / "cut.flac" + "\""), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("plays up to there"), std::string::npos) << result.err;
    Audio master;
    ASSERT_TRUE(ParseWav(ReadFile(dir_ / "m16.wav"), &master));
    const std::vector<double> heard = S16(played);
    std::size_t same = 0;
    while (same < heard.size() && same < master.samples.size() &&
           heard[same] == master.samples[same])
        ++same;
    EXPECT_GT(same, master.samples.size() * 4 / 10) << "the part before the damage, exactly";
    EXPECT_LT(same, master.samples.size());
}

}  // namespace
