// The byte scanner: one pass over the text, cutting it into tag groups and
// line texts (the entry list) and raising the surface warnings.
//
//   LINE_START --'['--> IN_TAG --']'--> IN_TEXT --CR/LF--> LINE_START    (other bytes at a line start: bare text, skipped)
//                       IN_TAG --CR/LF--> LINE_START (group dropped)      IN_TEXT --'['--> IN_TAG (same group if no text yet)
//   A backslash in a tag or text takes the next byte literally.
//
// Tags and texts are written, unescaped and NUL-terminated, into one text
// block of the input's size, which the result keeps: a byte read yields at
// most one byte written, so the block never grows and no string is allocated.
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define LYRX_SCAN_SSE2 1
#endif

#include "lyrx_state.hpp"

namespace lyrx {
namespace {

enum scan_state { ST_LINE_START, ST_IN_TAG, ST_IN_TEXT };

// Bytes that stop a run of ordinary bytes inside a tag or a text.
enum : unsigned char { ORDINARY = 0, STOP_IN_TAG = 1, STOP_IN_TEXT = 2, LINE_END = 4 };
constexpr auto make_class_table() {
    struct table { unsigned char v[256]; } t{};
    t.v[0x5C] = STOP_IN_TAG | STOP_IN_TEXT;  // backslash
    for (unsigned char c : {0x0D, 0x0A}) t.v[c] = STOP_IN_TAG | STOP_IN_TEXT | LINE_END;  // CR, LF
    t.v[0x5D] = STOP_IN_TAG;   // ]
    t.v[0x5B] = STOP_IN_TEXT;  // [
    return t;
}
constexpr auto kClass = make_class_table();

// Slack after the text block: room for the 16-byte stores of copy_run and for
// reading a text 16 bytes at a time up to its NUL.
constexpr size_t kBlockSlack = 16;

#ifdef LYRX_SCAN_SSE2
// Bit k set when byte k of the 16 at p is one of a, b, c, d.
inline unsigned match4(__m128i v, __m128i a, __m128i b, __m128i c, __m128i d) noexcept {
    __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, b)),
                             _mm_or_si128(_mm_cmpeq_epi8(v, c), _mm_cmpeq_epi8(v, d)));
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}
#endif

// Copies the bytes of p[i..n) to out[w..) up to the first byte of class
// `stop`; returns where it stopped (n at the end) and advances w. Sets
// `angle` when a "<" may be among them (the enhanced-LRC test looks only at
// texts where one may be). With SSE2 it stores 16 bytes at a time, the ones
// past the stop byte being overwritten later or lying in the slack: w stays
// behind i, since every group's "[" is read and not written. Inlined into
// each handler: a call per run costs more than a short run.
[[gnu::always_inline]] inline size_t copy_run(const unsigned char *p, size_t i, size_t n, char *out, size_t &w,
                                              unsigned char stop, bool &angle) noexcept {
#ifdef LYRX_SCAN_SSE2
    const __m128i backslash = _mm_set1_epi8('\\'), cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
    const __m128i bracket = _mm_set1_epi8(stop == STOP_IN_TAG ? ']' : '[');
    while (i + 16 <= n) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + w), v);
        angle |= _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('<'))) != 0;
        unsigned mask = match4(v, backslash, cr, lf, bracket);
        if (mask) {
            auto k = static_cast<size_t>(__builtin_ctz(mask));
            w += k;
            return i + k;
        }
        i += 16;
        w += 16;
    }
#endif
    size_t start = i;
    for (; i < n && !(kClass.v[p[i]] & stop); i++) angle |= p[i] == '<';
    std::memcpy(out + w, p + start, i - start);
    w += i - start;
    return i;
}

#ifdef LYRX_SCAN_SSE2
// Bit k set when byte k of the 16 at p is CR or LF.
inline unsigned line_end_mask(const unsigned char *p) noexcept {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i m = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}
#endif

// Index of the next CR or LF at or after i, or n.
size_t skip_to_line_end(const unsigned char *p, size_t i, size_t n) noexcept {
#ifdef LYRX_SCAN_SSE2
    while (i + 16 <= n) {
        unsigned mask = line_end_mask(p + i);
        if (mask) return i + static_cast<size_t>(__builtin_ctz(mask));
        i += 16;
    }
#endif
    while (i < n && !(kClass.v[p[i]] & LINE_END)) i++;
    return i;
}

// Index of the first byte at or after i that is neither CR nor LF, or n: a
// run of empty lines is passed over at once.
size_t skip_line_ends(const unsigned char *p, size_t i, size_t n) noexcept {
#ifdef LYRX_SCAN_SSE2
    while (i + 16 <= n) {
        unsigned ends = line_end_mask(p + i);
        if (ends != 0xFFFF) return i + static_cast<size_t>(__builtin_ctz(~ends));
        i += 16;
    }
#endif
    while (i < n && (p[i] == '\r' || p[i] == '\n')) i++;
    return i;
}

