// A sound file opened with libsndfile and read as the 16-bit samples the module plays: what
// libsndfile says of it, and its frames converted with rounding and clipping.
#ifndef QUORVEL_HOST_SOUND_FILE_H
#define QUORVEL_HOST_SOUND_FILE_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/problem.h"

namespace quorvel::host {

struct WavReport;

struct SoundFacts {
    std::string container;  // libsndfile's name, e.g. "FLAC (Free Lossless Audio Codec)"
    std::string codec;      // libsndfile's name, e.g. "Signed 24 bit PCM"
    std::string summary;    // for a sentence, e.g. "FLAC, 24-bit", "Ogg Vorbis", "RIFX, 16-bit PCM"
    int bits = 0;           // bits per sample as stored; 0 for codecs that have none (lossy ones)
    int rate = 0;
    int channels = 0;
    std::int64_t frames = -1;  // as the header says; -1 when it says nothing
    std::vector<std::pair<std::string, std::string>>
        tags;  // ("title", "..."), in libsndfile's order
    // 16-bit integer samples: the conversion copies them as they are.
    bool sixteenBitPcm = false;
};

class SoundFile {
  public:
    SoundFile();
    SoundFile(const SoundFile&) = delete;
    SoundFile& operator=(const SoundFile&) = delete;
    ~SoundFile();

    // Opens `path` (`name` is how a person knows it). `wav` is what the WAV checker found, so
    // that a streaming writer's placeholder sizes can be read past and a WAV codec libsndfile
    // lacks can be named. False, with one sentence naming the file in *problem, when libsndfile
    // cannot decode it.
    bool Open(const std::string& path, const std::string& name, const WavReport& wav,
              Problem* problem);
    const SoundFacts& facts() const { return facts_; }

    // Up to `frames` frames of interleaved 16-bit samples; 0 at the end, -1 on a decoding error
    // (described by error()). Reads on past the header's frame count until the decoder itself
    // ends, since some headers undercount.
    long Read(std::int16_t* out, long frames);
    std::string error() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
    SoundFacts facts_;
};

}  // namespace quorvel::host

#endif
