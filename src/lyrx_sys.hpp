// The C library calls of file input (open, seek, tell, fread, ferror, fclose,
// iconv_open) behind thin wrappers. Production builds call the C library
// directly; test builds route the file calls through a table that tests may
// replace, so a failed seek, size query or read can be provoked on demand, and
// count iconv_open as one allocation of the allocation seam.
#pragma once

#ifndef _WIN32
#include <iconv.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "lyrx_state.hpp"

namespace lyrx {

namespace sys {

// Opens a file for binary reading. On Windows a UTF-8 path that the C
// library cannot open is tried again as UTF-16; *out_of_memory is set when
// that could not be tried for lack of memory.
std::FILE *platform_open(const char *path, bool *out_of_memory) noexcept;
// Seek and position with 64-bit offsets (long is 32 bits on Windows).
int platform_seek(std::FILE *f, int64_t offset, int whence) noexcept;
int64_t platform_tell(std::FILE *f) noexcept;

#ifdef LYRX_FAULT_INJECTION

struct file_calls {
    std::FILE *(*open)(const char *path, bool *out_of_memory);
    int (*seek)(std::FILE *f, int64_t offset, int whence);
    int64_t (*tell)(std::FILE *f);
    std::size_t (*read)(void *buf, std::size_t size, std::size_t count, std::FILE *f);
    int (*error)(std::FILE *f);
    int (*close)(std::FILE *f);
};

// The plain C library calls.
extern const file_calls kLibcFileCalls;
// What file input calls; a test replaces members and restores kLibcFileCalls.
extern file_calls g_file_calls;

inline std::FILE *file_open(const char *path, bool *out_of_memory) noexcept {
    return g_file_calls.open(path, out_of_memory);
}
inline int file_seek(std::FILE *f, int64_t offset, int whence) noexcept { return g_file_calls.seek(f, offset, whence); }
inline int64_t file_tell(std::FILE *f) noexcept { return g_file_calls.tell(f); }
inline std::size_t file_read(void *buf, std::size_t size, std::size_t count, std::FILE *f) noexcept {
    return g_file_calls.read(buf, size, count, f);
}
inline int file_error(std::FILE *f) noexcept { return g_file_calls.error(f); }
inline int file_close(std::FILE *f) noexcept { return g_file_calls.close(f); }

#ifndef _WIN32
// iconv_open allocates its descriptor on the C heap, outside the seam; count
// it as one allocation so the out-of-memory tests can make it fail.
inline iconv_t conv_open(const char *to, const char *from) noexcept {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): (iconv_t)-1 is how iconv_open reports failure
    if (fault_injected()) return reinterpret_cast<iconv_t>(-1);
    return iconv_open(to, from);
}
#endif

#else

inline std::FILE *file_open(const char *path, bool *out_of_memory) noexcept {
    return platform_open(path, out_of_memory);
}
inline int file_seek(std::FILE *f, int64_t offset, int whence) noexcept { return platform_seek(f, offset, whence); }
inline int64_t file_tell(std::FILE *f) noexcept { return platform_tell(f); }
inline std::size_t file_read(void *buf, std::size_t size, std::size_t count, std::FILE *f) noexcept {
    return std::fread(buf, size, count, f);
}
inline int file_error(std::FILE *f) noexcept { return std::ferror(f); }
inline int file_close(std::FILE *f) noexcept { return std::fclose(f); }
#ifndef _WIN32
inline iconv_t conv_open(const char *to, const char *from) noexcept { return iconv_open(to, from); }
#endif

#endif

}  // namespace sys

// Converts m bytes in the encoding `from` ("UTF-16LE" or "UTF-16BE") to UTF-8
// in one pass (iconv on POSIX, the system's converter on Windows), into a new
// buffer of 4 * m + 16 bytes that ends with a NUL past the text.
// 0 with *out and *out_len set (the caller frees *out with mem_free); -1 on any
// failure, with nothing allocated and the outputs untouched.
int iconv_to_utf8(const char *from, const char *in, uint64_t m, char **out, uint64_t *out_len) noexcept;

}  // namespace lyrx
