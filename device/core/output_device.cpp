// The output side of the waveform device: blocks play in queue order as the backend takes
// their bytes, each completing with a done message; pause, restart and reset; and, on a sound
// card, done messages sent as each block's end is heard.
#include "core/output_device.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace quorvel::device::detail {
namespace {

// A block alone in flight (a host that keeps one block queued, or the last of a file) is done
// once this little is left unheard, so that its requeue comes before the sound runs dry; and
// not before it has been alone this long, so that a host queueing two at once is seen to.
constexpr auto kLoneLead = std::chrono::milliseconds(500);
constexpr auto kLoneGrace = std::chrono::milliseconds(20);
// A position that stands this long while the backend holds every byte queued is stuck: some
// sound servers wait for more than the host may queue before its next done message (a
// prebuffer after a pause), so the oldest done message goes out rather than hold playback.
constexpr auto kStuckLimit = std::chrono::milliseconds(300);
// The wait is until the position should reach the block's end, so a playing device wakes the
// message thread about once a block; a pause, a queued block or a close wakes it sooner.
constexpr auto kLongestWait = std::chrono::seconds(1);
constexpr auto kShortestWait = std::chrono::microseconds(500);

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
    posted_.notify_one();  // a done message waiting for the sound looks again
    WakeBackend();         // a backend holding audio ahead holds it while paused
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
        for (Message& message : messages_) ForgetRequeueLocked(message);
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
            counters().completed.fetch_add(1);
        }
        // Counted under the lock so that whoever sees the done message also sees the bytes.
        counters().moved.fetch_add(played);
        streamBytes_ += played;
    }
    return played;
}

PlaybackDevice::Supply OutputDevice::Outlook() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (lost_) return Supply::kIdle;
    if (paused_) return Supply::kPaused;
    if (!queue_.empty()) {
        return playedOfHead_ < queue_.front()->dwBufferLength ? Supply::kFlowing
                                                              : Supply::kRequeueDue;
    }
    return requeuesAwaited_ > 0 ? Supply::kRequeueDue : Supply::kIdle;
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
    // A callback that drew the next block without queueing one (the end of a file): its state
    // is kept unless one is kept for that block already.
    if (!keptInCallback_ && marks_) marks_->KeepIfNew(soundingFrom_);
}

void OutputDevice::MarkDoneLocked(WAVEHDR* header, bool played, std::uint64_t streamEnd) {
    header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE;
    Message message{MM_WOM_DONE, header, played};
    message.streamEnd = streamEnd;
    message.posted = Clock::now();
    PostLocked(message);
    if (played) ++requeuesAwaited_;
}

// A sound card's backend reads a block long before it is heard (a sound server holds three
// quarters of a second ahead), in chunks on the server's grid, not the blocks'. Its done message
// goes out when the backend's position says the block's last byte is heard, as Windows sends it,
// so done messages keep the blocks' pace whatever the chunks.
bool OutputDevice::AwaitsBackendLocked(const Message& message) {
    return message.full && message.id == MM_WOM_DONE && soundDevice() && bytesPerSecond_ > 0;
}

Clock::duration OutputDevice::WaitLocked(std::uint64_t unheard, std::uint64_t taken) {
    const Message& message = messages_.front();
    if (!AwaitsBackendLocked(message)) return Clock::duration::zero();
    const std::uint64_t heard = taken - std::min(unheard, taken);
    if (heard >= message.streamEnd) return Clock::duration::zero();
    const Clock::time_point now = Clock::now();
    if (heard != lastHeard_ || taken != lastTaken_ || !queue_.empty() || paused_) {
        lastHeard_ = heard;
        lastTaken_ = taken;
        heardMovedAt_ = now;
    } else if (now - heardMovedAt_ >= kStuckLimit) {
        return Clock::duration::zero();
    }
    Clock::duration wait = DurationOf(message.streamEnd - heard);
    // Alone in flight, the block's requeue is all that keeps the sound going.
    if (requeuesAwaited_ == 1 && queue_.empty() && !paused_) {
        const Clock::duration alone = message.posted + kLoneGrace - now;
        const Clock::duration dry = DurationOf(unheard) - kLoneLead;
        const Clock::duration lone = std::max(alone, dry);
        if (lone <= Clock::duration::zero()) return Clock::duration::zero();
        wait = std::min(wait, lone);
    }
    return std::clamp<Clock::duration>(wait, kShortestWait, kLongestWait);
}

Clock::duration OutputDevice::DurationOf(std::uint64_t bytes) const {
    return std::chrono::microseconds(bytes * 1000000 / bytesPerSecond_);
}

void OutputDevice::ForgetRequeueLocked(Message& message) {
    if (message.full) --requeuesAwaited_;
    message.full = false;
}

}  // namespace quorvel::device::detail
