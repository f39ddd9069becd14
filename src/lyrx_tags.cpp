// Tag interpretation: time tags become lines, ti/ar/al/by and offset fill the
// header; then the offset is applied, the lines sorted and the status decided.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "lyrx_state.hpp"

namespace lyrx {

int parse_decimal(const char *s, uint64_t n, double *out) noexcept {
    double value = 0.0;
    double fraction = 0.0;
    double scale = 0.1;
    bool any_digit = false;
    bool after_point = false;
    for (uint64_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= '0' && c <= '9') {
            any_digit = true;
            // Exactly this arithmetic: the millisecond rounding depends on it.
            if (after_point) {
                fraction += (c - '0') * scale;
                scale *= 0.1;
            } else {
                value = value * 10 + (c - '0');
            }
        } else if (c == '.' && !after_point) {
            after_point = true;
        } else {
            return 0;
        }
    }
    if (!any_digit) return 0;
    *out = value + fraction;
    return 1;
}

namespace {

bool line_before(const lyric_line &a, const lyric_line &b) noexcept {
    return a.start_ms != b.start_ms ? a.start_ms < b.start_ms : a.group < b.group;
}

// The time of "digits:decimal" by floating point, as parse_decimal reads the
// two numbers: the rounding of long fractions depends on it.
bool time_tag_ms_general(const char *tag, int32_t *out) noexcept {
    const char *colon = std::strchr(tag, ':');
    if (!colon || colon == tag || std::strchr(colon + 1, ':')) return false;
    for (const char *q = tag; q < colon; q++)
        if (!ascii_is_digit(static_cast<unsigned char>(*q))) return false;
    const char *sec = colon + 1;
    size_t sec_len = std::strlen(sec);
    double m = 0, s = 0;
    if (sec_len == 0 || !parse_decimal(sec, sec_len, &s)) return false;
    parse_decimal(tag, static_cast<uint64_t>(colon - tag), &m);
    double t = (m * 60.0) * 1000.0 + s * 1000.0 + 0.5;
    // Compare before converting: an out-of-range double has no int value.
    *out = t > 2147483647.0 ? INT32_MAX : static_cast<int32_t>(t);
    return true;
}

// "digits:decimal" with exactly one colon; the time in ms through *out. With
// at most 9 digits on either side of the colon and at most 3 after the point
// (every ordinary tag), the time is a whole number of ms and the floating
// point result above is off it by far less than the half it adds, so integers
// give the same value; anything else takes the general path.
bool time_tag_ms(const char *tag, int32_t *out) noexcept {
    int64_t minutes = 0, seconds = 0, fraction = 0;
    const char *q = tag;
    // At most 9 digits are read here: a tenth leaves the decision to the general path.
    for (; ascii_is_digit(static_cast<unsigned char>(*q)) && q - tag < 10; q++) minutes = minutes * 10 + (*q - '0');
    if (q == tag) return false;  // no minutes: a header tag, or nothing
    if (*q != ':' || q - tag > 9) return time_tag_ms_general(tag, out);
    const char *sec = ++q;
    for (; ascii_is_digit(static_cast<unsigned char>(*q)) && q - sec < 10; q++) seconds = seconds * 10 + (*q - '0');
    if (q - sec > 9) return time_tag_ms_general(tag, out);
    int fraction_digits = 0;
    bool point = *q == '.';
    if (point) {
        for (q++; ascii_is_digit(static_cast<unsigned char>(*q)) && fraction_digits < 4; q++, fraction_digits++)
            fraction = fraction * 10 + (*q - '0');
    }
    if (*q != '\0' || fraction_digits > 3 || (q == sec + (point ? 1 : 0))) return time_tag_ms_general(tag, out);
    for (int k = fraction_digits; k < 3; k++) fraction *= 10;
    int64_t ms = minutes * 60000 + seconds * 1000 + fraction;
    *out = ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms);
    return true;
}

// The warning for a later, different value of a key, up to that value:
// "meta: conflicting ti ('" and the first value, then "' vs '". It is the
// same for every later value, so it is built once per key and parse.
struct conflict_head {
    static constexpr size_t kMost = kErrorSize - 64;  // longer: built anew for each warning
    size_t len = 0;                                   // 0: not built yet
    alignas(16) char text[kMost + 32];                // read 32 bytes at a time

    void warn(std::string_view key_head, const char *first, const char *value) noexcept {
        if (len == 0) {
            size_t first_len = std::strlen(first);
            if (key_head.size() + first_len + 6 <= kMost) {
                std::memcpy(text, key_head.data(), key_head.size());
                std::memcpy(text + key_head.size(), first, first_len);
                std::memcpy(text + key_head.size() + first_len, "' vs '", 6);
                len = key_head.size() + first_len + 6;
                std::memset(text + len, 0, 32);  // copied with the head, never read as text
            } else {
                len = SIZE_MAX;
            }
        }
        if (len == SIZE_MAX) {
            warn_join({key_head, first, "' vs '", value, "')"});
            return;
        }
        warn_head_value(text, len, value, std::strlen(value));
    }
};

