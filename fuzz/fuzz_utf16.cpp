// Differential target: valid UTF-8 text parsed with lyrx_parse must give the
// same result as the same text written as a UTF-16LE or UTF-16BE file with a
// byte-order mark and read with lyrx_parse_file, which only adds the
// conversion warning at the end. Other inputs are ignored.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "lyrx.h"
#include "utf8.hpp"

namespace {

struct snapshot {
    int32_t status = 0;
    std::string error;
    bool has_tag[4] = {};  // an empty tag is not an absent one
    std::string tags[4];
    int32_t offset = 0;
    std::vector<int32_t> starts, ends;
    std::vector<std::string> texts, warnings;
};

const char *const kTagKeys[] = {"ti", "ar", "al", "by"};

snapshot take(int32_t status) {
    snapshot s;
    s.status = status;
    s.error = lyrx_last_error();
    for (int k = 0; k < 4; k++)
        if (const char *v = lyrx_meta(kTagKeys[k])) {
            s.tags[k] = v;
            s.has_tag[k] = true;
        }
    s.offset = lyrx_offset_ms();
    for (int32_t i = 0; i < lyrx_line_count(); i++) {
        s.starts.push_back(lyrx_line_start_ms(i));
        s.ends.push_back(lyrx_line_end_ms(i));
        s.texts.emplace_back(lyrx_line_text(i));
    }
    for (int32_t i = 0; i < lyrx_warning_count(); i++) s.warnings.emplace_back(lyrx_warning(i));
    return s;
}

// Prints the first difference and aborts, so a crash report says what differs.
void compare(const snapshot &text, const snapshot &file, const char *encoding) {
    auto differ = [&](const char *what, const std::string &a, const std::string &b) {
        std::fprintf(stderr, "%s file differs from the text in %s:\n  text: '%s'\n  file: '%s'\n", encoding, what,
                     a.c_str(), b.c_str());
        lyrx_fuzz::fail("UTF-16 file and UTF-8 text disagree");
    };
    auto num = [](long long n) { return std::to_string(n); };
    if (text.status != file.status) differ("status", num(text.status), num(file.status));
    if (text.error != file.error) differ("error", text.error, file.error);
    for (int k = 0; k < 4; k++) {
        if (text.has_tag[k] != file.has_tag[k] || text.tags[k] != file.tags[k])
            differ(kTagKeys[k], text.has_tag[k] ? text.tags[k] : "(none)", file.has_tag[k] ? file.tags[k] : "(none)");
    }
    if (text.offset != file.offset) differ("offset", num(text.offset), num(file.offset));
    if (text.texts.size() != file.texts.size())
        differ("line count", num(static_cast<long long>(text.texts.size())),
               num(static_cast<long long>(file.texts.size())));
    for (size_t i = 0; i < text.texts.size(); i++) {
        if (text.starts[i] != file.starts[i]) differ("a start", num(text.starts[i]), num(file.starts[i]));
        if (text.ends[i] != file.ends[i]) differ("an end", num(text.ends[i]), num(file.ends[i]));
        if (text.texts[i] != file.texts[i]) differ("a line text", text.texts[i], file.texts[i]);
    }
    std::vector<std::string> want = text.warnings;
    want.push_back(std::string("encoding: converted ") + encoding + " BOM to UTF-8");
    if (want.size() != file.warnings.size())
        differ("warning count", num(static_cast<long long>(want.size())),
               num(static_cast<long long>(file.warnings.size())));
    for (size_t i = 0; i < want.size(); i++)
        if (want[i] != file.warnings[i]) differ("a warning", want[i], file.warnings[i]);
}

void check_file(const snapshot &text, std::string_view utf8, bool big_endian) {
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    bytes += lyrx_test::utf8_to_utf16(utf8, big_endian);
    if (!lyrx_fuzz::write_temp_file(bytes)) return;
    int32_t status = lyrx_parse_file(lyrx_fuzz::temp_file_path().c_str());
    lyrx_fuzz::remove_temp_file();
    compare(text, take(status), big_endian ? "UTF-16BE" : "UTF-16LE");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view utf8(reinterpret_cast<const char *>(data), size);
    if (!lyrx_test::valid_utf8(utf8)) return 0;
    // lyrx_parse takes no null pointer for empty text; the file gives empty text too.
    const snapshot text = take(lyrx_parse(size ? utf8.data() : "", size));
    check_file(text, utf8, false);
    check_file(text, utf8, true);
    return 0;
}
