// The C library calls of file input (fopen, fseek, ftell, fread, ferror,
// fclose, iconv_open) behind thin wrappers. Production builds call the C
// library directly; test builds route the file calls through a table that
// tests may replace, so a failed seek, size query or read can be provoked on
// demand, and count iconv_open as one allocation of the allocation seam.
#pragma once

#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "lyrx_state.hpp"

namespace lyrx {

namespace sys {

#ifdef LYRX_FAULT_INJECTION

struct file_calls {
    std::FILE *(*open)(const char *path, const char *mode);
    int (*seek)(std::FILE *f, long offset, int whence);
    long (*tell)(std::FILE *f);
    std::size_t (*read)(void *buf, std::size_t size, std::size_t count, std::FILE *f);
    int (*error)(std::FILE *f);
    int (*close)(std::FILE *f);
};

// The plain C library calls.
extern const file_calls kLibcFileCalls;
// What file input calls; a test replaces members and restores kLibcFileCalls.
extern file_calls g_file_calls;

inline std::FILE *file_open(const char *path, const char *mode) noexcept { return g_file_calls.open(path, mode); }
inline int file_seek(std::FILE *f, long offset, int whence) noexcept { return g_file_calls.seek(f, offset, whence); }
inline long file_tell(std::FILE *f) noexcept { return g_file_calls.tell(f); }
inline std::size_t file_read(void *buf, std::size_t size, std::size_t count, std::FILE *f) noexcept {
    return g_file_calls.read(buf, size, count, f);
}
inline int file_error(std::FILE *f) noexcept { return g_file_calls.error(f); }
inline int file_close(std::FILE *f) noexcept { return g_file_calls.close(f); }

// iconv_open allocates its descriptor on the C heap, outside the seam; count
// it as one allocation so the out-of-memory tests can make it fail.
inline iconv_t conv_open(const char *to, const char *from) noexcept {
    if (fault_injected()) return reinterpret_cast<iconv_t>(-1);
    return iconv_open(to, from);
}

#else

inline std::FILE *file_open(const char *path, const char *mode) noexcept { return std::fopen(path, mode); }
inline int file_seek(std::FILE *f, long offset, int whence) noexcept { return std::fseek(f, offset, whence); }
inline long file_tell(std::FILE *f) noexcept { return std::ftell(f); }
inline std::size_t file_read(void *buf, std::size_t size, std::size_t count, std::FILE *f) noexcept {
    return std::fread(buf, size, count, f);
}
inline int file_error(std::FILE *f) noexcept { return std::ferror(f); }
inline int file_close(std::FILE *f) noexcept { return std::fclose(f); }
inline iconv_t conv_open(const char *to, const char *from) noexcept { return iconv_open(to, from); }

#endif

}  // namespace sys

// Converts m bytes in the encoding `from` to UTF-8 with a single iconv call,
// into a new buffer of 4 * m + 16 bytes that ends with a NUL past the text.
// 0 with *out and *out_len set (the caller frees *out with mem_free); -1 on any
// failure, with nothing allocated and the outputs untouched.
int iconv_to_utf8(const char *from, const char *in, uint64_t m, char **out, uint64_t *out_len) noexcept;

}  // namespace lyrx