// `value` is a text of the text block (see warn_head_value).
int set_meta_field(char **slot, std::string_view key_head, conflict_head &head, const char *value) noexcept {
    if (!value) return -1;
    if (*slot) {
        if (std::strcmp(*slot, value) != 0) head.warn(key_head, *slot, value);
        return 0;
    }
    *slot = copy_string(value);
    return *slot ? 0 : -1;
}

// The key the radix sort orders by: the start, as unsigned in the same order.
inline uint32_t start_key(int32_t start) noexcept { return static_cast<uint32_t>(start) ^ 0x80000000u; }
inline uint32_t sort_key(const lyric_line &l) noexcept { return start_key(l.start_ms); }

// What the sort learns from the lines in their order: the places where a
// start is below the one before, the range of the keys and the low zero bits
// they all share.
struct line_order {
    size_t descents = 0;
    uint32_t low = UINT32_MAX, high = 0;
    uint32_t ones = 0;  // every key's bits: its trailing zeros are the shared ones
    int32_t last_start = INT32_MIN;

    void add(int32_t start) noexcept {
        uint32_t k = start_key(start);
        low = k < low ? k : low;
        high = k > high ? k : high;
        ones |= k;
        descents += start < last_start;
        last_start = start;
    }
};

// What an entry makes.
enum class entry_outcome { kNothing, kLine, kOutOfMemory };

struct interpreter {
    char *offset_text = nullptr;
    conflict_head ti_head, ar_head, al_head, by_head, offset_head;
    bool enhanced_warned = false;
    int32_t last_group_checked = -1;  // the entries of a group are adjacent

    void offset_rule(const char *v) noexcept {
        if (offset_text) {
            if (std::strcmp(offset_text, v) != 0) {
                offset_head.warn("meta: conflicting offset ('", offset_text, v);
                return;
            }
        } else {
            // A failed copy is no error: the next offset tag then meets no conflict.
            offset_text = copy_string(v);
        }
        const char *num = v;
        bool negative = false;
        if (*num == '-') {
            negative = true;
            num++;
        } else if (*num == '+') {
            num++;
        }
        double x = 0;
        size_t num_len = std::strlen(num);
        if (num_len == 0 || !parse_decimal(num, num_len, &x)) {
            warn_fmt("meta: unparseable offset '%s'", v);
            return;
        }
        if (negative) x = -x;
        int32_t ms;
        if (x > 2147483647.0) ms = INT32_MAX;
        else if (x < -2147483648.0) ms = INT32_MIN;
        else ms = static_cast<int32_t>(x < 0 ? x - 0.5 : x + 0.5);
        g_offset_ms = ms;
        g_has_offset = 1;
    }

    // One entry: a line starting at *start_ms, or nothing, or out of memory.
    entry_outcome interpret(const tag_entry &e, int32_t *start_ms) noexcept {
        if (!enhanced_warned && e.group != last_group_checked) {
            last_group_checked = e.group;
            const text_group &g = g_groups.items[e.group];
            if (g.angle && std::strchr(g.text, '<') && std::strchr(g.text, '>')) {
                warn_fmt("enhanced: inline <mm:ss> left as literal");
                enhanced_warned = true;
            }
        }
        *start_ms = e.start_ms;
        if (!e.tag || time_tag_ms(e.tag, start_ms)) return entry_outcome::kLine;
        return interpret_header(e) ? entry_outcome::kNothing : entry_outcome::kOutOfMemory;
    }

    // A tag that is no time tag; false when memory ran out.
    bool interpret_header(const tag_entry &e) noexcept {
        const char *t = e.tag;
        size_t letters = 0;
        while (ascii_is_letter(static_cast<unsigned char>(t[letters]))) letters++;
        if (letters == 0 || t[letters] != ':') return true;
        const char *value = t + letters + 1;
        // Keys compare without case; they are ASCII letters here.
        auto lower = [t](size_t j) noexcept { return static_cast<char>(t[j] | 0x20); };
        if (letters == 2) {
            char a = lower(0), b = lower(1);
            if (a == 't' && b == 'i') return set_meta_field(&g_ti, "meta: conflicting ti ('", ti_head, value) == 0;
            if (a == 'a' && b == 'r') return set_meta_field(&g_ar, "meta: conflicting ar ('", ar_head, value) == 0;
            if (a == 'a' && b == 'l') return set_meta_field(&g_al, "meta: conflicting al ('", al_head, value) == 0;
            if (a == 'b' && b == 'y') return set_meta_field(&g_by, "meta: conflicting by ('", by_head, value) == 0;
        } else if (letters == 6 && lower(0) == 'o' && lower(1) == 'f' && lower(2) == 'f' && lower(3) == 's' &&
                   lower(4) == 'e' && lower(5) == 't') {
            offset_rule(value);
        }
        return true;
    }
};

