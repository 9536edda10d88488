// A sound file decoded into a canonical 16-bit PCM WAV (the 44-byte header, samples from byte
// 44) in a temporary file the module plays while it is still being written. Decoding runs on a
// thread of its own, ahead of the module's reads: a read that reached the end of what is
// written would be short, and a short read ends the module's playback.
#ifndef QUORVEL_HOST_DECODED_WAV_H
#define QUORVEL_HOST_DECODED_WAV_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "media/sound_file.h"
#include "system/temp_file.h"

#include "QuorvelWaveForm.h"
#include "cli/problem.h"

namespace quorvel::host {

// The header of a canonical 16-bit PCM WAV, the one the module reads: its format at bytes
// 22-35, its samples from byte 44; sizes past 32 bits are held at the largest.
void CanonicalHeader(std::uint8_t (&header)[QWF_WAV_HEADER_BYTES], int channels, int rate,
                     std::uint64_t dataBytes);

class DecodedWav {
  public:
    DecodedWav() = default;
    DecodedWav(const DecodedWav&) = delete;
    DecodedWav& operator=(const DecodedWav&) = delete;
    ~DecodedWav() { Stop(); }

    // Makes the temporary file and writes its header. False, with a sentence, when it cannot.
    bool Create(std::unique_ptr<SoundFile> source, Problem* problem);
    // Starts the thread. With `holdOutput`, the virtual output's gate lets a block finish only
    // once the block the module reads next is written (a sound device has no gate: see
    // ReadableBlocks).
    void Start(bool holdOutput);
    // Waits up to `timeout` until `blocks` whole blocks can be read or decoding has ended.
    bool WaitForBlocks(std::uint64_t blocks, std::chrono::milliseconds timeout);
    // Ends decoding early (the file skipped or quit) and waits for the thread.
    void Stop();

    bool Done() const { return done_.load(); }
    // Whole 4000-byte blocks from byte 44 written so far.
    std::uint64_t ReadableBlocks() const;
    std::uint64_t SampleBytes() const { return written_.load(); }
    // 0..1 of the header's frame count; negative when the header gives none.
    double Progress() const;
    double DecodedSeconds() const;
    const SoundFacts& facts() const { return source_->facts(); }
    std::string ModulePathText() const { return file_.alias(); }
    // Once Done(): what cut decoding short, as a sentence (empty when nothing did).
    std::string Failure(const std::string& name) const;
    // Once Done(): the temporary file refused the decoded audio (a full disk, a file-size
    // limit), so the rest of the file can never reach the module.
    bool StoreFailed() const { return done_.load() && !diskError_.empty(); }
    // Once Done(): the decoded frames fell short of the header's count (a file cut short).
    bool ShortOfHeader() const;

  private:
    void Run();
    void HoldOutput(bool finished);

    std::unique_ptr<SoundFile> source_;
    TempFile file_;
    std::thread thread_;
    bool holdOutput_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<std::uint64_t> written_{0};  // sample bytes after the header
    std::atomic<std::uint64_t> frames_{0};
    std::mutex mutex_;
    std::condition_variable progressed_;
    // Set by the thread before done_.
    std::string decodeError_;
    std::string diskError_;
};

}  // namespace quorvel::host

#endif
