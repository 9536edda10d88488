// The output side of the waveform device: blocks play in queue order as the backend takes
// their bytes, each completing with a done message; pause, restart and reset; and, on a sound
// card, done messages kept at the blocks' pace.
#include "core/output_device.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace quorvel::device::detail {
namespace {

// How much sooner than a block's length after the one before a done message may come, and the
// longest it is held back for that (see HoldEarlyDoneLocked).
constexpr auto kDoneSlack = std::chrono::milliseconds(2);
constexpr auto kMaxDoneHold = std::chrono::milliseconds(20);

std::atomic<std::shared_ptr<StreamMarks> (*)()> marksMaker{nullptr};

}  // namespace

void SetStreamMarksMaker(std::shared_ptr<StreamMarks> (*make)()) {
    marksMaker.store(make);
}

OutputDevice::OutputDevice(const WAVEFORMATEX& format, DWORD_PTR callback, DWORD_PTR instance,
                           std::shared_ptr<PlaybackTap> tap)
    : WaveDevice(Direction::kOutput, format, callback, instance),
      tap_(std::move(tap)),
      bytesPerSecond_(format.nSamplesPerSec * format.nBlockAlign) {}

MMRESULT OutputDevice::SetPaused(bool paused) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return MMSYSERR_INVALHANDLE;
        if (lost_) return MMSYSERR_NODRIVER;
        paused_ = paused;
    }
    WakeBackend();  // a backend holding audio ahead holds it while paused
    return MMSYSERR_NOERROR;
}

MMRESULT OutputDevice::Reset() {
    bool cutShort = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return MMSYSERR_INVALHANDLE;
        // Blocks still to play, or a done message on its way whose callback queues the next.
        cutShort = !queue_.empty() || requeuesAwaited_ > 0;
        for (WAVEHDR* header : queue_) MarkDoneLocked(header, false);
        queue_.clear();
        playedOfHead_ = 0;
        paused_ = false;
        if (marks_) marks_->Clear();
        // Done messages still pending no longer promise a requeue: playback was ended.
        for (Message& message : messages_) {
            ForgetRequeueLocked(message);
            message.notBefore = {};
        }
    }
    posted_.notify_one();
    // A reset after the last block (the end of a file) lets what is buffered play out.
    if (cutShort) {
        if (const std::shared_ptr<Backend> held = backend()) held->Discard();
    }
    return MMSYSERR_NOERROR;
}

std::size_t OutputDevice::ReadPlayback(std::uint8_t* out, std::size_t bytes) {
    std::size_t played = 0;
    bool completed = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (paused_) return 0;
        while (!queue_.empty()) {
            WAVEHDR* header = queue_.front();
            const std::size_t count =
                std::min<std::size_t>(header->dwBufferLength - playedOfHead_, bytes - played);
            if (count > 0) {
                const auto* audio =
                    reinterpret_cast<const std::uint8_t*>(header->lpData) + playedOfHead_;
                if (out != nullptr) std::memcpy(out + played, audio, count);
                if (tap_) tap_->Played(audio, count);
                playedOfHead_ += count;
                played += count;
            }
            // A block played to its end waits there until the gate lets it complete.
            if (playedOfHead_ < header->dwBufferLength || !PassGate(registry_)) break;
            queue_.pop_front();
            playedOfHead_ = 0;
            MarkDoneLocked(header, true, streamBytes_ + played);
            // A block ending with the chunk leaves the pull nothing to wait for.
            if (played == bytes) HoldEarlyDoneLocked(*header);
            counters().completed.fetch_add(1);
            completed = true;
        }
        // Counted under the lock so that whoever sees the done message also sees the bytes.
        counters().moved.fetch_add(played);
        streamBytes_ += played;
    }
    if (completed) posted_.notify_one();
    return played;
}

PlaybackDevice::Supply OutputDevice::Outlook() {
    Supply supply = Supply::kIdle;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (lost_) return Supply::kIdle;
        if (paused_) return Supply::kPaused;
        if (!queue_.empty()) {
            supply = playedOfHead_ < queue_.front()->dwBufferLength ? Supply::kFlowing
                                                                    : Supply::kRequeueDue;
        } else if (requeuesAwaited_ > 0) {
            supply = Supply::kRequeueDue;
        }
        if (supply != Supply::kRequeueDue || !ReleaseHeldLocked()) return supply;
    }
    posted_.notify_one();  // a pull waits for the requeue: no holding back now
    return supply;
}

