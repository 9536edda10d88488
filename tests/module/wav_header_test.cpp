// The 44-byte header: the exact sizes the writer puts in, and which fields the reader takes.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/test_support.h"
#include "wav/wav_header.h"

namespace qwf {
namespace {

using test::Bytes;

Bytes Image(const WavHeader& header) {
    const std::string path = test::MakeTempDir() + "/h.wav";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    EXPECT_TRUE(WritePlaceholder(file, header));
    std::fclose(file);
    return test::ReadFile(path);
}

TEST(WavHeaderWriting, FieldsAndExactSizesForAnyBlockCount) {
    WavHeader header{};
    FillHeader(header, 0);
    Bytes bytes = Image(header);
    ASSERT_EQ(bytes.size(), 44u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(std::string(bytes.begin() + 36, bytes.begin() + 40), "data");
    EXPECT_EQ(test::U32At(bytes, 4), 36u);
    EXPECT_EQ(test::U32At(bytes, 16), 16u);
    EXPECT_EQ(test::U16At(bytes, 20), 1u);
    EXPECT_EQ(test::U16At(bytes, 22), 1u);
    EXPECT_EQ(test::U32At(bytes, 24), 8000u);
    EXPECT_EQ(test::U32At(bytes, 28), 16000u);
    EXPECT_EQ(test::U16At(bytes, 32), 2u);
    EXPECT_EQ(test::U16At(bytes, 34), 16u);
    EXPECT_EQ(test::U32At(bytes, 40), 0u);

    // Counts where single-precision arithmetic would have gone wrong stay exact.
    for (const std::uint32_t blocks : {1u, 16777u, 16778u, 134218u, 134219u, MAX_WAV_BLOCKS}) {
        FillHeader(header, blocks);
        bytes = Image(header);
        EXPECT_EQ(test::U32At(bytes, 40), blocks * 4000u) << blocks;
        EXPECT_EQ(test::U32At(bytes, 4), blocks * 4000u + 36u) << blocks;
    }
    EXPECT_EQ(MAX_WAV_BLOCKS, 1073741u);
    EXPECT_GT(static_cast<std::uint64_t>(MAX_WAV_BLOCKS + 1) * 4000u + 36u, 0xFFFFFFFFull);
}

TEST(WavHeaderReading, TakesOffsets22To35AndLeavesTheStreamAtByte44) {
    Bytes image(60, 0);
    const unsigned char fields[] = {2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0};
    std::copy(std::begin(fields), std::end(fields), image.begin() + 22);
    image[44] = 0x5A;
    const std::string path = test::MakeTempDir() + "/r.wav";
    test::WriteFile(path, image);

    std::uint16_t channels = 0, blockAlign = 0, bits = 0;
    std::uint32_t rate = 0, avg = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ReadFormat(file, WavFormatFields{channels, rate, avg, blockAlign, bits});
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(rate, 44100u);
    EXPECT_EQ(avg, 176400u);
    EXPECT_EQ(blockAlign, 4);
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(std::ftell(file), 44);
    EXPECT_EQ(std::fgetc(file), 0x5A);
    std::fclose(file);
}

TEST(WavHeaderReading, FieldsAFileDoesNotReachKeepTheirValues) {
    // The file ends inside the samples-per-second field.
    Bytes image(26, 0);
    image[22] = 1;
    const std::string path = test::MakeTempDir() + "/short.wav";
    test::WriteFile(path, image);
    std::uint16_t channels = 9, blockAlign = 9, bits = 9;
    std::uint32_t rate = 9, avg = 9;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ReadFormat(file, WavFormatFields{channels, rate, avg, blockAlign, bits});
    EXPECT_EQ(channels, 1);
    EXPECT_EQ(rate, 9u);
    EXPECT_EQ(avg, 9u);
    EXPECT_EQ(blockAlign, 9);
    EXPECT_EQ(bits, 9);
    std::fclose(file);
}

}  // namespace
}  // namespace qwf
