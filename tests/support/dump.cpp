// Dumps the result of the last parse through the public API only.
#include "dump.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "lyrx.h"

namespace lyrx_test {

std::string quote(const char *s) {
    if (!s) return "(null)";
    std::string out = "\"";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (*p < 0x20 || *p >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", *p);
            out += buf;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out + "\"";
}

std::string dump_result(int status) {
    std::ostringstream o;
    o << "status " << status << "\n";
    o << "error " << quote(lyrx_last_error()) << "\n";
    for (const char *key : {"ti", "ar", "al", "by"}) o << key << " " << quote(lyrx_meta(key)) << "\n";
    o << "offset " << lyrx_offset_ms() << "\n";
    o << "lines " << lyrx_line_count() << "\n";
    for (int i = 0; i < lyrx_line_count(); i++)
        o << "  " << lyrx_line_start_ms(i) << " " << lyrx_line_end_ms(i) << " " << quote(lyrx_line_text(i)) << "\n";
    o << "warnings " << lyrx_warning_count() << "\n";
    for (int i = 0; i < lyrx_warning_count(); i++) o << "  " << quote(lyrx_warning(i)) << "\n";
    return o.str();
}

// Paths are UTF-8, as the library takes them, on every platform.
static std::filesystem::path utf8_path(const std::string &path) {
    return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

std::string read_file(const std::string &path) {
    std::ifstream in(utf8_path(path), std::ios::binary);
    std::ostringstream o;
    o << in.rdbuf();
    return o.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream out(utf8_path(path), std::ios::binary | std::ios::trunc);
    out << data;
}

}  // namespace lyrx_test
