// The module as a host sees it: exactly four exported names, the version data carried in the
// file, load and unload touching nothing, the results of the entry points with no work, and
// the screen objects its starts leave.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "QuorvelWaveForm.h"
#include "quorvel/device_testing.hpp"
#include "support/test_support.h"

namespace {

namespace device = quorvel::device;
using qwf::test::Bytes;

// Where a field of an ELF record starting at `at` lies, and its size, in the file's class.
#define ELF_FIELD(Record, at, field)                                                    \
    (at) + (wide_ ? offsetof(Elf64_##Record, field) : offsetof(Elf32_##Record, field)), \
        (wide_ ? sizeof(Elf64_##Record::field) : sizeof(Elf32_##Record::field))

// The library's ELF file read field by field in its own class (32 or 64-bit, from the
// identification bytes) and byte order, so the module built for any target can be checked.
class ElfFile {
  public:
    explicit ElfFile(const Bytes& file)
        : file_(file),
          wide_(file.size() > EI_CLASS && file[EI_CLASS] == ELFCLASS64),
          bigEndian_(file.size() > EI_DATA && file[EI_DATA] == ELFDATA2MSB) {}

    struct Section {
        std::uint32_t name, type, link;
        std::uint64_t offset, size;
    };

    std::vector<Section> Sections() const {
        const std::uint64_t tableAt = Field(ELF_FIELD(Ehdr, 0, e_shoff));
        const std::uint64_t entrySize = Field(ELF_FIELD(Ehdr, 0, e_shentsize));
        std::vector<Section> sections(Field(ELF_FIELD(Ehdr, 0, e_shnum)));
        for (std::size_t i = 0; i < sections.size(); ++i) {
            const std::uint64_t at = tableAt + i * entrySize;
            sections[i] =
                Section{static_cast<std::uint32_t>(Field(ELF_FIELD(Shdr, at, sh_name))),
                        static_cast<std::uint32_t>(Field(ELF_FIELD(Shdr, at, sh_type))),
                        static_cast<std::uint32_t>(Field(ELF_FIELD(Shdr, at, sh_link))),
                        Field(ELF_FIELD(Shdr, at, sh_offset)), Field(ELF_FIELD(Shdr, at, sh_size))};
        }
        return sections;
    }
    std::size_t SectionNamesIndex() const { return Field(ELF_FIELD(Ehdr, 0, e_shstrndx)); }

    struct Symbol {
        std::uint32_t name;
        unsigned char info;
        std::uint16_t section;
    };
    std::size_t SymbolSize() const { return wide_ ? sizeof(Elf64_Sym) : sizeof(Elf32_Sym); }
    Symbol SymbolAt(std::uint64_t at) const {
        return Symbol{static_cast<std::uint32_t>(Field(ELF_FIELD(Sym, at, st_name))),
                      static_cast<unsigned char>(Field(ELF_FIELD(Sym, at, st_info))),
                      static_cast<std::uint16_t>(Field(ELF_FIELD(Sym, at, st_shndx)))};
    }

    // Note headers are three 32-bit words in both classes.
    std::uint32_t Word(std::uint64_t at) const {
        return static_cast<std::uint32_t>(Field(at, sizeof(Elf32_Word)));
    }
    const char* Text(std::uint64_t at) const {
        return reinterpret_cast<const char*>(file_.data() + at);
    }

  private:
    std::uint64_t Field(std::uint64_t at, std::size_t size) const {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint64_t byte = file_.at(at + (bigEndian_ ? i : size - 1 - i));
            value = (value << 8) | byte;
        }
        return value;
    }

    const Bytes& file_;
    bool wide_;
    bool bigEndian_;
};
#undef ELF_FIELD

// The names of the defined global symbols in the library's dynamic symbol table, in table order.
std::vector<std::string> ExportedNames(const Bytes& file) {
    const ElfFile elf(file);
    const std::vector<ElfFile::Section> sections = elf.Sections();
    std::vector<std::string> names;
    for (const ElfFile::Section& section : sections) {
        if (section.type != SHT_DYNSYM) continue;
        const ElfFile::Section& strings = sections.at(section.link);
        for (std::uint64_t offset = 0; offset < section.size; offset += elf.SymbolSize()) {
            const ElfFile::Symbol symbol = elf.SymbolAt(section.offset + offset);
            const int binding = symbol.info >> 4;  // ELF32_ST_BIND and ELF64_ST_BIND alike
            if (symbol.section == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) {
                continue;
            }
            names.emplace_back(elf.Text(strings.offset + symbol.name));
        }
    }
    return names;
}

// The description of the note in the named section, as text.
std::string NoteText(const Bytes& file, const std::string& sectionName, std::string* owner,
                     unsigned* sectionType) {
    const ElfFile elf(file);
    const std::vector<ElfFile::Section> sections = elf.Sections();
    const ElfFile::Section& names = sections.at(elf.SectionNamesIndex());
    for (const ElfFile::Section& section : sections) {
        if (sectionName != elf.Text(names.offset + section.name)) continue;
        *sectionType = section.type;
        const std::uint32_t nameSize = elf.Word(section.offset);
        const std::uint32_t descriptionSize = elf.Word(section.offset + 4);
        const std::uint64_t body = section.offset + 12;
        *owner = std::string(elf.Text(body), nameSize - 1);
        const std::uint64_t description = body + ((nameSize + 3) & ~3u);
        return std::string(elf.Text(description), descriptionSize - 1);
    }
    return {};
}

TEST(ModuleFile, ExportsExactlyTheFourEntryPointsInTableOrder) {
    const Bytes file = qwf::test::ReadFile(QWF_MODULE_PATH);
    ASSERT_GT(file.size(), sizeof(Elf32_Ehdr));
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
    output.pace = QWD_PACE_FAST;
    ASSERT_TRUE(device::ConfigureOutput(output));
    device::InputSettings input;
    input.pace = QWD_PACE_FAST;
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
                static_cast<std::size_t>(device::LiveScreenObjects()), kStarts);
    ASSERT_EQ(dlclose(module), 0);
    EXPECT_EQ(device::LiveScreenObjects(), before);
}

}  // namespace
