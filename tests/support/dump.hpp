// A readable, exact dump of the whole result state through the public API,
// used by the golden cases and to compare entry paths.
#pragma once
#include <string>

namespace lyrx_test {

// Bytes outside printable ASCII, quotes and backslashes are written as escapes.
std::string quote(const char *s);
// Status, error, tags, offset, lines (start, end, text) and warnings.
std::string dump_result(int status);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);

}  // namespace lyrx_test
