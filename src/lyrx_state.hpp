// The process-wide result state, declared once and shared by every unit of the
// library, with the growable types, the error and warning channels and the
// allocation seam that the fault-injection tests hook into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string_view>

#ifdef __linux__
#include <sys/mman.h>
#endif

#include "lyrx.h"

namespace lyrx {

// Owned NUL-terminated strings; 8 slots at first, then doubling.
struct str_vec {
    char **items;
    int32_t count;
    int32_t capacity;
};

// A line refers to its text through the tag group it came from: every tag of
// a group makes a line with the group's one text. Equal (start, group) lines
// are alike in every respect, so sorting on that pair keeps the input order of
// lines with equal starts.
struct lyric_line {
    int32_t start_ms;
    int32_t group;
};

struct line_vec {
    lyric_line *items;
    int32_t count;
    int32_t capacity;
};

// The warnings of the result. Their texts live in blocks that only grow (each
// twice the last, up to a cap), so that an input with a warning per line costs
// a few allocations, not one per warning. Each text is preceded by its size as
// a JSON string, measured once by the JSON writer (json_size -1 until then),
// and followed by at least kWarningSlack bytes of its block, all set, so that
// the writer may read 16 bytes at a time past its NUL.
struct warning_measure {
    int32_t json_size;
    int32_t plain;  // 1 when its JSON string is its bytes in quotes
};
constexpr size_t kWarningHead = sizeof(warning_measure);
constexpr size_t kWarningSlack = 16;
struct warning_block {
    warning_block *next;
    size_t size;  // bytes after the header
    size_t used;
};
struct warning_list {
    char **items;
    int32_t count;
    int32_t capacity;
    warning_block *blocks;  // newest first
};

// The text of one tag group, inside the parse's text block, with its size as
// a JSON string once measured (-1 until then): a text shared by many lines is
// measured once. A size above INT32_MAX is kept as INT32_MAX: such a text is
// refused by the JSON writer anyway.
struct text_group {
    const char *text;
    int32_t json_size;
    uint8_t plain;  // 1 when its JSON string is its bytes in quotes (well-formed UTF-8, nothing to escape)
    uint8_t angle;  // 0 when the text has no "<" for certain
};
static_assert(sizeof(text_group) == 16, "a group record per line of lyrics: keep it small");

struct group_vec {
    text_group *items;
    int32_t count;
    int32_t capacity;
};

// One tag of the input (scanner output): the tag's content inside the text
// block, and the index of its group in g_groups. A time tag of the common
// shapes is read by the scanner: its tag is then null and start_ms its time.
struct tag_entry {
    const char *tag;
    int32_t group;
    int32_t start_ms;
};

constexpr size_t kErrorSize = 512;

// The result state. Plain zero-initialised data: nothing runs at load or unload.
extern line_vec g_lines;
extern group_vec g_groups;
extern char *g_text_block;  // every tag and line text of the parse, unescaped, NUL-terminated
extern size_t g_text_block_size;  // its allocated bytes
extern char *g_ti;
extern char *g_ar;
extern char *g_al;
extern char *g_by;
extern int32_t g_has_offset;
extern int32_t g_offset_ms;
extern warning_list g_warnings;
extern char g_error[kErrorSize];
extern int32_t g_last_status;
extern char *g_json;
extern str_vec g_tag_artists;
extern char *g_clean_title;

// The previous result's text block, handed to the parse that replaces it when
// its size suits (see parse_replacing); null when there is none.
struct spare_block {
    char *bytes;
    size_t size;
};
extern spare_block g_spare_block;

// ---- allocation seam ------------------------------------------------------
// Every allocation of the library goes through these, so that test builds can
// fail the Nth one. Production builds compile them down to the plain calls.
#ifdef LYRX_FAULT_INJECTION
bool fault_injected();  // true when the armed countdown says "fail this one"
inline void *mem_alloc(size_t n) noexcept { return fault_injected() ? nullptr : std::malloc(n); }
inline void *mem_realloc(void *p, size_t n) noexcept {
    return fault_injected() ? nullptr : std::realloc(p, n);
}
#else
inline void *mem_alloc(size_t n) noexcept { return std::malloc(n); }
inline void *mem_realloc(void *p, size_t n) noexcept { return std::realloc(p, n); }
#endif
inline void mem_free(void *p) noexcept { std::free(p); }

// A large working area is written once from end to end: on Linux, asking for
// huge pages turns thousands of page faults into a few. Only a hint.
inline void mem_advise_sequential_fill(void *p, size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr size_t kHuge = size_t{2} << 20;
    if (!p || n < 2 * kHuge) return;
    size_t skip = (kHuge - reinterpret_cast<uintptr_t>(p) % kHuge) % kHuge;  // to the first huge-page boundary
    (void)madvise(static_cast<char *>(p) + skip, (n - skip) & ~(kHuge - 1), MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

// A new owned copy of n bytes followed by a NUL; null when out of memory.
char *copy_bytes(const char *s, size_t n) noexcept;
// A new owned copy of a NUL-terminated string; null when out of memory.
char *copy_string(const char *s) noexcept;

// ---- shared helpers -------------------------------------------------------
// The one growth routine of every growable array: makes room for `needed`
// items, from `first` slots doubling, capped at the int32 range. False when
// that cannot be had (the array is then unchanged).
template <class T>
bool reserve_items(T *&items, int32_t &capacity, int64_t needed, int32_t first) noexcept {
    if (needed <= capacity) return true;
    if (needed > INT32_MAX) return false;
    int64_t cap = capacity > 0 ? capacity : first;
    while (cap < needed) cap *= 2;
    if (cap > INT32_MAX) cap = INT32_MAX;
    auto *grown = static_cast<T *>(mem_realloc(items, sizeof(T) * static_cast<size_t>(cap)));
    if (!grown) return false;
    items = grown;
    capacity = static_cast<int32_t>(cap);
    return true;
}

int str_vec_push(str_vec *v, char *s) noexcept;  // 0, or -1 (s freed) when out of memory
void str_vec_free(str_vec *v) noexcept;          // frees every string and the array

// The messages are checked against their arguments as printf formats (MinGW's
// gnu_printf knows %zu).
#ifdef __MINGW32__
#define LYRX_PRINTF_LIKE(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define LYRX_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#endif
void set_error_fmt(const char *fmt, ...) noexcept LYRX_PRINTF_LIKE(1, 2);
void warn_fmt(const char *fmt, ...) noexcept LYRX_PRINTF_LIKE(1, 2);
// A warning of the pieces joined, cut as warn_fmt cuts: for the warnings an
// input can raise on every line, without a pass over a format.
void warn_join(std::initializer_list<std::string_view> pieces) noexcept;
// The warning head + value + "')". `head` may be read up to 32 bytes past
// head_len, `value` up to 16 past value_len (a text of the text block).
void warn_head_value(const char *head, size_t head_len, const char *value, size_t value_len) noexcept;

// Letters, digits and case are ASCII only, as in the "C" locale whatever
// locale the host set: a byte of 0x80 or above is an ordinary byte.
constexpr bool ascii_is_digit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool ascii_is_letter(unsigned char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool ascii_is_alnum(unsigned char c) noexcept { return ascii_is_digit(c) || ascii_is_letter(c); }
constexpr unsigned char ascii_lower(unsigned char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}
bool ascii_ieq(const char *a, const char *b) noexcept;

// True when p points into the error buffer, whose text a clear or a new error
// would overwrite while it is still being read.
inline bool points_into_error(const void *p) noexcept {
    auto a = reinterpret_cast<uintptr_t>(p);
    auto b = reinterpret_cast<uintptr_t>(g_error);
    return a >= b && a < b + kErrorSize;
}

// The parse-owned part of the state, detached so that the old result can be
// released after a new parse has read its input (which may point into it).
struct detached_state {
    line_vec lines;
    group_vec groups;
    char *text_block;
    size_t text_block_size;
    char *ti, *ar, *al, *by;
    warning_list warnings;
    char *json;
    str_vec artists;
    char *clean_title;
};
// Moves every owned result out of the state and leaves the state as
// lyrx_clear leaves it; release_detached frees what was moved out.
detached_state detach_state() noexcept;
void release_detached(detached_state *d) noexcept;

// The parser: scan, then interpretation. Expects a cleared state.
int32_t state_machine(const char *bytes, uint64_t length) noexcept;
// Takes ownership of the entry array of `capacity` entries, of which `count`
// are read (their tags live in g_text_block); it becomes the line array.
int32_t interpret_entries(tag_entry *entries, int32_t count, int32_t capacity) noexcept;

// The text of line i (a valid index).
inline const char *line_text(int32_t i) noexcept { return g_groups.items[g_lines.items[i].group].text; }
// The end of line i (a valid index): the next greater start, else start + 3000,
// saturated so that a start near the top of the range does not wrap.
inline int32_t line_end_ms(int32_t i) noexcept {
    int32_t start = g_lines.items[i].start_ms;
    if (i + 1 < g_lines.count && g_lines.items[i + 1].start_ms > start) return g_lines.items[i + 1].start_ms;
    return start > INT32_MAX - 3000 ? INT32_MAX : start + 3000;
}

// lyrx_detect with the given test of the window (the BOM skipped, at most
// 8192 bytes); window_has_tag_bytewise reads it a byte at a time, the way the
// vector test must answer, for targets without SSE2 and for the tests.
int32_t detect_with(bool (*window_test)(const unsigned char *, size_t), const char *data, uint64_t length) noexcept;
bool window_has_tag_bytewise(const unsigned char *p, size_t n) noexcept;
// The readings on 64-byte class masks this build and CPU can run, null where
// not; lyrx_detect uses AVX2 where it can, SSE2 otherwise.
struct window_readings {
    bool (*sse2)(const unsigned char *, size_t) noexcept;
    bool (*avx2)(const unsigned char *, size_t) noexcept;
};
window_readings vector_window_readings() noexcept;
bool window_has_tag_sse2(const unsigned char *p, size_t n) noexcept;
bool window_has_tag_avx2(const unsigned char *p, size_t n) noexcept;

// Strict "digits[.digits]" reader; 1 and *out on success, else 0.
int parse_decimal(const char *s, uint64_t n, double *out) noexcept;

// The exact length of the text lyrx_result_json writes for the current state.
int64_t json_text_size() noexcept;

// Replaces the result with the parse of text, which may point into the old
// result unless `old_first` says that the old result can go before the parse.
int32_t parse_replacing(const char *text, uint64_t length, bool old_first) noexcept;

}  // namespace lyrx
