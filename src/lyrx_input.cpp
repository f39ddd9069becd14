// File input: reads a whole file into memory, converts a file that starts with
// a UTF-16 byte-order mark to UTF-8, and parses the text as lyrx_parse does.
// Failures before the parse keep the previous result and replace only the
// error text.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lyrx_state.hpp"
#include "lyrx_sys.hpp"

namespace lyrx {

#ifdef LYRX_FAULT_INJECTION
namespace sys {
namespace {
std::FILE *libc_open(const char *path, const char *mode) { return std::fopen(path, mode); }
int libc_seek(std::FILE *f, long offset, int whence) { return std::fseek(f, offset, whence); }
long libc_tell(std::FILE *f) { return std::ftell(f); }
std::size_t libc_read(void *buf, std::size_t size, std::size_t count, std::FILE *f) {
    return std::fread(buf, size, count, f);
}
int libc_error(std::FILE *f) { return std::ferror(f); }
int libc_close(std::FILE *f) { return std::fclose(f); }
}  // namespace

const file_calls kLibcFileCalls{libc_open, libc_seek, libc_tell, libc_read, libc_error, libc_close};
file_calls g_file_calls = kLibcFileCalls;
}  // namespace sys
#endif

int iconv_to_utf8(const char *from, const char *in, uint64_t m, char **out, uint64_t *out_len) noexcept {
    iconv_t cd = sys::conv_open("UTF-8", from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
    // Four UTF-8 bytes per input byte always suffice for UTF-16, plus the NUL.
    if (m > (SIZE_MAX - 16) / 4) {
        iconv_close(cd);
        return -1;
    }
    size_t room = static_cast<size_t>(m) * 4 + 16;
    auto *buf = static_cast<char *>(mem_alloc(room));
    if (!buf) {
        iconv_close(cd);
        return -1;
    }
    char *src = const_cast<char *>(in);  // iconv's prototype takes char ** but never writes the input
    size_t src_left = static_cast<size_t>(m);
    char *dst = buf;
    size_t dst_left = room - 1;
    // One call with the whole input: an incomplete or invalid sequence fails it,
    // and no partial text is ever handed on.
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1)) {
        mem_free(buf);
        iconv_close(cd);
        return -1;
    }
    *dst = '\0';
    *out = buf;
    *out_len = static_cast<uint64_t>(dst - buf);
    iconv_close(cd);
    return 0;
}

namespace {

// "cannot open <path>". A path that lies in the error buffer itself is copied
// first: the buffer is overwritten while the text is formatted.
void report_open_failure(const char *path) noexcept {
    if (!points_into_error(path)) {
        set_error_fmt("cannot open %s", path);
        return;
    }
    char copy[kErrorSize];
    auto room = static_cast<size_t>(g_error + kErrorSize - path);
    const void *nul = std::memchr(path, '\0', room);
    size_t len = nul ? static_cast<size_t>(static_cast<const char *>(nul) - path) : room;
    if (len >= kErrorSize) len = kErrorSize - 1;
    std::memcpy(copy, path, len);
    copy[len] = '\0';
    set_error_fmt("cannot open %s", copy);
}

// Converts the bytes after a UTF-16 mark and parses the result. Takes the
// file buffer and frees it before the parse, so both never exist together.
int32_t parse_converted(const char *encoding, char *file_buf, size_t n) noexcept {
    char *text = nullptr;
    uint64_t len = 0;
    int rc = iconv_to_utf8(encoding, file_buf + 2, n - 2, &text, &len);
    mem_free(file_buf);
    if (rc != 0) {
        set_error_fmt("iconv %s failed", encoding);
        return LYRX_ERR_NO_LYRICS;
    }
    lyrx_clear();
    int32_t status = parse_owned_text(text, len);
    // Always the last warning of the parse, whatever its status.
    warn_fmt("encoding: converted %s BOM to UTF-8", encoding);
    mem_free(text);
    return status;
}

}  // namespace

}  // namespace lyrx

using namespace lyrx;

extern "C" {

LYRX_API int32_t lyrx_parse_file(const char *path) noexcept {
    if (!path) {
        set_error_fmt("null path");
        return LYRX_ERR_NULL;
    }
    // Until the file is read, the previous result stays: the path may point
    // into it, and a failure here replaces only the error text.
    std::FILE *f = sys::file_open(path, "rb");
    if (!f) {
        report_open_failure(path);
        return LYRX_ERR_IO;
    }
    if (sys::file_seek(f, 0, SEEK_END) != 0) {
        sys::file_close(f);
        set_error_fmt("seek failed");
        return LYRX_ERR_IO;
    }
    // The size is held as a signed 32-bit number: 2 GiB or more is refused
    // before anything is allocated or read.
    long size = sys::file_tell(f);
    if (size < 0 || size > INT32_MAX) {
        sys::file_close(f);
        set_error_fmt("tell failed");
        return LYRX_ERR_IO;
    }
    std::rewind(f);
    auto want = static_cast<size_t>(size);
    auto *buf = static_cast<char *>(mem_alloc(want + 1));
    if (!buf) {
        sys::file_close(f);
        set_error_fmt("oom");
        return LYRX_ERR_OOM;
    }
    size_t n = sys::file_read(buf, 1, want, f);
    // A file that shrank since it was sized is parsed as read; a stream that
    // reports an error is not, since its bytes may be incomplete.
    bool read_failed = n < want && sys::file_error(f) != 0;
    sys::file_close(f);
    if (read_failed) {
        mem_free(buf);
        set_error_fmt("read failed");
        return LYRX_ERR_IO;
    }
    buf[n] = '\0';

    if (n >= 2) {
        auto b0 = static_cast<unsigned char>(buf[0]);
        auto b1 = static_cast<unsigned char>(buf[1]);
        if (b0 == 0xFF && b1 == 0xFE) return parse_converted("UTF-16LE", buf, n);
        if (b0 == 0xFE && b1 == 0xFF) return parse_converted("UTF-16BE", buf, n);
    }
    lyrx_clear();
    int32_t status = parse_owned_text(buf, n);
    mem_free(buf);
    return status;
}

}  // extern "C"
