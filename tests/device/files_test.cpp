// 16-bit string helpers and _wfopen: UTF-16 paths, modes, and what may be opened.
#include <windows.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "quorvel/device_testing.hpp"

namespace qd = quorvel::device;

namespace {

class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qd::ResetAll();
        char pattern[] = "/tmp/qwf-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // The temporary directory is ASCII, so its UTF-16 form is a plain widening.
    std::u16string Wide(const std::u16string& name) const {
        return std::u16string(dir_.begin(), dir_.end()) + u"/" + name;
    }
    void WriteFile(const std::string& utf8Path, const std::string& content) const {
        std::ofstream(utf8Path, std::ios::binary) << content;
    }

    std::string dir_;
};

// _wfopen's result and errno, from a thread that is released if the call blocks.
std::pair<FILE*, int> OpenWithoutHanging(const std::u16string& path, const char16_t* mode,
                                         const std::string& fifoPath) {
    auto call = std::async(std::launch::async, [&] {
        FILE* file = _wfopen(path.c_str(), mode);
        return std::make_pair(file, errno);
    });
    if (call.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
        ADD_FAILURE() << "_wfopen blocked on a FIFO";
        const int unblock = open(fifoPath.c_str(), O_RDWR | O_NONBLOCK);
        auto result = call.get();
        close(unblock);
        return result;
    }
    return call.get();
}

TEST(WideStrings, LengthAndBoundedCopy) {
    EXPECT_EQ(lstrlenW(nullptr), 0);
    EXPECT_EQ(lstrlenW(u""), 0);
    EXPECT_EQ(lstrlenW(u"a\U0001F600b"), 4);  // counts UTF-16 units

    char16_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'x');
    EXPECT_EQ(lstrcpynW(buffer, u"abcdefgh", 4), buffer);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(buffer[4], u'x') << "nothing written past the terminator";
    lstrcpynW(buffer, u"abcdefg", 8);
    EXPECT_EQ(std::u16string(buffer), u"abcdefg");
    lstrcpynW(buffer, u"abc", 1);
    EXPECT_EQ(buffer[0], 0);
    buffer[0] = u'q';
    EXPECT_EQ(lstrcpynW(buffer, u"abc", 0), buffer);
    EXPECT_EQ(buffer[0], u'q');
    lstrcpynW(buffer, nullptr, 8);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(lstrcpynW(nullptr, u"abc", 8), nullptr);
}