struct scanner {
    const unsigned char *p;
    size_t n;
    size_t i = 0;
    char *out;         // the text block
    size_t w = 0;      // write position in it
    size_t token = 0;  // where the tag or text being read begins in it
    size_t group_start = 0;   // where the pending group begins in it
    int32_t group_first = 0;  // the pending group's first entry
    tag_entry *entries = nullptr;
    int32_t entry_count = 0;
    int32_t entry_cap = 0;
    bool ok = true;
    bool angle = false;  // a "<" may be in the text being read

    bool text_read() const noexcept { return w != token; }

    void begin_group() noexcept {
        group_start = token = w;
        group_first = entry_count;
    }

    // An unfinished group is forgotten with its tags.
    void drop_group() noexcept {
        entry_count = group_first;
        w = token = group_start;
    }

    // Ends a tag: it joins the pending group, whose text comes next.
    void close_tag() noexcept {
        out[w++] = '\0';
        if (!reserve_items(entries, entry_cap, static_cast<int64_t>(entry_count) + 1, 32)) {
            ok = false;
            return;
        }
        entries[entry_count++] = tag_entry{out + token, g_groups.count, 0};
        token = w;
    }

    // At the first byte of a tag: "mm:ss]", "mm:ss.xx]" or "mm:ss.xxx]" with
    // two-digit minutes and seconds, nearly every time tag there is, is read
    // here as the interpretation would read it, and not copied. True when
    // the tag was one of these.
    [[gnu::always_inline]] bool quick_time_tag() noexcept {
#ifdef LYRX_SCAN_SSE2
        if (n - i < 16) return false;
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        __m128i value = _mm_sub_epi8(v, _mm_set1_epi8('0'));
        auto digits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(value, _mm_set1_epi8(9)), value)));
        auto at = [v](char c) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c)))); };
        if ((digits & 0x1F) != 0x1B || !(at(':') & 4)) return false;
        unsigned close = at(']'), point = at('.');
        int32_t ms = ((p[i] - '0') * 10 + (p[i + 1] - '0')) * 60000 + ((p[i + 3] - '0') * 10 + (p[i + 4] - '0')) * 1000;
        size_t length;
        if (close & 0x20) {
            length = 6;
        } else if ((point & 0x20) && (digits & 0xC0) == 0xC0 && (close & 0x100)) {
            ms += ((p[i + 6] - '0') * 10 + (p[i + 7] - '0')) * 10;
            length = 9;
        } else if ((point & 0x20) && (digits & 0x1C0) == 0x1C0 && (close & 0x200)) {
            ms += (p[i + 6] - '0') * 100 + (p[i + 7] - '0') * 10 + (p[i + 8] - '0');
            length = 10;
        } else {
            return false;
        }
        if (!reserve_items(entries, entry_cap, static_cast<int64_t>(entry_count) + 1, 32)) {
            ok = false;
            return true;
        }
        entries[entry_count++] = tag_entry{nullptr, g_groups.count, ms};
        i += length;
        return true;
#else
        return false;
#endif
    }

    // The state after the "[" of a tag. Time tags in a row, as a line with
    // the times of its repeats has them, are read here one after another:
    // after one read here nothing was copied, so a "[" next begins another
    // tag of the same group.
    scan_state enter_tag() noexcept {
        while (quick_time_tag()) {
            if (!ok || i == n || p[i] != '[') return ST_IN_TEXT;
            i++;
        }
        return i < n && p[i] != '\\' && ok ? on_tag() : ST_IN_TAG;
    }

    // Ends the pending group with the text read since its last tag.
    void flush_line() noexcept {
        out[w++] = '\0';
        if (!reserve_items(g_groups.items, g_groups.capacity, static_cast<int64_t>(g_groups.count) + 1, 32)) {
            ok = false;
            return;
        }
        g_groups.items[g_groups.count++] = text_group{out + token, -1, 0, angle};
        angle = false;
        begin_group();
    }

    void bare_text(size_t pos, size_t from) noexcept {
        warn_fmt("bare: skipped text before '[' at pos %zu", pos);
        i = skip_to_line_end(p, from, n);
    }

    // A backslash (not the last byte) in a tag or a text.
    void escape() noexcept {
        angle |= p[i + 1] == '<';
        out[w++] = static_cast<char>(p[i + 1]);
        i += 2;
    }

    scan_state on_line_start() noexcept {
        unsigned char c = p[i];
        if (c == '[') {
            i++;
            begin_group();
            return enter_tag();
        }
        if (c == '\r' || c == '\n') i = skip_line_ends(p, i + 1, n);
        else if (c == '\\') bare_text(i + 1, i + 2);  // the escaped byte goes with the skipped text
        else bare_text(i, i + 1);
        return ST_LINE_START;
    }

    // The handlers of tags and texts copy a run of ordinary bytes and then
    // act on the byte that stopped it; a backslash, or the end, goes back to
    // the loop, which sees to a trailing backslash.
    scan_state on_tag() noexcept {
        if (!(kClass.v[p[i]] & STOP_IN_TAG)) {
            i = copy_run(p, i, n, out, w, STOP_IN_TAG, angle);
            if (i == n || p[i] == '\\') return ST_IN_TAG;
        } else if (p[i] == '\\') {
            escape();
            return ST_IN_TAG;
        }
        if (p[i] == ']') {
            i++;
            close_tag();
            return ST_IN_TEXT;
        }
        warn_fmt("tag: unterminated at pos %zu", i);  // at a CR or LF
        drop_group();
        i++;
        return ST_LINE_START;
    }

    scan_state on_text() noexcept {
        if (!(kClass.v[p[i]] & STOP_IN_TEXT)) {
            i = copy_run(p, i, n, out, w, STOP_IN_TEXT, angle);
            if (i == n || p[i] == '\\') return ST_IN_TEXT;
        } else if (p[i] == '\\') {
            escape();
            return ST_IN_TEXT;
        }
        if (p[i] == '[') {
            // Text already read ends the group; otherwise the tag joins it.
            i++;
            if (text_read()) flush_line();
            token = w;
            return enter_tag();
        }
        // A CR or LF. Most lines end in "\n" or "\r\n" and the next one begins
        // with "[": taken here, they save the loop two rounds per line.
        i += p[i] == '\r' && i + 1 < n && p[i + 1] == '\n' ? 2 : 1;
        flush_line();
        if (i == n || p[i] != '[') return ST_LINE_START;
        i++;
        begin_group();
        return enter_tag();
    }

    void free_entries() noexcept {
        mem_free(entries);
        entries = nullptr;
        entry_count = 0;
    }
};

}  // namespace