void OutputDevice::NoteSilence(std::size_t frames, bool underrun) {
    (underrun ? counters().underrunFrames : counters().idleFrames).fetch_add(frames);
}

// A host shows the screen kept for the block it hears, drawn for that block either just before
// it is queued (one block in flight) or in the callback of the done message of the block before
// it (two in flight). Inside such a callback the screen belongs to the block that starts where
// the delivered one ends, whatever is queued; elsewhere to the block being queued.
void OutputDevice::QueueLocked(WAVEHDR* header) {
    counters().queued.fetch_add(1);
    const auto make = marksMaker.load(std::memory_order_relaxed);
    if (make == nullptr) {
        marks_.reset();
        return;
    }
    if (!marks_) marks_ = make();
    if (deliveringPlayed_) {
        keptInCallback_ = true;
        marks_->Keep(soundingFrom_, true);
        return;
    }
    // The new block starts where the blocks ahead of it end.
    std::uint64_t position = streamBytes_ - playedOfHead_;
    for (const WAVEHDR* ahead : queue_) {
        if (ahead != header) position += ahead->dwBufferLength;
    }
    marks_->Keep(position, false);
}

bool OutputDevice::Heard(std::shared_ptr<StreamMarks>* marks, std::uint64_t* position) {
    // Asked without the device's lock: a backend may take its own lock, under which it reads.
    const std::shared_ptr<Backend> player = backend();
    const std::uint64_t unheard = player ? player->UnheardBytes() : 0;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (paused_ || lost_ || !marks_ || (queue_.empty() && unheard == 0)) return false;
    *marks = marks_;
    *position = streamBytes_ - std::min(unheard, streamBytes_);
    return true;
}

void OutputDevice::LostLocked() {
    playedOfHead_ = 0;
    for (Message& message : messages_) ForgetRequeueLocked(message);
}

void OutputDevice::DeliveringLocked(const Message& message) {
    if (!message.full) return;
    deliveringPlayed_ = true;
    soundingFrom_ = message.streamEnd;
    keptInCallback_ = false;
}

void OutputDevice::DeliveredLocked(const Message& message) {
    if (!message.full) return;
    deliveringPlayed_ = false;
    --requeuesAwaited_;
    lastPlayedDone_ = Clock::now();
    // A callback that drew the next block without queueing one (the end of a file): its state
    // is kept unless one is kept for that block already.
    if (!keptInCallback_ && marks_) marks_->KeepIfNew(soundingFrom_);
}

void OutputDevice::MarkDoneLocked(WAVEHDR* header, bool played, std::uint64_t streamEnd) {
    header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE;
    Message message{MM_WOM_DONE, header, played};
    message.streamEnd = streamEnd;
    PostLocked(message);
    if (played) ++requeuesAwaited_;
}

// A sound card pulls in chunks when its server asks, on a grid of several milliseconds, so a
// block's end is pulled up to a grid step or two early or late. A done message for a block that
// ended with its chunk may wait until the block's length (less a little) after the one before,
// a few milliseconds at most: the module's done messages then keep the blocks' pace, and the
// next pull is a whole chunk away. For the last message posted.
void OutputDevice::HoldEarlyDoneLocked(const WAVEHDR& header) {
    if (!soundDevice() || bytesPerSecond_ == 0 || lastPlayedDone_ == Clock::time_point{}) return;
    const auto length =
        std::chrono::microseconds(std::uint64_t{header.dwBufferLength} * 1000000 / bytesPerSecond_);
    const Clock::time_point paced = lastPlayedDone_ + length - kDoneSlack;
    messages_.back().notBefore = std::min(paced, Clock::now() + kMaxDoneHold);
}

// True when a message was being held.
bool OutputDevice::ReleaseHeldLocked() {
    bool released = false;
    for (Message& message : messages_) {
        released = released || message.notBefore != Clock::time_point{};
        message.notBefore = {};
    }
    return released;
}

void OutputDevice::ForgetRequeueLocked(Message& message) {
    if (message.full) --requeuesAwaited_;
    message.full = false;
}

}  // namespace quorvel::device::detail
