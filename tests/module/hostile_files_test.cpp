// Hostile WAV files through playback: every entry of the generated corpus (tests/hostile)
// returns 999 and ends within a bound; the device either refuses its format with nothing
// played, never opens for a file that cannot be read, or plays exactly the file's bytes from
// offset 44. Writes the outcomes as a table to hostile_files_table.txt in the working folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "QuorvelWaveForm.h"
#include "frame/module.h"
#include "quorvel/device_testing.hpp"
#include "support/test_support.h"

namespace qwf::test {
namespace {

namespace device = quorvel::device;

struct CorpusEntry {
    std::string name;
    std::string kind;
    std::string fresh;           // outcome in a freshly loaded module
    std::string afterReference;  // outcome right after reference.wav was played
};

std::vector<CorpusEntry> ReadManifest(const std::string& path) {
    std::vector<CorpusEntry> entries;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        CorpusEntry entry;
        std::getline(fields, entry.name, '\t');
        std::getline(fields, entry.kind, '\t');
        std::getline(fields, entry.fresh, '\t');
        std::getline(fields, entry.afterReference, '\t');
        entries.push_back(entry);
    }
    return entries;
}

// What the device must play: the bytes from offset 44 in blocks of 4000, a trailing half
// sample silent and the last block completed with silence.
Bytes ExpectedStream(const Bytes& file) {
    Bytes stream(file.begin() + static_cast<long>(std::min<std::size_t>(44, file.size())),
                 file.end());
    if (stream.size() % 2 != 0) stream.back() = 0;
    stream.resize((stream.size() / 4000 + 1) * 4000, 0);
    return stream;
}

struct Observed {
    std::int32_t result = 0;
    std::string outcome;  // "plays", "refused", "unopenable", or what the journal shows instead
    std::string device;   // the table's description of the device's side
    Bytes played;
};

class HostileFiles : public ModuleTest {
  protected:
    // Plays one entry to its end (or until the bound) and reads the outcome off the journal.
    Observed Play(const std::string& path) {
        device::TakePlayedBytes();
        device::EnableJournal(true);
        device::ClearJournal();
        Observed seen;
        seen.result = PlayWavWaveForm(Utf16(path).c_str(), 0x0000FF00, 0);
        const bool ended = device::WaitOutputIdle(std::chrono::seconds(10));
        seen.played = device::TakePlayedBytes();
        std::string open;
        for (const std::string& line : device::JournalEntries()) {
            if (line.rfind("waveOutOpen(", 0) == 0) open = line;
        }
        device::EnableJournal(false);
        if (!ended) {
            seen.outcome = "did not end";
        } else if (open.empty()) {
            seen.outcome = CountJournal("_wfopen(") > 0 ? "unopenable" : "no open attempted";
        } else if (open.find(") = 0 ") != std::string::npos) {
            seen.outcome = "plays";
        } else if (open.find(") = 32") != std::string::npos) {
            seen.outcome = "refused";
        } else {
            seen.outcome = open;
        }
        const std::size_t fmt = open.find("fmt{");
        const std::string format =
            fmt == std::string::npos ? "" : open.substr(fmt, open.find('}', fmt) - fmt + 1);
        if (seen.outcome == "plays") {
            seen.device =
                "open " + format + " = 0, played " + std::to_string(seen.played.size()) + " bytes";
        } else if (seen.outcome == "refused") {
            seen.device = "open " + format + " = 32 WAVERR_BADFORMAT";
        } else if (seen.outcome == "unopenable") {
            seen.device = "not opened (file not readable)";
        } else {
            seen.device = seen.outcome;
        }
        return seen;
    }

    void PlayReference(const std::string& corpus) {
        device::TakePlayedBytes();
        ASSERT_EQ(PlayWavWaveForm(Utf16(corpus + "/reference.wav").c_str(), 0x0000FF00, 0),
                  WF_DONE);
        ASSERT_TRUE(device::WaitOutputIdle(std::chrono::seconds(10)));
    }
};

TEST_F(HostileFiles, EachFileReturnsDoneAndIsRefusedSkippedOrPlayedExactly) {
    const std::string corpus = dir_ + "/corpus";
    const std::string command =
        "python3 '" QWF_SOURCE_DIR "/tests/module/hostile/make-corpus' '" + corpus + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::vector<CorpusEntry> entries = ReadManifest(corpus + "/manifest.tsv");
    ASSERT_GE(entries.size(), 25u);

    std::ostringstream table;
    table << "file | module result | device (fresh module) | device (after reference.wav)\n";
    for (const CorpusEntry& entry : entries) {
        const std::string path = corpus + "/" + entry.name;
        const Bytes file = entry.kind == "file" ? ReadFile(path) : Bytes();
        table << entry.name;
        for (const bool fresh : {true, false}) {
            SCOPED_TRACE(entry.name + (fresh ? " in a fresh module" : " after reference.wav"));
            if (fresh) {
                // As a newly loaded module: no format fields left from an earlier file.
                ModuleDetach();
                ModuleAttach();
            } else {
                PlayReference(corpus);
            }
            const Observed seen = Play(path);
            EXPECT_EQ(seen.result, WF_DONE);
            EXPECT_EQ(seen.outcome, fresh ? entry.fresh : entry.afterReference);
            if (seen.outcome == "plays") {
                EXPECT_EQ(seen.played, ExpectedStream(file))
                    << seen.played.size() << " bytes played";
            } else {
                EXPECT_TRUE(seen.played.empty()) << seen.played.size() << " bytes played";
            }
            if (fresh) table << " | " << seen.result;
            table << " | " << seen.device;
        }
        table << "\n";
    }
    std::cout << table.str();
    std::ofstream("hostile_files_table.txt") << table.str();
}

}  // namespace
}  // namespace qwf::test
