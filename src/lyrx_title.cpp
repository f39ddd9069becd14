// Title tag analysis: splitting a title into the artists credited after a
// featuring word or separator, and cleaning a title down to the song name.
// Both read only their argument and replace only their own results.
#include <cstring>
#include <string>

#include "lyrx_state.hpp"

namespace lyrx {

// Separator words, matched byte for byte against whole words. The order
// decides which one is used when a title holds several.
constexpr const char *g_seps[] = {
    "ft.",   "FT.",   "Ft.",   "ft",        "Ft",        "FT",
    "feat",  "Feat",  "FEAT",  "featuring", "Featuring", "FEATURING",
    "feat.", "Feat.", "FEAT.", "/",         ",",         "&",
    nullptr,
};

namespace {

inline bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

// A piece of the title: bytes in place, not a copy.
struct span {
    const char *s;
    size_t n;
};

// A title byte is never NUL, so the word's end stops the loop as a mismatch.
bool equals(span x, const char *word) noexcept {
    for (size_t k = 0; k < x.n; k++)
        if (word[k] != x.s[k]) return false;
    return word[x.n] == '\0';
}

// Whether an entry of the table may equal the word: only "/", ",", "&" and
// words that begin with an f are in it. Most words of a title are neither.
constexpr bool may_be_separator(span word) noexcept {
    if (word.n == 1) return word.s[0] == '/' || word.s[0] == ',' || word.s[0] == '&';
    return (word.s[0] | 0x20) == 'f' && word.n <= 9;
}
static_assert([] {
    for (const char *const *s = g_seps; *s; s++)
        if (!may_be_separator(span{*s, std::char_traits<char>::length(*s)})) return false;
    return true;
}(), "a separator the quick test would pass over");

bool is_separator(span piece) noexcept {
    if (!may_be_separator(piece)) return false;
    for (const char *const *s = g_seps; *s; s++)
        if (equals(piece, *s)) return true;
    return false;
}

// A new owned copy of the title without any ( ) [ ] { } byte; null when out of memory.
char *copy_without_brackets(const char *title) noexcept {
    auto *out = static_cast<char *>(mem_alloc(std::strlen(title) + 1));
    if (!out) return nullptr;
    char *w = out;
    for (const char *p = title; *p; p++) {
        switch (*p) {
        case '(': case ')': case '[': case ']': case '{': case '}': break;
        default: *w++ = *p;
        }
    }
    *w = '\0';
    return out;
}

// The next word of s at or after *pos (words are split at 0x20 only, runs of
// spaces counting as one), and *pos moved past it. False when only spaces
// remain.
bool next_word(const char *s, size_t *pos, span *word) noexcept {
    size_t p = *pos;
    while (s[p] == ' ') p++;
    if (!s[p]) return false;
    size_t start = p;
    while (s[p] && s[p] != ' ') p++;
    *word = span{s + start, p - start};
    *pos = p;
    return true;
}

// A new owned string of the n pieces with one space between neighbours (the
// empty string for n = 0); null when out of memory.
char *join_words(const span *words, int32_t n) noexcept {
    size_t total = 0;
    for (int32_t i = 0; i < n; i++) total += words[i].n + 1;
    auto *out = static_cast<char *>(mem_alloc(total ? total : 1));
    if (!out) return nullptr;
    char *w = out;
    for (int32_t i = 0; i < n; i++) {
        if (i > 0) *w++ = ' ';
        std::memcpy(w, words[i].s, words[i].n);
        w += words[i].n;
    }
    *w = '\0';
    return out;
}

// The working memory of one title split, released by the caller on every path.
struct split_work {
    char *title;  // the bracket-free copy of the title
    span *pieces;  // the pieces of the text after the separator, inside title
    int32_t count;
    int32_t capacity;

