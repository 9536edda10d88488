// Carries the version data in the library file as an ELF note, readable without loading the
// library: `readelf -p .note.QuorvelWaveForm.version libQuorvelWaveForm.so`. The note's
// description is the version resource written out as text, one entry a line.
#include "frame/version_info.h"

// "1,0,0,1": the resource compiler's text form, without spaces.
#define QWF_NOTE_NUMBERS                                                                         \
    QWF_STRINGIZE(QWF_VERSION_MAJOR)                                                             \
    "," QWF_STRINGIZE(QWF_VERSION_MINOR) "," QWF_STRINGIZE(QWF_VERSION_PATCH) "," QWF_STRINGIZE( \
        QWF_VERSION_BUILD)

namespace {

// clang-format off
constexpr char kVersionText[] =
    "FILEVERSION " QWF_NOTE_NUMBERS "\n"
    "PRODUCTVERSION " QWF_NOTE_NUMBERS "\n"
    "FILEOS " QWF_STRINGIZE(QWF_FILE_OS) "\n"
    "FILETYPE " QWF_STRINGIZE(QWF_FILE_TYPE) "\n"
    "BLOCK \"" QWF_STRING_BLOCK "\"\n"
    "VALUE \"CompanyName\" \"" QWF_COMPANY_NAME "\"\n"
    "VALUE \"FileDescription\" \"" QWF_FILE_DESCRIPTION "\"\n"
    "VALUE \"FileVersion\" \"" QWF_VERSION_STRING "\"\n"
    "VALUE \"InternalName\" \"" QWF_INTERNAL_NAME "\"\n"
    "VALUE \"LegalTrademarks\" \"" QWF_LEGAL_TRADEMARKS "\"\n"
    "VALUE \"OriginalFilename\" \"" QWF_ORIGINAL_FILENAME "\"\n"
    "VALUE \"ProductName\" \"" QWF_PRODUCT_NAME "\"\n"
    "VALUE \"ProductVersion\" \"" QWF_VERSION_STRING "\"\n";
// clang-format on

constexpr char kOwner[] = "QuorvelWaveForm";
constexpr unsigned kNoteType = 1;

constexpr unsigned Padded(unsigned size) {
    return (size + 3u) & ~3u;
}

struct VersionNote {
    unsigned nameSize;
    unsigned descSize;
    unsigned type;
    char name[Padded(sizeof kOwner)];
    char desc[Padded(sizeof kVersionText)];
};

constexpr VersionNote MakeNote() {
    VersionNote note{sizeof kOwner, sizeof kVersionText, kNoteType, {}, {}};
    for (unsigned i = 0; i < sizeof kOwner; ++i) note.name[i] = kOwner[i];
    for (unsigned i = 0; i < sizeof kVersionText; ++i) note.desc[i] = kVersionText[i];
    return note;
}

// Kept by the compiler and linker though nothing refers to it.
__attribute__((section(".note.QuorvelWaveForm.version"), used, aligned(4)))
const VersionNote versionNote = MakeNote();

}  // namespace