int32_t state_machine(const char *bytes, uint64_t length) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes);
    size_t n = static_cast<size_t>(length);
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        p += 3;
        n -= 3;
    }

    size_t block_size = n <= SIZE_MAX - 1 - kBlockSlack ? n + 1 + kBlockSlack : 0;
    char *block = nullptr;
    if (block_size && g_spare_block.bytes && g_spare_block.size >= block_size) {
        block = g_spare_block.bytes;
        block_size = g_spare_block.size;
        g_spare_block = spare_block{};
    } else if (block_size) {
        block = static_cast<char *>(mem_alloc(block_size));
        mem_advise_sequential_fill(block, n);
    }
    if (!block) {
        set_error_fmt("out of memory");
        return LYRX_ERR_OOM;
    }
    g_text_block = block;
    g_text_block_size = block_size;
    scanner sc{p, n, 0, block};
    // A line of lyrics is rarely shorter than 16 bytes: reserving for that
    // many tags and groups saves the regrowth of both on every ordinary input.
    // Failing here is failing the scan, as any later growth would.
    int64_t estimate = static_cast<int64_t>(n / 16 + 16 < INT32_MAX ? n / 16 + 16 : INT32_MAX);
    // The lines of a parse are written over its entries (see
    // interpret_entries): a line array handed over from the previous result
    // is this scan's entry array.
    if (g_lines.items) {
        sc.entries = reinterpret_cast<tag_entry *>(g_lines.items);
        sc.entry_cap = g_lines.capacity / 2;
        g_lines = line_vec{};
    }
    bool fresh_entries = sc.entries == nullptr;
    sc.ok = reserve_items(sc.entries, sc.entry_cap, estimate, 32) &&
            reserve_items(g_groups.items, g_groups.capacity, estimate, 32);
    if (sc.ok && fresh_entries)
        mem_advise_sequential_fill(sc.entries, sizeof(tag_entry) * static_cast<size_t>(sc.entry_cap));
    scan_state state = ST_LINE_START;

    while (sc.ok) {
        if (sc.i == n) {
            if (state == ST_IN_TAG) warn_fmt("tag: unterminated at pos %zu", n);
            else if (state == ST_IN_TEXT) sc.flush_line();
            break;
        }
        if (p[sc.i] == '\\' && sc.i + 1 == n) {
            // The unfinished group is dropped with the rest of the scan.
            warn_fmt("escape: trailing backslash at EOF");
            break;
        }
        switch (state) {
        case ST_LINE_START: state = sc.on_line_start(); break;
        case ST_IN_TAG: state = sc.on_tag(); break;
        case ST_IN_TEXT: state = sc.on_text(); break;
        }
    }

    if (!sc.ok) {
        sc.free_entries();
        mem_free(g_groups.items);
        g_groups = group_vec{};
        mem_free(g_text_block);
        g_text_block = nullptr;
        g_text_block_size = 0;
        set_error_fmt("out of memory");
        return LYRX_ERR_OOM;
    }
    // Defined bytes after the last text, for the 16-byte reads of the JSON writer.
    std::memset(block + sc.w, 0, kBlockSlack);
    // Entries past the last finished group belong to a dropped one.
    return interpret_entries(sc.entries, sc.group_first, sc.entry_cap);
}

}  // namespace lyrx
