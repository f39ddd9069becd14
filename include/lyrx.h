/*
 * lyrx - a small, fast reader of LRC synced lyrics, with a flat C interface.
 *
 * Ownership: the library owns every string it returns. The host must neither
 * free nor change one. A string stays valid until the call that replaces it:
 * the next parse (lyrx_parse, lyrx_parse_file) or lyrx_clear for anything of
 * the parse result; the next call of the same function for the artist list,
 * the cleaned title and the JSON text (and lyrx_clear for those too).
 *
 * Threads: none. All results live in one process-wide state without locks;
 * call the library from one thread at a time.
 *
 * Times are signed 32-bit milliseconds. Texts are NUL-terminated bytes,
 * UTF-8 by convention.
 */
#ifndef LYRX_H
#define LYRX_H

#include <stdint.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(LYRX_BUILDING)
#    define LYRX_API __declspec(dllexport)
#  elif defined(LYRX_STATIC)
#    define LYRX_API
#  else
#    define LYRX_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define LYRX_API __attribute__((visibility("default")))
#else
#  define LYRX_API
#endif

#ifdef __cplusplus
#  define LYRX_NOEXCEPT noexcept
extern "C" {
#else
#  define LYRX_NOEXCEPT
#endif

/* Status codes returned by the parse functions and lyrx_tag_parse_title. */
#define LYRX_OK 0            /* at least one lyric line was found */
#define LYRX_ERR_NO_LYRICS 1 /* nothing usable (or a failed UTF-16 conversion) */
#define LYRX_ERR_EMPTY 2     /* zero-length input, or header tags but no lyric line */
#define LYRX_ERR_NULL 3      /* a required pointer argument was null */
#define LYRX_ERR_IO 4        /* the file cannot be opened, sized, positioned or read */
#define LYRX_ERR_OOM 5       /* memory ran out */

/* ---- Parsing ---------------------------------------------------------- */

/** Parses `length` bytes of LRC text (UTF-8, optional byte-order mark; no NUL
 *  terminator needed) into the result state, replacing the previous result.
 *  Returns a status code; null text gives LYRX_ERR_NULL, length 0 LYRX_ERR_EMPTY.
 *  `text` may point into a string the library handed out. */
LYRX_API int32_t lyrx_parse(const char *text, uint64_t length) LYRX_NOEXCEPT;

/** Reads the file at `path` whole and parses it like lyrx_parse; a file that
 *  starts with a UTF-16LE/BE byte-order mark is converted to UTF-8 first, and
 *  the warning that says so comes last. Files of 2 GiB or more are refused.
 *  Returns a status code. Failures before the parse (null path, open, size,
 *  read, memory for the file, conversion) keep the previous result and only
 *  replace the error text. `path` may point into a string the library handed
 *  out. */
LYRX_API int32_t lyrx_parse_file(const char *path) LYRX_NOEXCEPT;

/** Returns 1 when the first 8192 bytes of `data` (after an optional UTF-8
 *  mark) hold an LRC time tag or a ti/ar/al/by/offset tag, else 0.
 *  Reads nothing else, allocates nothing and touches no state. */
LYRX_API int32_t lyrx_detect(const char *data, uint64_t length) LYRX_NOEXCEPT;

/** Empties the whole result state: lines, tags, offset, warnings, error text,
 *  last status, JSON text, artist list and cleaned title. Harmless to repeat. */
LYRX_API void lyrx_clear(void) LYRX_NOEXCEPT;

/* ---- Result of the last parse ------------------------------------------ */

/** Number of lyric lines, sorted by start time (ties in input order). */
LYRX_API int32_t lyrx_line_count(void) LYRX_NOEXCEPT;

/** Start of line `index` in ms, the offset applied; 0 for a bad index. */
LYRX_API int32_t lyrx_line_start_ms(int32_t index) LYRX_NOEXCEPT;

/** End of line `index` in ms: the next line's start when it is later, else
 *  start + 3000 (saturating at INT32_MAX); 0 for a bad index. */
LYRX_API int32_t lyrx_line_end_ms(int32_t index) LYRX_NOEXCEPT;

/** Text of line `index` (possibly empty); null for a bad index. */
LYRX_API const char *lyrx_line_text(int32_t index) LYRX_NOEXCEPT;

/** Header tag value for key "ti", "ar", "al" or "by" (any letter case);
 *  null for a null or other key, or a tag that was not in the text. */
LYRX_API const char *lyrx_meta(const char *key) LYRX_NOEXCEPT;

/** The accepted [offset:] value in ms (already applied to the start times);
 *  0 when there was none. */
LYRX_API int32_t lyrx_offset_ms(void) LYRX_NOEXCEPT;

/** Last error text; never null, the empty string when there is none. */
LYRX_API const char *lyrx_last_error(void) LYRX_NOEXCEPT;

/** Number of warnings of the last parse. */
LYRX_API int32_t lyrx_warning_count(void) LYRX_NOEXCEPT;

/** Warning `index` in the order raised; null for a bad index. */
LYRX_API const char *lyrx_warning(int32_t index) LYRX_NOEXCEPT;

/** The whole result of the last parse as one compact JSON text, or null when
 *  none could be made (no memory, or a string that is not valid UTF-8).
 *  Valid until the next call of this function or lyrx_clear. */
LYRX_API const char *lyrx_result_json(void) LYRX_NOEXCEPT;

/* ---- Title tag analysis ------------------------------------------------- */

/** Splits a title such as "Song ft. A & B" into the credited artists, read
 *  with lyrx_tag_artist_count / lyrx_tag_artist. Returns LYRX_OK (also when no
 *  artist is found), LYRX_ERR_NULL or LYRX_ERR_OOM. The previous list is
 *  released first; `title` may be one of its strings. */
LYRX_API int32_t lyrx_tag_parse_title(const char *title) LYRX_NOEXCEPT;

/** Number of artists found by the last lyrx_tag_parse_title. */
LYRX_API int32_t lyrx_tag_artist_count(void) LYRX_NOEXCEPT;

/** Artist `index`; null for a bad index. Valid until the next
 *  lyrx_tag_parse_title, parse or lyrx_clear. */
LYRX_API const char *lyrx_tag_artist(int32_t index) LYRX_NOEXCEPT;

/** Cleans a title down to the song name (track number, brackets, featuring
 *  credit, second title, web address removed; spaces and tabs trimmed).
 *  Returns the library-owned result, or null for a null title or no memory.
 *  Valid until the next call, parse or lyrx_clear; `title` may be the previous
 *  result. */
LYRX_API const char *lyrx_tag_clean_title(const char *title) LYRX_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* LYRX_H */
