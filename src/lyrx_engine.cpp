// The result state, its queries, lyrx_clear and the text entry point; the
// error and warning channels and the small helpers every unit shares.
#include <array>
#include <cstdarg>
#include <cstring>
#include <type_traits>

#include "lyrx_state.hpp"

namespace lyrx {

constinit line_vec g_lines{};
constinit group_vec g_groups{};
constinit char *g_text_block = nullptr;
constinit size_t g_text_block_size = 0;
constinit char *g_ti = nullptr;
constinit char *g_ar = nullptr;
constinit char *g_al = nullptr;
constinit char *g_by = nullptr;
constinit int32_t g_has_offset = 0;
constinit int32_t g_offset_ms = 0;
constinit warning_list g_warnings{};
constinit char g_error[kErrorSize] = {};
constinit int32_t g_last_status = 0;
constinit char *g_json = nullptr;
constinit str_vec g_tag_artists{};
constinit char *g_clean_title = nullptr;
constinit spare_block g_spare_block{};
// The previous result's warning blocks, during a parse that may take them
// over (newest, hence largest, first).
static constinit warning_block *g_spare_warning_blocks = nullptr;

static_assert(std::is_trivially_destructible_v<line_vec> && std::is_trivially_destructible_v<group_vec> &&
                  std::is_trivially_destructible_v<str_vec> && std::is_trivially_destructible_v<warning_list>,
              "the state must not run code at unload");

char *copy_bytes(const char *s, size_t n) noexcept {
    auto *p = static_cast<char *>(mem_alloc(n + 1));
    if (!p) return nullptr;
    if (n) std::memcpy(p, s, n);
    p[n] = '\0';
    return p;
}

char *copy_string(const char *s) noexcept { return copy_bytes(s, std::strlen(s)); }

int str_vec_push(str_vec *v, char *s) noexcept {
    if (!reserve_items(v->items, v->capacity, static_cast<int64_t>(v->count) + 1, 8)) {
        mem_free(s);
        return -1;
    }
    v->items[v->count++] = s;
    return 0;
}

void str_vec_free(str_vec *v) noexcept {
    for (int32_t i = 0; i < v->count; i++) mem_free(v->items[i]);
    mem_free(v->items);
    *v = str_vec{};
}

// After a text was cut at 511 bytes, the cut may split a UTF-8
// character; move it back to that character's first byte so the library never
// turns valid UTF-8 into invalid UTF-8 itself.
static void cut_at_char_boundary(char *buf, size_t len) noexcept {
    size_t lead = len;
    int continuation = 0;
    while (lead > 0 && continuation < 4 && (static_cast<unsigned char>(buf[lead - 1]) & 0xC0) == 0x80) {
        lead--;
        continuation++;
    }
    if (lead == 0) return;
    auto c = static_cast<unsigned char>(buf[lead - 1]);
    // 0xF8..0xFF start no character, so there is nothing to keep whole.
    size_t need = c >= 0xF8 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (need > 1 && static_cast<size_t>(continuation) + 1 < need) buf[lead - 1] = '\0';
}

namespace {
// sizeof(Word) bytes copied as one word: one load, one store.
template <class Word>
inline void copy_word(char *to, const char *from) noexcept {
    Word w;
    std::memcpy(&w, from, sizeof w);
    std::memcpy(to, &w, sizeof w);
}
using sixteen_bytes = std::array<unsigned char, 16>;

// A message being written into a buffer of kErrorSize bytes, cut at 511
// bytes as vsnprintf into it would cut it, then moved back to a character's
// first byte.
struct bounded_text {
    static constexpr size_t kLimit = kErrorSize - 1;
    char *buf;
    size_t len = 0;
    bool cut = false;

