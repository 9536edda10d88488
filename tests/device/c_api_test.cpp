// The host-side API as C sees it: result codes and qwd_last_error, sized structs, caller
// buffers, strings kept per thread, and the exports the C++ face does not reach.
#include <gtest/gtest.h>
#include <mmsystem.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/device_testing.h"

extern "C" {
std::int64_t CountJournalFromC(void);
qwd_result ConfigureInputFromC(const char* source);
const char* SizedStructsFromC(void);
}

namespace {

using Bytes = std::vector<std::uint8_t>;

class CApiTest : public ::testing::Test {
  protected:
    void SetUp() override { qwd_reset_all(); }
    void TearDown() override { qwd_reset_all(); }
};

void CALLBACK IgnoreMessage(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

// Plays `blocks` through a fast virtual output with a callback, and closes it.
void Play(const std::vector<Bytes>& blocks) {
    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    HWAVEOUT device = nullptr;
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format,
                          reinterpret_cast<DWORD_PTR>(&IgnoreMessage), 0, CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    std::deque<WAVEHDR> headers;
    for (const Bytes& block : blocks) {
        WAVEHDR& header = headers.emplace_back();
        header.lpData = reinterpret_cast<LPSTR>(const_cast<std::uint8_t*>(block.data()));
        header.dwBufferLength = static_cast<DWORD>(block.size());
        ASSERT_EQ(waveOutPrepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(qwd_wait_output_idle(20000), QWD_OK) << qwd_last_error();
    for (WAVEHDR& header : headers) waveOutUnprepareHeader(device, &header, sizeof header);
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(CApiTest, FailuresGiveACodeAndASentenceNamingTheValueOnTheirThreadOnly) {
    EXPECT_EQ(qwd_screen_set_size(0, 77), QWD_ERROR_ARGUMENT);
    EXPECT_NE(std::string(qwd_last_error()).find("0x77"), std::string::npos) << qwd_last_error();
    std::int32_t width = 0, height = 0;
    qwd_screen_size(&width, &height);
    EXPECT_EQ(width, QWD_DEFAULT_SCREEN_WIDTH);
    EXPECT_EQ(height, QWD_DEFAULT_SCREEN_HEIGHT);

    std::string otherThreads;
    std::thread([&] {
        EXPECT_EQ(qwd_configure_output_text("virtual,loud"), QWD_ERROR_FAILED);
        otherThreads = qwd_last_error();
    }).join();
    EXPECT_NE(otherThreads.find("\"loud\""), std::string::npos) << otherThreads;
    EXPECT_NE(std::string(qwd_last_error()).find("0x77"), std::string::npos) << qwd_last_error();

    EXPECT_EQ(ConfigureInputFromC("tone:0"), QWD_ERROR_FAILED);
    EXPECT_NE(std::string(qwd_last_error()).find("tone:0"), std::string::npos) << qwd_last_error();
    EXPECT_EQ(ConfigureInputFromC("ramp"), QWD_OK);
    EXPECT_EQ(qwd_inject_fault(QWD_OP_COUNT, 1, 0, 1), QWD_ERROR_ARGUMENT);
}

TEST_F(CApiTest, StructsSmallerThanThisVersionsAreRefusedAndLeftAlone) {
    qwd_output_settings settings;
    qwd_output_settings_init(&settings);
    EXPECT_EQ(settings.struct_size, sizeof settings);
    settings.struct_size = offsetof(qwd_output_settings, sink_file);
    EXPECT_EQ(qwd_configure_output(&settings), QWD_ERROR_ARGUMENT);
    EXPECT_NE(std::string(qwd_last_error()).find("struct_size"), std::string::npos);
    EXPECT_EQ(qwd_configure_output(nullptr), QWD_ERROR_ARGUMENT);
    settings.struct_size = sizeof settings;
    settings.pace = 7;
    EXPECT_EQ(qwd_configure_output(&settings), QWD_ERROR_ARGUMENT);

    qwd_output_stats stats;
    std::memset(&stats, 0xAB, sizeof stats);
    stats.struct_size = sizeof stats - sizeof stats.devices_lost;
    EXPECT_EQ(qwd_get_output_stats(&stats), QWD_ERROR_ARGUMENT);
    EXPECT_EQ(stats.opened, 0xABABABABABABABABu);
    qwd_input_stats input{};
    input.struct_size = sizeof input;
    EXPECT_EQ(qwd_get_input_stats(&input), QWD_OK);
}

TEST_F(CApiTest, TheScreenIsReadIntoACallersBufferOnlyWhenItFits) {
    ASSERT_EQ(qwd_screen_set_size(3, 2), QWD_OK);
    qwd_screen_clear(0x00332211);
    std::vector<std::uint8_t> rgb(17, 0);
    std::size_t needed = 0;
    EXPECT_EQ(qwd_screen_read_rgb(rgb.data(), rgb.size(), &needed), QWD_ERROR_BUFFER);
    EXPECT_EQ(needed, 18u);
    EXPECT_EQ(rgb, std::vector<std::uint8_t>(17, 0));
    rgb.resize(needed);
    ASSERT_EQ(qwd_screen_read_rgb(rgb.data(), rgb.size(), &needed), QWD_OK);
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
        EXPECT_EQ((std::vector<std::uint8_t>{rgb[i], rgb[i + 1], rgb[i + 2]}),
                  (std::vector<std::uint8_t>{0x11, 0x22, 0x33}));
    }
}

TEST_F(CApiTest, ParsedSettingsKeepTheirStringsAndConfigureAlike) {
    qwd_output_settings parsed{};
    parsed.struct_size = sizeof parsed;
    ASSERT_EQ(qwd_parse_output_settings(" null , fast, sink=/tmp/q wd.raw", &parsed), QWD_OK);
    EXPECT_STREQ(parsed.backend, "null");
    EXPECT_EQ(parsed.pace, QWD_PACE_FAST);
    EXPECT_STREQ(parsed.sink_file, "/tmp/q wd.raw");
    EXPECT_EQ(parsed.sink_memory, 0);

    qwd_input_settings input{};
    input.struct_size = sizeof input;
    ASSERT_EQ(qwd_parse_input_settings("virtual,source=ramp,fifo=123", &input), QWD_OK);
    EXPECT_STREQ(input.backend, "virtual");
    EXPECT_STREQ(input.source, "ramp");
    EXPECT_EQ(input.fifo_frames, 123u);
    EXPECT_STREQ(parsed.sink_file, "/tmp/q wd.raw");  // the other direction's strings stay
    qwd_input_settings_init(&input);
    EXPECT_EQ(input.fifo_frames, QWD_SETTINGS_FIFO_FRAMES);
    EXPECT_EQ(input.source, nullptr);

    ASSERT_EQ(qwd_configure_output_text("null,fast,memory"), QWD_OK);
    Play({Bytes(10, 1)});
    EXPECT_STREQ(qwd_active_output_backend(), "null");
}

TEST_F(CApiTest, PlayedBytesAndHandlerTimesAreTakenInPiecesOldestFirst) {
    ASSERT_EQ(qwd_configure_output_text("virtual,fast,memory"), QWD_OK);
    qwd_time_handlers(1);
    std::vector<Bytes> blocks;
    Bytes expected;
    for (int b = 0; b < 5; ++b) {
        Bytes block(1000 + 2 * b);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<std::uint8_t>(b * 53 + i * 7);
        expected.insert(expected.end(), block.begin(), block.end());
        blocks.push_back(block);
    }
    Play(blocks);

    Bytes played;
    std::uint8_t piece[333];
    std::size_t taken = 0;
    do {
        ASSERT_EQ(qwd_take_played_bytes(piece, sizeof piece, &taken), QWD_OK);
        played.insert(played.end(), piece, piece + taken);
    } while (taken != 0);
    EXPECT_EQ(played, expected);

    std::int64_t times[5];
    EXPECT_EQ(qwd_take_output_handler_times(times, 2), 2u);
    EXPECT_EQ(qwd_take_output_handler_times(times, 5), 3u);
    EXPECT_EQ(qwd_take_output_handler_times(times, 5), 0u);
}

TEST_F(CApiTest, TheJournalAndTheBackendListReadAlikeFromC) {
    qwd_enable_journal(1);
    HWAVEOUT device = nullptr;
    EXPECT_NE(waveOutOpen(&device, WAVE_MAPPER, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    EXPECT_NE(waveOutClose(nullptr), MMSYSERR_NOERROR);
    EXPECT_EQ(CountJournalFromC(), 2);
    EXPECT_EQ(std::string(qwd_journal_entry(1)).rfind("waveOutClose(", 0), 0u);
    EXPECT_EQ(qwd_journal_entry(2), nullptr);
    qwd_reset_all();
    EXPECT_EQ(CountJournalFromC(), 0);

    const std::int32_t count = qwd_audio_backend_count();
    ASSERT_GE(count, 2);
    EXPECT_STREQ(qwd_audio_backend_name(count - 2), "virtual");
    EXPECT_STREQ(qwd_audio_backend_name(count - 1), "null");
    EXPECT_EQ(qwd_audio_backend_name(count), nullptr);
    EXPECT_EQ(qwd_audio_backend_name(-1), nullptr);
    EXPECT_EQ(qwd_version(),
              QWD_VERSION_NUMBER(QWD_VERSION_MAJOR, QWD_VERSION_MINOR, QWD_VERSION_PATCH));
}

// A host built against 2.0 keeps working with a library that added fields, and a later host
// with this library: each side reads and writes only the fields both know.
TEST_F(CApiTest, StructsFromThe20SizeUpAreTakenAndNothingBeyondTheCallersSizeIsTouched) {
    const char* fault = SizedStructsFromC();
    EXPECT_EQ(fault, nullptr) << fault;
}

}  // namespace