    bool push(const char *s, size_t n) noexcept {
        if (!reserve_items(pieces, capacity, static_cast<int64_t>(count) + 1, 8)) return false;
        pieces[count++] = span{s, n};
        return true;
    }
};

int32_t split_title(split_work *w) noexcept {
    // The separator is the first table entry that equals a whole word; the
    // rest starts after the first word equal to it, so that the same letters
    // inside a longer word ("ft" in "Aftershock") are never taken for it.
    const char *rest = nullptr;
    size_t best = sizeof g_seps / sizeof g_seps[0];
    size_t pos = 0;
    span word;
    while (next_word(w->title, &pos, &word)) {
        if (!may_be_separator(word)) continue;
        for (size_t k = 0; k < best && g_seps[k]; k++) {
            if (equals(word, g_seps[k])) {
                best = k;  // an earlier word keeps an equal entry: only a smaller one replaces it
                rest = w->title + pos;
                break;
            }
        }
    }
    if (!rest) return LYRX_OK;

    // Pieces: a space ends one (so the spaces after the separator give
    // nothing); "," and "/" end one and are pieces of their own. Everything
    // else, "&" and tab included, belongs to a piece.
    const char *start = rest;
    for (const char *p = rest;; p++) {
        if (*p && *p != ' ' && *p != ',' && *p != '/') continue;
        if (p > start && !w->push(start, static_cast<size_t>(p - start))) return LYRX_ERR_OOM;
        if (!*p) break;
        if (*p != ' ' && !w->push(p, 1)) return LYRX_ERR_OOM;
        start = p + 1;
    }

    // Every separator piece closes the artist before it; a run of separators
    // or one at either end closes nothing, so no artist is ever empty.
    int32_t first = 0;
    for (int32_t i = 0; i <= w->count; i++) {
        if (i < w->count && !is_separator(w->pieces[i])) continue;
        if (i > first) {
            char *artist = join_words(w->pieces + first, i - first);
            if (!artist || str_vec_push(&g_tag_artists, artist) != 0) return LYRX_ERR_OOM;
        }
        first = i + 1;
    }
    return LYRX_OK;
}

// Removes a leading track number: "01. ", "03 - ", "03 -", "7 ". Digits that
// run into a letter ("2nd", "3am") are part of the name, and a title that is
// only digits and blanks ("1999") is the name itself. Returns the new length.
size_t drop_track_number(char *text, size_t len) noexcept {
    size_t p = 0;
    while (ascii_is_digit(static_cast<unsigned char>(text[p]))) p++;
    if (p == 0 || ascii_is_letter(static_cast<unsigned char>(text[p]))) return len;
    size_t q = p;
    while (is_blank(text[q])) q++;
    if (!text[q]) return len;

    if (text[p] == '.') p++;
    if (text[p] == ' ') {
        if (text[p + 1] == '-') {
            p += 2;
            if (text[p] == ' ') p++;
        } else {
            p++;
        }
    }
    std::memmove(text, text + p, len - p + 1);
    return len - p;
}

// True when the case-insensitive word w begins at s and is not continued by
// a letter or digit. Stops at the terminator of s, which matches no letter.
bool word_at(const char *s, const char *w) noexcept {
    for (; *w; s++, w++)
        if (ascii_lower(static_cast<unsigned char>(*s)) != static_cast<unsigned char>(*w)) return false;
    return !ascii_is_alnum(static_cast<unsigned char>(*s));
}

// True when a marker that ends the song name begins at text[p].
bool marker_at(const char *text, size_t p) noexcept {
    const char *s = text + p;
    switch (*s) {
        case '(':
        case '[':
        case ':':
            return true;
        case ' ':
            return s[1] == '&' && s[2] == ' ';
        default:
            break;
    }
    // A featuring credit is a whole word: "Feather" and "FTP" are names.
    // "ft." and "feat." need no entry: the point already ends "ft" and "feat".
    if (p == 0 || !ascii_is_alnum(static_cast<unsigned char>(s[-1]))) {
        if (word_at(s, "ft") || word_at(s, "feat") || word_at(s, "featuring")) return true;
    }
    if (*s == 'h') return std::strncmp(s, "http://", 7) == 0 || std::strncmp(s, "https://", 8) == 0;
    return *s == 'w' && std::strncmp(s, "www.", 4) == 0;
}

}  // namespace

}  // namespace lyrx

using namespace lyrx;

extern "C" {

LYRX_API int32_t lyrx_tag_parse_title(const char *title) noexcept {
    // Copied before the old list goes: the title may be one of its strings.
    split_work w{};
    w.title = title ? copy_without_brackets(title) : nullptr;
    str_vec_free(&g_tag_artists);
    if (!title) return LYRX_ERR_NULL;
    int32_t status = w.title ? split_title(&w) : LYRX_ERR_OOM;
    mem_free(w.pieces);
    mem_free(w.title);
    return status;
}

LYRX_API int32_t lyrx_tag_artist_count(void) noexcept { return g_tag_artists.count; }

LYRX_API const char *lyrx_tag_artist(int32_t index) noexcept {
    return index >= 0 && index < g_tag_artists.count ? g_tag_artists.items[index] : nullptr;
}

LYRX_API const char *lyrx_tag_clean_title(const char *title) noexcept {
    // Copied before the old result goes: the title may be that result.
    char *text = title ? copy_string(title) : nullptr;
    mem_free(g_clean_title);
    g_clean_title = nullptr;
    if (!text) return nullptr;

    size_t len = drop_track_number(text, std::strlen(text));
    for (size_t p = 0; p < len; p++) {
        if (marker_at(text, p)) {
            text[p] = '\0';
            len = p;
            break;
        }
    }
    while (len > 0 && is_blank(text[len - 1])) len--;
    text[len] = '\0';
    size_t lead = 0;
    while (is_blank(text[lead])) lead++;
    if (lead) std::memmove(text, text + lead, len - lead + 1);

    g_clean_title = text;
    return text;
}

}  // extern "C"