    void put(const char *s, size_t n) noexcept {
        if (n > kLimit - len) {
            n = kLimit - len;
            cut = true;
        }
        // Most pieces are a few bytes: two word copies that may overlap cost
        // less than a call to memcpy or a loop over the bytes.
        char *d = buf + len;
        if (n >= 16) {
            if (n > 32) {
                std::memcpy(d, s, n);
            } else {
                copy_word<sixteen_bytes>(d, s);
                copy_word<sixteen_bytes>(d + n - 16, s + n - 16);
            }
        } else if (n >= 8) {
            copy_word<uint64_t>(d, s);
            copy_word<uint64_t>(d + n - 8, s + n - 8);
        } else if (n >= 4) {
            copy_word<uint32_t>(d, s);
            copy_word<uint32_t>(d + n - 4, s + n - 4);
        } else if (n > 0) {
            d[0] = s[0];
            d[n / 2] = s[n / 2];
            d[n - 1] = s[n - 1];
        }
        len += n;
    }
    // Terminates the text; returns its length.
    size_t finish() noexcept {
        buf[len] = '\0';
        if (cut) {
            cut_at_char_boundary(buf, kLimit);
            len = std::strlen(buf);
        }
        return len;
    }
};
}  // namespace

// The library's messages use only %s and %zu. Formatting them here rather than
// with vsnprintf costs a copy instead of a pass through stdio, which matters
// for inputs that raise a warning per line. Returns the text's length.
static size_t format_bounded(char *buf, const char *fmt, va_list ap) noexcept {
    bounded_text out{buf};
    auto put = [&out](const char *s, size_t n) noexcept { out.put(s, n); };
    for (const char *f = fmt; *f && !out.cut;) {
        const char *literal_end = std::strchr(f, '%');
        if (!literal_end) literal_end = f + std::strlen(f);
        put(f, static_cast<size_t>(literal_end - f));
        f = literal_end;
        if (*f == '\0') break;
        if (f[1] == 's') {
            // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): ap arrives started by the variadic caller
            const char *arg = va_arg(ap, const char *);
            if (!arg) arg = "(null)";
            put(arg, std::strlen(arg));
            f += 2;
        } else if (f[1] == 'z' && f[2] == 'u') {
            char digits[24];
            size_t k = sizeof digits;
            // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): as above
            size_t v = va_arg(ap, size_t);
            do {
                digits[--k] = static_cast<char>('0' + v % 10);
                v /= 10;
            } while (v != 0);
            put(digits + k, sizeof digits - k);
            f += 3;
        } else if (f[1] == '%' || f[1] == '\0') {
            put(f, 1);
            f += f[1] ? 2 : 1;
        } else {
            put(f, 2);  // a conversion this formatter does not know, as it is
            f += 2;
        }
    }
    return out.finish();
}

void set_error_fmt(const char *fmt, ...) noexcept {  // NOLINT(cert-dcl50-cpp): printf-style, format-checked
    va_list ap;
    va_start(ap, fmt);
    format_bounded(g_error, fmt, ap);
    va_end(ap);
}

// Room for one more warning of up to kErrorSize bytes, or null when memory
// ran out: a warning that cannot be stored is dropped, it never changes the
// status. Warnings are formatted in place, a block taken while the longest
// text and its slack still fit.
static char *warning_room() noexcept {
    warning_list &w = g_warnings;
    if (!reserve_items(w.items, w.capacity, static_cast<int64_t>(w.count) + 1, 8)) return nullptr;
    warning_block *b = w.blocks;
    if (!b || b->size - b->used < kWarningHead + kErrorSize + kWarningSlack) {
        constexpr size_t kFirst = 4096 - sizeof(warning_block), kMost = (size_t{1} << 20) - sizeof(warning_block);
        size_t size = b ? (b->size < kMost / 2 ? b->size * 2 : kMost) : kFirst;
        // Spare blocks come smallest first, as they were taken: one too small
        // for this size would be for the rest too.
        while (g_spare_warning_blocks && g_spare_warning_blocks->size < size) {
            warning_block *small = g_spare_warning_blocks;
            g_spare_warning_blocks = small->next;
            mem_free(small);
        }
        if (warning_block *spare = g_spare_warning_blocks) {
            g_spare_warning_blocks = spare->next;
            size = spare->size;
            b = spare;
        } else {
            b = static_cast<warning_block *>(mem_alloc(sizeof(warning_block) + size));
            if (!b) return nullptr;
        }
        *b = warning_block{w.blocks, size, 0};
        w.blocks = b;
    }
    return reinterpret_cast<char *>(b + 1) + b->used + kWarningHead;
}

// Adds the text warning_room gave, of length len.
static void keep_warning(char *text, size_t len) noexcept {
    constexpr warning_measure kUnmeasured{-1, 0};
    std::memcpy(text - kWarningHead, &kUnmeasured, kWarningHead);
    std::memset(text + len + 1, 0, kWarningSlack);
    g_warnings.blocks->used += kWarningHead + len + 1;
    g_warnings.items[g_warnings.count++] = text;
}

void warn_fmt(const char *fmt, ...) noexcept {  // NOLINT(cert-dcl50-cpp): printf-style, format-checked
    char *text = warning_room();
    if (!text) return;
    va_list ap;
    va_start(ap, fmt);
    size_t len = format_bounded(text, fmt, ap);
    va_end(ap);
    keep_warning(text, len);
}

void warn_join(std::initializer_list<std::string_view> pieces) noexcept {
    char *text = warning_room();
    if (!text) return;
    bounded_text out{text};
    for (std::string_view piece : pieces) out.put(piece.data(), piece.size());
    keep_warning(text, out.finish());
}

void warn_head_value(const char *head, size_t head_len, const char *value, size_t value_len) noexcept {
    // Copied 32 and 16 bytes at a time, writing up to 31 bytes past the head
    // and 15 past the value: a text within 48 bytes of the limit, which may
    // also have to be cut, takes the general way.
    if (head_len + value_len + 2 + 48 > bounded_text::kLimit) {
        warn_join({{head, head_len}, {value, value_len}, "')"});
        return;
    }
    char *text = warning_room();
    if (!text) return;
    for (size_t i = 0; i < head_len; i += 32) {
        copy_word<sixteen_bytes>(text + i, head + i);
        copy_word<sixteen_bytes>(text + i + 16, head + i + 16);
    }
    char *d = text + head_len;
    for (size_t i = 0; i < value_len; i += 16) copy_word<sixteen_bytes>(d + i, value + i);
    std::memcpy(d + value_len, "')", 3);
    keep_warning(text, head_len + value_len + 2);
}

bool ascii_ieq(const char *a, const char *b) noexcept {
    if (!a || !b) return false;
    for (;; a++, b++) {
        if (ascii_lower(static_cast<unsigned char>(*a)) != ascii_lower(static_cast<unsigned char>(*b)))
            return false;
        if (*a == '\0') return true;
    }
}

detached_state detach_state() noexcept {
    detached_state d{g_lines, g_groups,   g_text_block, g_text_block_size, g_ti,         g_ar,
                     g_al,    g_by,       g_warnings,   g_json,            g_tag_artists, g_clean_title};
    g_lines = line_vec{};
    g_groups = group_vec{};
    g_text_block = nullptr;
    g_text_block_size = 0;
    g_ti = g_ar = g_al = g_by = nullptr;
    g_offset_ms = 0;
    g_has_offset = 0;
    g_warnings = warning_list{};
    g_json = nullptr;
    g_error[0] = '\0';
    g_last_status = 0;
    g_tag_artists = str_vec{};
    g_clean_title = nullptr;
    return d;
}

static void free_warning_blocks(warning_block *b) noexcept {
    while (b) {
        warning_block *next = b->next;
        mem_free(b);
        b = next;
    }
}

void release_detached(detached_state *d) noexcept {
    mem_free(d->lines.items);
    mem_free(d->groups.items);
    mem_free(d->text_block);
    mem_free(d->ti);
    mem_free(d->ar);
    mem_free(d->al);
    mem_free(d->by);
    free_warning_blocks(d->warnings.blocks);
    mem_free(d->warnings.items);
    mem_free(d->json);
    str_vec_free(&d->artists);
    mem_free(d->clean_title);
    *d = detached_state{};
}

namespace {

int32_t parse_text(const char *text, uint64_t length) noexcept {
    int32_t status;
    if (!text) {
        set_error_fmt("null text");
        status = LYRX_ERR_NULL;
    } else if (length == 0) {
        set_error_fmt("empty input");
        status = LYRX_ERR_EMPTY;
    } else {
        status = state_machine(text, length);
    }
    g_last_status = status;
    return status;
}

// Moves into the cleared state the old result's large arrays that a parse of
// `length` bytes would allocate at about the same size: writing into memory
// the process already holds spares a large input the zeroing of fresh pages,
// which costs more than the scan. An array much larger than the new input
// would need is not kept, so a small parse after a large one holds no more
// than it would have allocated. The text block is not reused when the text
// lies inside it.
void reuse_arrays(detached_state *old, const char *text, uint64_t length) noexcept {
    if (!text || length == 0 || length > SIZE_MAX / 4) return;
    auto n = static_cast<size_t>(length);
    size_t block_need = n + 1 + 16;
    auto at = reinterpret_cast<uintptr_t>(text), block = reinterpret_cast<uintptr_t>(old->text_block);
    bool inside = at < block + old->text_block_size && block < at + n;
    if (old->text_block && !inside && old->text_block_size >= block_need &&
        old->text_block_size <= 2 * block_need + 65536) {
        g_spare_block = spare_block{old->text_block, old->text_block_size};
        old->text_block = nullptr;
    }
    // The scan reserves n / 16 + 16 groups and entries; the line array, two
    // lines to an entry, is its entry array (see interpret_entries).
    size_t estimate = n / 16 + 16;
    auto fits = [estimate](int32_t capacity) noexcept {
        return static_cast<size_t>(capacity) >= estimate && static_cast<size_t>(capacity) <= 4 * estimate;
    };
    if (old->groups.items && fits(old->groups.capacity)) {
        g_groups = group_vec{old->groups.items, 0, old->groups.capacity};
        old->groups = group_vec{};
    }
    if (old->lines.items && fits(old->lines.capacity / 2)) {
        g_lines = line_vec{old->lines.items, 0, old->lines.capacity};
        old->lines = line_vec{};
    }
    // Warnings: an input with one on every line (conflicting headers) fills
    // blocks and a list as large as itself, parse after parse. The blocks
    // the text lies in stay with the old result; the list is kept while it
    // is no larger than the input.
    // Taken newest first, they end up oldest, hence smallest, first.
    warning_block **keep = &old->warnings.blocks;
    while (warning_block *b = *keep) {
        auto start = reinterpret_cast<uintptr_t>(b);
        if (at < start + sizeof(warning_block) + b->size && start < at + n) {
            keep = &b->next;
        } else {
            *keep = b->next;
            b->next = g_spare_warning_blocks;
            g_spare_warning_blocks = b;
        }
    }
    if (old->warnings.items && static_cast<size_t>(old->warnings.capacity) <= n / sizeof(char *) + 1024) {
        g_warnings.items = old->warnings.items;
        g_warnings.capacity = old->warnings.capacity;
        old->warnings.items = nullptr;
        old->warnings.capacity = 0;
    }
}

}  // namespace

int32_t parse_replacing(const char *text, uint64_t length, bool old_first) noexcept {
    detached_state old = detach_state();
    reuse_arrays(&old, text, length);
    if (old_first) release_detached(&old);
    int32_t status = parse_text(text, length);
    release_detached(&old);
    mem_free(g_spare_block.bytes);  // when the parse did not take them
    g_spare_block = spare_block{};
    free_warning_blocks(g_spare_warning_blocks);
    g_spare_warning_blocks = nullptr;
    return status;
}

static bool line_index_ok(int32_t index) noexcept { return index >= 0 && index < g_lines.count; }

}  // namespace lyrx

