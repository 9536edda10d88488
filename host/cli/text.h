// Text that quorvel shows a person: names from the command line or from files, made safe to
// print, and the small formatting helpers every command shares.
#ifndef QUORVEL_HOST_TEXT_H
#define QUORVEL_HOST_TEXT_H

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace quorvel::host {

// `text` in double quotes, with control characters and bytes that are not UTF-8 written as
// \xHH, so a file name can never send escape sequences to the terminal.
std::string Quoted(const std::string& text);

// `value` as one line of JSON (nlohmann-json), each byte of its text that is not UTF-8 replaced
// by U+FFFD, so the line is valid JSON whatever a name or tag holds.
std::string JsonLine(const nlohmann::ordered_json& value);

// "2.50": seconds with two decimals.
std::string Seconds(double seconds);

// "1 block", "3 blocks".
std::string BlockCount(std::uint64_t blocks);

// The last component of a path, made safe to print (unquoted).
std::string BaseName(const std::string& path);

// Sentences on standard error, prefixed with "quorvel: " (and "warning: "). Warnings are
// left out under -q, errors never.
void Error(const std::string& sentence);
void Warn(const std::string& sentence);

// -q: only errors reach standard error. Status lines, notices and summaries go through Say.
void SetQuiet(bool quiet);
bool Quiet();
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quorvel::host

#endif