void apply_offset_saturating() noexcept {
    for (int32_t i = 0; i < g_lines.count; i++) {
        // Saturate rather than wrap: an extreme offset must not flip a time's sign.
        int64_t t = static_cast<int64_t>(g_lines.items[i].start_ms) - g_offset_ms;
        g_lines.items[i].start_ms =
            t > INT32_MAX ? INT32_MAX : t < INT32_MIN ? INT32_MIN : static_cast<int32_t>(t);
    }
}

// Lines come in input order, so a sort by start alone that is stable keeps
// equal starts in group order.
//
// A song is nearly sorted (a few lines repeated later): insertion finishes it
// in little more than one pass. Past a budget of moves it gives up and the
// general sort takes over.
bool insertion_sort_bounded(lyric_line *a, size_t n) noexcept {
    size_t budget = n <= 512 ? 16 * n + 256 : 2 * n + 256;
    for (size_t i = 1; i < n; i++) {
        lyric_line x = a[i];
        size_t j = i;
        for (; j > 0 && x.start_ms < a[j - 1].start_ms; j--) a[j] = a[j - 1];
        a[j] = x;
        if (i - j > budget) return false;
        budget -= i - j;
    }
    return true;
}

line_order read_order() noexcept {
    line_order o;
    for (int32_t i = 0; i < g_lines.count; i++) o.add(g_lines.items[i].start_ms);
    return o;
}

// 125 times its inverse is 1 (mod 2^32): a start that 125 divides times the
// inverse is its exact quotient, at most kMost125; any other start gives more.
constexpr uint32_t kInverse125 = 0x26E978D5u;
static_assert(125u * kInverse125 == 1u);
constexpr uint32_t kMost125 = UINT32_MAX / 125;

// Counts the starts as keys (start ^ bias) * mult in [low, high] and writes
// the lines again in their order. False, with nothing changed, when the keys
// span too many places to count or one falls outside (a start that 125 does
// not divide).
bool count_keys(lyric_line *a, size_t n, uint32_t bias, uint32_t mult, uint32_t low, uint32_t high,
                unsigned zeros) noexcept {
    const size_t places = size_t{(high - low) >> zeros} + 1;
    if (places > 16384 || places > n / 4) return false;
    auto *count = static_cast<uint32_t *>(mem_alloc(sizeof(uint32_t) * places));
    if (!count) return false;
    std::memset(count, 0, sizeof(uint32_t) * places);
    for (size_t i = 0; i < n; i++) {
        uint32_t key = (static_cast<uint32_t>(a[i].start_ms) ^ bias) * mult;
        if (key > high) {
            mem_free(count);
            return false;
        }
        count[(key - low) >> zeros]++;
    }
    const int32_t group = a[0].group;
    const uint32_t unmult = mult == 1 ? 1 : 125;
    lyric_line *out = a;
    for (size_t v = 0; v < places; v++) {
        const lyric_line line{static_cast<int32_t>(((low + (static_cast<uint32_t>(v) << zeros)) * unmult) ^ bias), group};
        for (uint32_t j = count[v]; j > 0; j--) *out++ = line;
    }
    mem_free(count);
    return true;
}

// Lines of one group (a text with many time tags) differ only in their
// start: counting the starts and writing the lines again in order takes two
// linear passes, with the counts in the nearest cache. Starts in whole
// seconds are counted as their quotients by 125, which span 125 times fewer
// places. False, with nothing changed, when the starts span too many places.
bool count_starts(const line_order &order, lyric_line *a, size_t n) noexcept {
    const auto zeros = static_cast<unsigned>(std::countr_zero(order.ones));
    const uint32_t low_start = order.low ^ 0x80000000u, high_start = order.high ^ 0x80000000u;
    const uint32_t low_q = low_start * kInverse125, high_q = high_start * kInverse125;
    if (low_start <= INT32_MAX && low_q <= high_q && high_q <= kMost125 &&
        count_keys(a, n, 0, kInverse125, low_q, high_q, zeros))
        return true;
    return count_keys(a, n, 0x80000000u, 1, order.low, order.high, zeros);
}