using namespace lyrx;

extern "C" {

LYRX_API void lyrx_clear(void) noexcept {
    detached_state d = detach_state();
    release_detached(&d);
}

LYRX_API int32_t lyrx_parse(const char *text, uint64_t length) noexcept {
    // The text may point into a string the library handed out. The old result
    // is kept until the new parse has read it; the error buffer is
    // overwritten in place, so text inside it is copied first.
    char error_copy[kErrorSize];
    if (text && points_into_error(text)) {
        size_t room = static_cast<size_t>(g_error + kErrorSize - text);
        if (length > room) length = room;
        std::memcpy(error_copy, text, static_cast<size_t>(length));
        text = error_copy;
    }
    return parse_replacing(text, length, false);
}

LYRX_API int32_t lyrx_line_count(void) noexcept { return g_lines.count; }

LYRX_API int32_t lyrx_line_start_ms(int32_t index) noexcept {
    return line_index_ok(index) ? g_lines.items[index].start_ms : 0;
}

LYRX_API int32_t lyrx_line_end_ms(int32_t index) noexcept { return line_index_ok(index) ? line_end_ms(index) : 0; }

LYRX_API const char *lyrx_line_text(int32_t index) noexcept {
    if (!line_index_ok(index)) return nullptr;
    return line_text(index);
}

LYRX_API const char *lyrx_meta(const char *key) noexcept {
    if (!key) return nullptr;
    if (ascii_ieq(key, "ti")) return g_ti;
    if (ascii_ieq(key, "ar")) return g_ar;
    if (ascii_ieq(key, "al")) return g_al;
    if (ascii_ieq(key, "by")) return g_by;
    return nullptr;
}

LYRX_API int32_t lyrx_offset_ms(void) noexcept { return g_has_offset ? g_offset_ms : 0; }

LYRX_API const char *lyrx_last_error(void) noexcept { return g_error; }

LYRX_API int32_t lyrx_warning_count(void) noexcept { return g_warnings.count; }

LYRX_API const char *lyrx_warning(int32_t index) noexcept {
    return index >= 0 && index < g_warnings.count ? g_warnings.items[index] : nullptr;
}

}  // extern "C"
