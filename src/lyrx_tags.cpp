// Tag interpretation: time tags become lines, ti/ar/al/by and offset fill the
// header; then the offset is applied, the lines sorted and the status decided.
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

int lyric_cmp(const void *pa, const void *pb) noexcept {
    const auto *a = static_cast<const lyric_line *>(pa);
    const auto *b = static_cast<const lyric_line *>(pb);
    if (a->start_ms != b->start_ms) return a->start_ms < b->start_ms ? -1 : 1;
    if (a->seq != b->seq) return a->seq < b->seq ? -1 : 1;
    return 0;
}

// "digits:decimal" with exactly one colon; the time in ms through *out.
bool time_tag_ms(const char *tag, int32_t *out) noexcept {
    const char *colon = std::strchr(tag, ':');
    if (!colon || colon == tag || std::strchr(colon + 1, ':')) return false;
    for (const char *q = tag; q < colon; q++)
        if (*q < '0' || *q > '9') return false;
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

int set_meta_field(char **slot, const char *name, const char *value) noexcept {
    if (!value) return -1;
    if (*slot) {
        if (std::strcmp(*slot, value) != 0) warn_fmt("meta: conflicting %s ('%s' vs '%s')", name, *slot, value);
        return 0;
    }
    *slot = copy_string(value);
    return *slot ? 0 : -1;
}

struct interpreter {
    char *offset_text = nullptr;
    bool enhanced_warned = false;
    const char *last_text_checked = nullptr;  // the entries of a group are adjacent and share it
    int32_t next_seq = 0;

    void offset_rule(const char *v) noexcept {
        if (offset_text) {
            if (std::strcmp(offset_text, v) != 0) {
                warn_fmt("meta: conflicting offset ('%s' vs '%s')", offset_text, v);
                return;
            }
            mem_free(offset_text);
        }
        // A failed copy is no error: the next offset tag then meets no conflict.
        offset_text = copy_string(v);
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

    bool append_line(int32_t start_ms, char *text) noexcept {
        if (g_lines.count == g_lines.capacity) {
            int32_t cap;
            if (g_lines.capacity == 0) cap = 32;
            else if (g_lines.capacity >= INT32_MAX) return false;
            else cap = g_lines.capacity > INT32_MAX / 2 ? INT32_MAX : g_lines.capacity * 2;
            auto *items =
                static_cast<lyric_line *>(mem_realloc(g_lines.items, sizeof(lyric_line) * static_cast<size_t>(cap)));
            if (!items) return false;
            g_lines.items = items;
            g_lines.capacity = cap;
        }
        g_lines.items[g_lines.count++] = lyric_line{start_ms, text, next_seq++};
        return true;
    }

    // One entry; false when memory ran out (the entry's strings are freed).
    bool interpret(tag_entry &e) noexcept {
        if (!enhanced_warned && e.text != last_text_checked) {
            last_text_checked = e.text;
            if (std::strchr(e.text, '<') && std::strchr(e.text, '>')) {
                warn_fmt("enhanced: inline <mm:ss> left as literal");
                enhanced_warned = true;
            }
        }
        bool ok = true;
        int32_t start_ms;
        if (time_tag_ms(e.tag, &start_ms)) {
            // The entry's hold on the text passes to the line.
            ok = append_line(start_ms, e.text);
            if (ok) e.text = nullptr;
        } else {
            const char *t = e.tag;
            size_t letters = 0;
            while (ascii_is_letter(static_cast<unsigned char>(t[letters]))) letters++;
            if (letters > 0 && t[letters] == ':') {
                char key[64];
                size_t k = letters < 63 ? letters : 63;
                // cppcheck-suppress knownConditionTrueFalse ; false positive: k >= 1 here, letters > 0
                for (size_t j = 0; j < k; j++) key[j] = static_cast<char>(t[j] | 0x20);  // ASCII letters only here
                key[k] = '\0';
                const char *value = t + letters + 1;
                if (std::strcmp(key, "ti") == 0) ok = set_meta_field(&g_ti, "ti", value) == 0;
                else if (std::strcmp(key, "ar") == 0) ok = set_meta_field(&g_ar, "ar", value) == 0;
                else if (std::strcmp(key, "al") == 0) ok = set_meta_field(&g_al, "al", value) == 0;
                else if (std::strcmp(key, "by") == 0) ok = set_meta_field(&g_by, "by", value) == 0;
                else if (std::strcmp(key, "offset") == 0) offset_rule(value);
            }
        }
        mem_free(e.tag);
        shared_text_release(e.text);
        e.tag = e.text = nullptr;
        return ok;
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

bool lines_sorted() noexcept {
    for (int32_t i = 1; i < g_lines.count; i++)
        if (g_lines.items[i - 1].start_ms > g_lines.items[i].start_ms) return false;
    return true;  // seq rises in storage order, so equal starts are already in order
}

}  // namespace

int32_t interpret_entries(tag_entry *entries, int32_t count) noexcept {
    interpreter in;
    int32_t i = 0;
    bool ok = true;
    for (; i < count; i++) {
        if (!in.interpret(entries[i])) {
            ok = false;
            i++;
            break;
        }
    }
    for (; i < count; i++) {  // entries left unprocessed after a failure
        mem_free(entries[i].tag);
        shared_text_release(entries[i].text);
    }
    mem_free(in.offset_text);
    mem_free(entries);
    if (!ok) {
        set_error_fmt("out of memory");
        return LYRX_ERR_OOM;
    }

    if (g_lines.count > 0) {
        if (g_has_offset) apply_offset_saturating();
        if (g_lines.count > 1 && !lines_sorted())
            std::qsort(g_lines.items, static_cast<size_t>(g_lines.count), sizeof(lyric_line), lyric_cmp);
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
