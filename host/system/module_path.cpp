#include "system/module_path.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/text.h"

namespace quorvel::host {

bool Utf8ToUtf16(const std::string& utf8, std::u16string* utf16) {
    utf16->clear();
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        int extra = 0;
        char32_t code = 0;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(extra) >= utf8.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past Unicode are not UTF-8.
        static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            utf16->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            utf16->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            utf16->push_back(static_cast<char16_t>(code));
        }
        i += 1 + static_cast<std::size_t>(extra);
    }
    return true;
}

ModulePath::~ModulePath() {
    if (fd_ >= 0) ::close(fd_);
}

bool ModulePath::Set(const std::string& path, int openFlags, Problem* problem) {
    std::u16string utf16;
    if (Utf8ToUtf16(path, &utf16) && !utf16.empty() && utf16.size() <= kModulePathLimit) {
        text_ = utf16;
        return true;
    }
    // Kept open until the module is done with the file, so the alias stays valid.
    // Never blocks, on a FIFO swapped in after the checks either.
    fd_ = ::open(path.c_str(), openFlags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        return Fail(problem, kExitFile,
                    "Cannot open " + Quoted(path) + ": " + std::strerror(errno) + ".");
    }
    const std::string alias = "/proc/self/fd/" + std::to_string(fd_);
    text_.assign(alias.begin(), alias.end());
    return true;
}

bool ModulePath::SetForReading(const std::string& path, Problem* problem) {
    return Set(path, O_RDONLY, problem);
}

bool ModulePath::SetForWriting(const std::string& path, Problem* problem) {
    return Set(path, O_WRONLY | O_CREAT, problem);
}

}  // namespace quorvel::host
