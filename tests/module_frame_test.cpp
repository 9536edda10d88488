// The module as a host sees it: exactly four exported names, the version data carried in the
// file, load and unload touching nothing, the results of the entry points with no work, and
// the screen objects its starts leave.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "QuorvelWaveForm.h"
#include "quorvel/device.h"
#include "support/test_support.h"

namespace {

namespace device = quorvel::device;
using qwf::test::Bytes;

// The names of the defined global symbols in the library's dynamic symbol table, in table order.
std::vector<std::string> ExportedNames(const Bytes& file) {
    std::vector<std::string> names;
    Elf64_Ehdr header;
    std::memcpy(&header, file.data(), sizeof header);
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    std::memcpy(sections.data(), file.data() + header.e_shoff, header.e_shnum * sizeof(Elf64_Shdr));
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_type != SHT_DYNSYM) continue;
        const Elf64_Shdr& strings = sections[section.sh_link];
        for (std::size_t offset = 0; offset < section.sh_size; offset += sizeof(Elf64_Sym)) {
            Elf64_Sym symbol;
            std::memcpy(&symbol, file.data() + section.sh_offset + offset, sizeof symbol);
            const int binding = ELF64_ST_BIND(symbol.st_info);
            if (symbol.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) {
                continue;
            }
            names.emplace_back(
                reinterpret_cast<const char*>(file.data() + strings.sh_offset + symbol.st_name));
        }
    }
    return names;
}

// The description of the note in the named section, as text.
std::string NoteText(const Bytes& file, const std::string& sectionName, std::string* owner,
                     unsigned* sectionType) {
    Elf64_Ehdr header;
    std::memcpy(&header, file.data(), sizeof header);
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    std::memcpy(sections.data(), file.data() + header.e_shoff, header.e_shnum * sizeof(Elf64_Shdr));
    const Elf64_Shdr& names = sections[header.e_shstrndx];
    for (const Elf64_Shdr& section : sections) {
        const char* name =
            reinterpret_cast<const char*>(file.data() + names.sh_offset + section.sh_name);
        if (sectionName != name) continue;
        *sectionType = section.sh_type;
        Elf64_Nhdr note;
        std::memcpy(&note, file.data() + section.sh_offset, sizeof note);
        const auto* body = file.data() + section.sh_offset + sizeof note;
        *owner = std::string(reinterpret_cast<const char*>(body), note.n_namesz - 1);
        const auto* desc = body + ((note.n_namesz + 3) & ~3u);
        return std::string(reinterpret_cast<const char*>(desc), note.n_descsz - 1);
    }
    return {};
}

TEST(ModuleFile, ExportsExactlyTheFourEntryPointsInTableOrder) {
    const Bytes file = qwf::test::ReadFile(QWF_MODULE_PATH);
    ASSERT_GT(file.size(), sizeof(Elf64_Ehdr));
    const std::vector<std::string> expected = {"PlayWavWaveForm", "PlayWavWaveFormStop",
                                               "WaveRecordWaveForm", "WaveRecordWaveFormStop"};
    // The dynamic symbol table is ordered by hash; listed by name (as nm -D lists them) the
    // four come in the table's order, and the export map names them in that order too.
    std::vector<std::string> exported = ExportedNames(file);
    std::sort(exported.begin(), exported.end());
    EXPECT_EQ(exported, expected);
    const Bytes map = qwf::test::ReadFile(QWF_SOURCE_DIR "/src/frame/exports.map");
    const std::string text(map.begin(), map.end());
    std::size_t previous = 0;
    for (const std::string& name : expected) {
        const std::size_t at = text.find("    " + name + ";");
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_GT(at, previous) << name;
        previous = at;
    }
    EXPECT_NE(std::string(QWF_MODULE_PATH).find("libQuorvelWaveForm.so.1.0.0.1"),
              std::string::npos);
}

TEST(ModuleFile, CarriesTheVersionDataAsAReadableNote) {
    const Bytes file = qwf::test::ReadFile(QWF_MODULE_PATH);
    std::string owner;
    unsigned type = 0;
    const std::string text = NoteText(file, ".note.QuorvelWaveForm.version", &owner, &type);
    EXPECT_EQ(type, static_cast<unsigned>(SHT_NOTE));
    EXPECT_EQ(owner, "QuorvelWaveForm");
    EXPECT_EQ(text,
              "FILEVERSION 1,0,0,1\n"
              "PRODUCTVERSION 1,0,0,1\n"
              "FILEOS 0x4\n"
              "FILETYPE 0x2\n"
              "BLOCK \"040904B0\"\n"
              "VALUE \"CompanyName\" \"\"\n"
              "VALUE \"FileDescription\" \"QuorvelWaveForm DLL\"\n"
              "VALUE \"FileVersion\" \"1, 0, 0, 1\"\n"
              "VALUE \"InternalName\" \"QuorvelWaveForm\"\n"
              "VALUE \"LegalTrademarks\" \"\"\n"
              "VALUE \"OriginalFilename\" \"QuorvelWaveForm.DLL\"\n"
              "VALUE \"ProductName\" \"QuorvelWaveForm Dynamic Link Library\"\n"
              "VALUE \"ProductVersion\" \"1, 0, 0, 1\"\n");
}