// Least-significant-digit radix sort on the start, over the digits in which
// the keys differ: a few linear passes instead of n log n comparisons.
// Without memory for its arrays it sorts in place by (start, group) instead.
// `scratch` has room for the lines, or is null.
void sort_lines(const line_order &order, lyric_line *scratch) noexcept {
    const auto n = static_cast<size_t>(g_lines.count);
    lyric_line *a = g_lines.items;
    // A song's few lines are sorted by insertion; many descents in a long
    // result mean no nearly sorted order worth trying it on.
    if ((n <= 512 || order.descents <= n / 32 + 8) && insertion_sort_bounded(a, n)) return;
    if (a[0].group == a[n - 1].group && count_starts(order, a, n)) return;
    lyric_line *b = scratch;
    if (!b) {
        std::sort(a, a + n, [](const lyric_line &x, const lyric_line &y) noexcept { return line_before(x, y); });
        return;
    }
    // Keys are counted from the lowest, without the low zero bits they all
    // share (times in whole seconds have three), in digits of at most 12
    // bits of even width: the 19 bits of a 5-minute song take two passes
    // over 10 bits, whose 1024 places stay in the nearer caches.
    constexpr unsigned kMaxBits = 12;
    const uint32_t low = order.low;
    const auto zeros = static_cast<unsigned>(std::countr_zero(order.ones));
    const auto key_bits = static_cast<unsigned>(std::bit_width((order.high - low) >> zeros));
    if (key_bits == 0) return;
    const unsigned digits = (key_bits + kMaxBits - 1) / kMaxBits;
    const unsigned bits = (key_bits + digits - 1) / digits;
    const uint32_t mask = (1u << bits) - 1;
    const size_t places = size_t{mask} + 2;
    auto *count = static_cast<size_t *>(mem_alloc(sizeof(size_t) * digits * places));
    if (!count) {
        std::sort(a, a + n, [](const lyric_line &x, const lyric_line &y) noexcept { return line_before(x, y); });
        return;
    }
    std::memset(count, 0, sizeof(size_t) * digits * places);
    for (size_t i = 0; i < n; i++) {
        uint32_t k = (sort_key(a[i]) - low) >> zeros;
        for (unsigned d = 0; d < digits; d++) count[d * places + (k >> (bits * d) & mask) + 1]++;
    }
    for (unsigned d = 0; d < digits; d++) {
        size_t *c = count + size_t{d} * places;
        unsigned shift = bits * d + zeros;
        if (c[((sort_key(a[0]) - low) >> shift & mask) + 1] == n) continue;  // the same digit everywhere
        for (size_t v = 1; v < places; v++) c[v] += c[v - 1];
        for (size_t i = 0; i < n; i++) b[c[(sort_key(a[i]) - low) >> shift & mask]++] = a[i];
        std::swap(a, b);
    }
    mem_free(count);
    if (a != g_lines.items) std::memcpy(g_lines.items, a, n * sizeof(lyric_line));
}

}  // namespace

int32_t interpret_entries(tag_entry *entries, int32_t count, int32_t capacity) noexcept {
    // Each entry makes at most one line, of half its size: the lines are
    // written over the entries already read, and the second half of the
    // array is the sort's second array. No memory is taken for either.
    static_assert(sizeof(tag_entry) == 2 * sizeof(lyric_line) && alignof(tag_entry) >= alignof(lyric_line));
    int64_t slots = 2 * static_cast<int64_t>(capacity);
    g_lines = line_vec{reinterpret_cast<lyric_line *>(entries), 0, static_cast<int32_t>(slots < INT32_MAX ? slots : INT32_MAX)};
    interpreter in;
    line_order order;  // taken as the lines are written: no pass of its own
    lyric_line *lines = g_lines.items;
    int32_t line_count = 0;
    bool ok = true;
    for (int32_t i = 0; i < count; i++) {
        tag_entry e;
        std::memcpy(&e, &entries[i], sizeof e);  // read before a line may be written over it
        int32_t start_ms;
        entry_outcome made = in.interpret(e, &start_ms);
        if (made == entry_outcome::kLine) {
            // Line k lies over entries read already.
            lines[line_count++] = lyric_line{start_ms, e.group};
            order.add(start_ms);
        } else if (made == entry_outcome::kOutOfMemory) {
            ok = false;
            break;
        }
    }
    g_lines.count = line_count;
    mem_free(in.offset_text);
    if (!ok) {
        set_error_fmt("out of memory");
        return LYRX_ERR_OOM;
    }

    if (g_lines.count > 0) {
        if (g_has_offset) {
            apply_offset_saturating();
            order = read_order();
        }
        if (order.descents > 0) sort_lines(order, g_lines.items + g_lines.count);
        return LYRX_OK;
    }
    if (g_ti || g_ar || g_al || g_by || g_has_offset) {
        set_error_fmt("LRC has metadata but no lyric lines");
        return LYRX_ERR_EMPTY;
    }
    set_error_fmt("Invalid or empty LRC text. Can't find any lyrics.");
    return LYRX_ERR_NO_LYRICS;
}

}  // namespace lyrx
