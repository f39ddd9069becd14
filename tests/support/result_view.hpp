// The result of the last parse as plain values, read through the public API,
// so table tests can compare whole results and print readable differences.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lyrx.h"

namespace lyrx_test {

constexpr int32_t kMax = INT32_MAX;
constexpr int32_t kMin = INT32_MIN;
inline const std::string kNoLyrics = "Invalid or empty LRC text. Can't find any lyrics.";
inline const std::string kMetaOnly = "LRC has metadata but no lyric lines";

// (start_ms, text) of one line, the form the table expectations use.
using Line = std::pair<int32_t, std::string>;

struct ResultView {
    int32_t status = 0;
    std::string error;
    std::optional<std::string> ti, ar, al, by;
    int32_t offset = 0;
    std::vector<Line> lines;
    std::vector<int32_t> ends;
    std::vector<std::string> warnings;
};

inline std::optional<std::string> opt(const char *s) {
    return s ? std::optional<std::string>(s) : std::nullopt;
}

inline ResultView capture(int32_t status) {
    ResultView v;
    v.status = status;
    v.error = lyrx_last_error();
    v.ti = opt(lyrx_meta("ti"));
    v.ar = opt(lyrx_meta("ar"));
    v.al = opt(lyrx_meta("al"));
    v.by = opt(lyrx_meta("by"));
    v.offset = lyrx_offset_ms();
    for (int32_t i = 0; i < lyrx_line_count(); ++i) {
        const char *text = lyrx_line_text(i);
        v.lines.emplace_back(lyrx_line_start_ms(i), text ? text : "<null>");
        v.ends.push_back(lyrx_line_end_ms(i));
    }
    for (int32_t i = 0; i < lyrx_warning_count(); ++i) {
        const char *w = lyrx_warning(i);
        v.warnings.emplace_back(w ? w : "<null>");
    }
    return v;
}

// Parses from a heap block of exactly the input's size (no terminator after
// it), so a read past the end shows up under the address sanitizer.
inline int32_t parse_exact(std::string_view input) {
    std::unique_ptr<char[]> block(new char[input.empty() ? 1 : input.size()]);
    if (!input.empty()) std::memcpy(block.get(), input.data(), input.size());
    return lyrx_parse(block.get(), input.size());
}

inline ResultView parse_view(std::string_view input) { return capture(parse_exact(input)); }

}  // namespace lyrx_test