TEST_F(FilesTest, OpensANonAsciiNameGivenInUtf16) {
    WriteFile(dir_ + "/h\u00e9llo-\u65e5\u672c-\U0001F600.wav", "data");
    FILE* file = _wfopen(Wide(u"h\u00e9llo-\u65e5\u672c-\U0001F600.wav").c_str(), u"rb");
    ASSERT_NE(file, nullptr);
    char text[8] = {};
    EXPECT_EQ(fread(text, 1, sizeof text, file), 4u);
    EXPECT_STREQ(text, "data");
    EXPECT_NE(fcntl(fileno(file), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(fcntl(fileno(file), F_GETFL) & O_NONBLOCK, 0);
    fclose(file);

    errno = 0;
    EXPECT_EQ(_wfopen(Wide(u"missing.wav").c_str(), u"rb"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesTest, RejectsBadArgumentsWithErrno) {
    WriteFile(dir_ + "/a.wav", "x");
    const std::u16string good = Wide(u"a.wav");
    // Unpaired surrogates: at the end, alone, and a high one followed by a plain letter.
    for (const char16_t* name : {u"bad\xD800", u"bad\xDC00name", u"bad\xD800\x41"}) {
        errno = 0;
        EXPECT_EQ(_wfopen(Wide(name).c_str(), u"wb"), nullptr);
        EXPECT_EQ(errno, EILSEQ);
    }
    for (const char16_t* mode : {u"", u"x", u"rr", u"rbb", u"r++", u"rt", u"br", u"wbx"}) {
        errno = 0;
        EXPECT_EQ(_wfopen(good.c_str(), mode), nullptr) << std::string(mode, mode + lstrlenW(mode));
        EXPECT_EQ(errno, EINVAL);
    }
    errno = 0;
    EXPECT_EQ(_wfopen(nullptr, u"rb"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(_wfopen(good.c_str(), nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    for (const char16_t* mode : {u"r", u"rb", u"r+b", u"rb+", u"ab", u"a+"}) {
        FILE* file = _wfopen(good.c_str(), mode);
        EXPECT_NE(file, nullptr);
        if (file != nullptr) fclose(file);
    }
}

TEST_F(FilesTest, OpensOnlyRegularFilesForReadingAndNeverBlocks) {
    errno = 0;
    EXPECT_EQ(_wfopen(Wide(u"").c_str(), u"rb"), nullptr);
    EXPECT_EQ(errno, EISDIR);
    errno = 0;
    EXPECT_EQ(_wfopen(Wide(u"").c_str(), u"wb"), nullptr);
    EXPECT_EQ(errno, EISDIR);

    const std::string fifo = dir_ + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const char16_t* mode : {u"rb", u"wb"}) {
        const auto [file, code] = OpenWithoutHanging(Wide(u"pipe"), mode, fifo);
        EXPECT_EQ(file, nullptr);
        EXPECT_NE(code, 0);
        if (file != nullptr) fclose(file);
    }
}

// The services' other files to write, the output sink and the screen's PNG, refuse a FIFO that no
// program reads in one sentence naming it, where opening it would wait for a reader for ever.
TEST_F(FilesTest, TheSinkAndTheScreenRefuseAFifoWithNoReader) {
    const std::string fifo = dir_ + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto refused = [&fifo](const std::function<bool(std::string*)>& open) {
        std::string error;
        auto call = std::async(std::launch::async, [&] { return open(&error); });
        const bool blocked = call.wait_for(std::chrono::seconds(5)) == std::future_status::timeout;
        EXPECT_FALSE(blocked) << "blocked on a FIFO";
        const int unblock = blocked ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        EXPECT_FALSE(call.get());
        if (unblock >= 0) ::close(unblock);
        return error;
    };
    qd::OutputSettings settings;
    settings.sink_file = fifo.c_str();
    EXPECT_EQ(refused([&](std::string* error) { return qd::ConfigureOutput(settings, error); }),
              "Cannot create the output sink file \"" + fifo +
                  "\": it is a FIFO that no program is reading.");
    EXPECT_EQ(
        refused([&](std::string* error) { return qd::WriteScreenPng(fifo, error); }),
        "Cannot write the screen to \"" + fifo + "\": it is a FIFO that no program is reading.");
}

TEST_F(FilesTest, WriteModesCreateTruncateAndAppend) {
    const std::string path = dir_ + "/out.wav";
    const mode_t mask = umask(022);
    FILE* file = _wfopen(Wide(u"out.wav").c_str(), u"wb");
    umask(mask);
    ASSERT_NE(file, nullptr);
    fputs("0123456789", file);
    fclose(file);
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);

    file = _wfopen(Wide(u"out.wav").c_str(), u"wb");
    ASSERT_NE(file, nullptr);
    fputs("xy", file);
    fclose(file);
    EXPECT_EQ(std::filesystem::file_size(path), 2u);

    file = _wfopen(Wide(u"out.wav").c_str(), u"ab");
    ASSERT_NE(file, nullptr);
    fputs("z", file);
    fclose(file);
    file = _wfopen(Wide(u"out.wav").c_str(), u"r+b");
    ASSERT_NE(file, nullptr);
    char text[8] = {};
    EXPECT_EQ(fread(text, 1, sizeof text, file), 3u);
    EXPECT_STREQ(text, "xyz");
    fclose(file);
}

TEST_F(FilesTest, JournalShowsPathAsUtf8AndOutcome) {
    WriteFile(dir_ + "/\u00e9.wav", "x");
    qd::EnableJournal(true);
    FILE* file = _wfopen(Wide(u"\xE9.wav").c_str(), u"rb");
    ASSERT_NE(file, nullptr);
    fclose(file);
    EXPECT_EQ(lstrlenW(u"not journaled"), 13);
    _wfopen(Wide(u"\xD800").c_str(), u"wb");
    _wfopen(nullptr, u"rb");
    qd::EnableJournal(false);

    const std::vector<std::string> expected = {
        "_wfopen(\"" + dir_ + "/\u00e9.wav\", \"rb\") = 1",
        "_wfopen(\"" + dir_ + "/\uFFFD\", \"wb\") = 0",
        "_wfopen(null, \"rb\") = 0",
    };
    EXPECT_EQ(qd::JournalEntries(), expected);
}

}  // namespace
