#include "media/decoded_wav.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "quorvel/device.hpp"
#include "cli/text.h"
#include "media/wav_check.h"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;

constexpr long kChunkFrames = 4096;
constexpr std::uint64_t kLargestSize = 0xFFFFFFFF;

void PutLe(std::uint8_t* out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

void CanonicalHeader(std::uint8_t (&header)[kModuleHeaderBytes], int channels, int rate,
                     std::uint64_t dataBytes) {
    const auto data = static_cast<std::uint32_t>(std::min(dataBytes, kLargestSize - 36));
    const auto align = static_cast<std::uint32_t>(channels * 2);
    std::memcpy(header, "RIFF", 4);
    PutLe(header + 4, data + 36, 4);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    PutLe(header + 16, 16, 4);
    PutLe(header + 20, 1, 2);
    PutLe(header + 22, static_cast<std::uint32_t>(channels), 2);
    PutLe(header + 24, static_cast<std::uint32_t>(rate), 4);
    PutLe(header + 28, static_cast<std::uint32_t>(rate) * align, 4);
    PutLe(header + 32, align, 2);
    PutLe(header + 34, 16, 2);
    std::memcpy(header + 36, "data", 4);
    PutLe(header + 40, data, 4);
}

bool DecodedWav::Create(std::unique_ptr<SoundFile> source, Problem* problem) {
    source_ = std::move(source);
    if (!file_.Create(problem)) return false;
    std::uint8_t header[kModuleHeaderBytes];
    // Sizes of 0 until the end is known; the module goes by the file's end, not by them.
    CanonicalHeader(header, facts().channels, facts().rate, 0);
    if (!file_.WriteAt(0, header, sizeof header)) {
        return Fail(problem, kExitFile,
                    "Cannot write the decoded audio to a temporary file in " +
                        Quoted(file_.folder()) + ": " + std::strerror(errno) + ".");
    }
    return true;
}

void DecodedWav::Start(bool holdOutput) {
    holdOutput_ = holdOutput;
    if (holdOutput_) device::SetOutputGate(0);
    thread_ = std::thread([this] { Run(); });
}

void DecodedWav::Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

std::uint64_t DecodedWav::ReadableBlocks() const {
    return written_.load() / kModuleBlockBytes;
}

double DecodedWav::Progress() const {
    const std::int64_t total = facts().frames;
    if (total <= 0) return -1;
    return std::min(1.0, static_cast<double>(frames_.load()) / static_cast<double>(total));
}

double DecodedWav::DecodedSeconds() const {
    return static_cast<double>(frames_.load()) / std::max(1, facts().rate);
}

bool DecodedWav::WaitForBlocks(std::uint64_t blocks, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return progressed_.wait_for(lock, timeout,
                                [&] { return done_.load() || ReadableBlocks() >= blocks; });
}

std::string DecodedWav::Failure(const std::string& name) const {
    if (!diskError_.empty()) {
        return "Cannot store the decoded audio of " + name + " in a temporary file in " +
               Quoted(file_.folder()) + " (" + diskError_ + ") after " + Seconds(DecodedSeconds()) +
               " s of it, so the rest cannot be played.";
    }
    if (!decodeError_.empty()) {
        return "Decoding " + name + " stopped after " + Seconds(DecodedSeconds()) + " s (" +
               decodeError_ + "); it plays up to there.";
    }
    return {};
}

bool DecodedWav::ShortOfHeader() const {
    const std::int64_t total = facts().frames;
    return !stop_.load() && total > 0 && frames_.load() < static_cast<std::uint64_t>(total);
}

// The virtual output completes a block only when the next one is written in full: completing
// block k makes the module read block k+1. The gate is shut while the count is read, so no
// block finishes unseen in between but the one already past the gate, which the margin of one
// more block covers.
void DecodedWav::HoldOutput(bool finished) {
    if (!holdOutput_) return;
    if (finished) {
        device::SetOutputGate(-1);
        return;
    }
    device::SetOutputGate(0);
    const std::uint64_t played = device::GetOutputStats().blocks_played;
    const std::uint64_t readable = ReadableBlocks();
    device::SetOutputGate(readable >= played + 2 ? static_cast<long>(readable - played - 2) : 0);
}

void DecodedWav::Run() {
    const int channels = facts().channels;
    std::vector<std::int16_t> samples(static_cast<std::size_t>(kChunkFrames) * channels);
    std::vector<std::uint8_t> bytes(samples.size() * 2);
    while (!stop_.load()) {
        const long got = source_->Read(samples.data(), kChunkFrames);
        if (got < 0) {
            decodeError_ = source_->error();
            break;
        }
        if (got == 0) break;
        const std::size_t count = static_cast<std::size_t>(got) * channels;
        for (std::size_t i = 0; i < count; ++i) {
            const auto value = static_cast<std::uint16_t>(samples[i]);
            bytes[2 * i] = static_cast<std::uint8_t>(value & 0xFF);
            bytes[2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
        }
        if (!file_.WriteAt(kModuleHeaderBytes + written_.load(), bytes.data(), count * 2)) {
            diskError_ = std::strerror(errno);
            break;
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            written_.fetch_add(count * 2);
            frames_.fetch_add(static_cast<std::uint64_t>(got));
        }
        progressed_.notify_all();
        HoldOutput(false);
    }
    std::uint8_t header[kModuleHeaderBytes];
    CanonicalHeader(header, channels, facts().rate, written_.load());
    [[maybe_unused]] const bool sized = file_.WriteAt(0, header, sizeof header);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        done_.store(true);
    }
    progressed_.notify_all();
    HoldOutput(true);
}

}  // namespace quorvel::host
