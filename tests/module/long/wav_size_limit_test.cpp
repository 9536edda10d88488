// The 32-bit size limit of a recording: 1,100,000 blocks captured in fast mode stop being
// appended at 1,073,741 blocks (a 4,294,964,044-byte file), the most a RIFF header can
// describe, and the header stays exact. Writes 4.29 GB: labelled `long`, skipped when the
// temporary folder has too little room.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>

#include "QuorvelWaveForm.h"
#include "quorvel/device.hpp"
#include "support/test_support.h"

namespace qwf::test {
namespace {

namespace device = quorvel::device;

constexpr std::uint32_t kCaptured = 1'100'000;
constexpr std::uint32_t kMostBlocks = 1'073'741;  // (2^32 - 1 - 36) / 4000
constexpr std::uint64_t kLimitFileBytes = 44 + std::uint64_t{kMostBlocks} * 4000;

Bytes ReadAt(int fd, std::uint64_t offset, std::size_t count) {
    Bytes bytes(count);
    const ssize_t got = pread(fd, bytes.data(), count, static_cast<off_t>(offset));
    bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return bytes;
}

class SizeLimit : public ModuleTest {};

TEST_F(SizeLimit, AppendsStopAtTheMostBlocksA32BitHeaderDescribes) {
    struct statvfs disk {};
    ASSERT_EQ(statvfs(dir_.c_str(), &disk), 0);
    const std::uint64_t room = std::uint64_t{disk.f_bavail} * disk.f_frsize;
    if (room < kLimitFileBytes + (std::uint64_t{256} << 20)) {
        GTEST_SKIP() << "needs 4.3 GB free in " << dir_ << ", has " << (room >> 20) << " MB";
    }
    const std::string path = dir_ + "/limit.wav";
    // On a 1x1 screen the trace is drawn off-screen, which takes the time of 1.1 million
    // blocks from about ten minutes to under two.
    ASSERT_TRUE(device::SetScreenSize(1, 1));
    device::SetInputGate(kCaptured);
    ASSERT_EQ(WaveRecordWaveForm(Utf16(path).c_str(), 0x000000FF, 0), WF_DONE);
    ASSERT_TRUE(device::WaitInputData(kCaptured, std::chrono::hours(2)));
    EXPECT_EQ(WaveRecordWaveFormStop(), static_cast<std::int32_t>(kCaptured));

    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(status.st_size), kLimitFileBytes);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const Bytes header = ReadAt(fd, 0, 44);
    ASSERT_EQ(header.size(), 44u);
    EXPECT_EQ(std::string(header.begin(), header.begin() + 4), "RIFF");
    EXPECT_EQ(U32At(header, 4), 4'294'964'036u);
    EXPECT_EQ(std::string(header.begin() + 8, header.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(std::string(header.begin() + 36, header.begin() + 40), "data");
    EXPECT_EQ(U32At(header, 40), 4'294'964'000u);
    // The first and the last block appended continue the virtual input's ramp.
    for (const std::uint64_t block : {std::uint64_t{0}, std::uint64_t{kMostBlocks - 1}}) {
        const Bytes samples = ReadAt(fd, 44 + block * 4000, 4000);
        ASSERT_EQ(samples.size(), 4000u);
        for (std::size_t i = 0; i < 2000; ++i) {
            ASSERT_EQ(SampleAt(samples, i), static_cast<std::int16_t>((block * 2000 + i) & 0xFFFF))
                << "block " << block << " sample " << i;
        }
    }
    close(fd);
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace qwf::test