TEST(ModuleLoading, LoadAndUnloadTouchNoDeviceFileOrScreen) {
    device::ResetAll();
    device::ClearScreen(0x00123456);
    device::EnableJournal(true);
    const std::uint64_t generation = device::ScreenGeneration();
    for (int round = 0; round < 3; ++round) {
        void* module = dlopen(QWF_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << dlerror();
        EXPECT_NE(dlsym(module, "PlayWavWaveForm"), nullptr);
        EXPECT_EQ(dlsym(module, "OnWaveOutMessage"), nullptr);
        EXPECT_EQ(dlclose(module), 0);
    }
    EXPECT_TRUE(device::JournalEntries().empty());
    EXPECT_EQ(device::ScreenGeneration(), generation);
    EXPECT_EQ(device::OpenOutputDevices(), 0);
    EXPECT_EQ(device::OpenInputDevices(), 0);
}

TEST(ModuleLoading, EntryPointsWithNothingStartedReturnDoneAndZero) {
    device::ResetAll();
    void* module = dlopen(QWF_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    const auto toggle =
        reinterpret_cast<PlayWavWaveFormStopFn>(dlsym(module, "PlayWavWaveFormStop"));
    const auto stop =
        reinterpret_cast<WaveRecordWaveFormStopFn>(dlsym(module, "WaveRecordWaveFormStop"));
    ASSERT_NE(toggle, nullptr);
    ASSERT_NE(stop, nullptr);
    device::EnableJournal(true);
    EXPECT_EQ(toggle(), WF_DONE);
    EXPECT_EQ(toggle(), WF_DONE);
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(stop(), 0);
    // The stop called nothing on a device that does not exist.
    for (const std::string& name : device::JournalNames()) {
        EXPECT_EQ(name.rfind("waveIn", 0), std::string::npos) << name;
    }
    dlclose(module);
}

TEST(ModuleLoading, StartsReleaseTheEarlierStartsScreenObjectsAndUnloadingTheLast) {
    device::ResetAll();
    device::OutputSettings output;
    output.pace = device::Pace::kFast;
    ASSERT_TRUE(device::ConfigureOutput(output));
    device::InputSettings input;
    input.pace = device::Pace::kFast;
    ASSERT_TRUE(device::ConfigureInput(input));
    const std::string dir = qwf::test::MakeTempDir();
    const std::u16string tiny = qwf::test::Utf16(dir + "/tiny.wav");
    const std::u16string missing = qwf::test::Utf16(dir + "/missing.wav");
    qwf::test::WriteFile(dir + "/tiny.wav", qwf::test::MakeWav(qwf::test::PatternSamples(100)));
    const std::size_t before = device::LiveScreenObjects();

    void* module = dlopen(QWF_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    const auto play = reinterpret_cast<PlayWavWaveFormFn>(dlsym(module, "PlayWavWaveForm"));
    const auto record = reinterpret_cast<WaveRecordWaveFormFn>(dlsym(module, "WaveRecordWaveForm"));
    const auto stop =
        reinterpret_cast<WaveRecordWaveFormStopFn>(dlsym(module, "WaveRecordWaveFormStop"));
    ASSERT_TRUE(play != nullptr && record != nullptr && stop != nullptr);
    constexpr int kStarts = 1'000;
    // Each kind keeps only its last start's context, pen and brush.
    for (int i = 0; i < kStarts; ++i) {
        play((i % 2 == 0 ? tiny : missing).c_str(), 0x0000FF00, 0);
    }
    EXPECT_EQ(device::LiveScreenObjects(), before + 3);
    for (int i = 0; i < kStarts; ++i) {
        ASSERT_EQ(record(u"", 0x000000FF, 0), WF_DONE);
        stop();
    }
    EXPECT_EQ(device::LiveScreenObjects(), before + 6);
    std::printf("live screen objects: %zu before, %zu after %d starts of each kind\n", before,
                device::LiveScreenObjects(), kStarts);
    ASSERT_EQ(dlclose(module), 0);
    EXPECT_EQ(device::LiveScreenObjects(), before);
}

}  // namespace
