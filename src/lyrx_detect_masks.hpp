// Detection's tag matching on 64-bit class masks, shared by the SSE2 and the
// AVX2 reading of the window. The window is read 64 bytes at a time into one
// bit per byte and class, and both tag shapes are matched on those bits for
// all positions at once: a window dense with "[" that almost begins a tag
// costs little more than any other.
//
// Everything here has internal linkage: each unit compiles its own copy for
// its own instruction set, so a copy built for AVX2 can never stand in for one
// that runs on a CPU without it. Include the standard headers before a target
// pragma, this header after it.
#ifndef LYRX_DETECT_MASKS_HPP
#define LYRX_DETECT_MASKS_HPP

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lyrx {

// One bit per byte of a 64-byte piece for each class the two tag shapes use.
struct piece_classes {
    uint64_t open, close, stop, colon, dot, digit;
    uint64_t short_key, offset_key;  // the "[" of "[ti", "[ar", "[al", "[by" and "[offset", any case
};

// Bits moved k places up, the top k of the previous piece coming in below.
static inline uint64_t up(uint64_t now, uint64_t before, unsigned k) noexcept {
    return now << k | before >> (64 - k);
}

// The ends (the position after each) of the runs of `run` that hold a bit of
// `starts`: one addition carries through each such run and stops on the byte
// after it. A start outside `run` comes through as it is, unless a run ends
// right below it. The carry links the pieces.
static inline uint64_t run_ends(uint64_t starts, uint64_t run, unsigned char &carry) noexcept {
    unsigned long long sum = 0;
    carry = _addcarry_u64(carry, starts, run, &sum);
    return sum & ~run;
}

// Whether p[0..n) holds a tag, read as window_has_tag_bytewise reads it.
// Classes gives classify(q), the classes of q[0..64), reading q[0..72), and
// starts(q), the "[" of q[0..64) before a digit or a key's first letter,
// reading q[0..65). A piece where no tag may begin, and into which nothing of
// the pieces before runs, is passed over after that quick test.
template <class Classes>
static inline bool masks_find_tag(const unsigned char *p, size_t n) noexcept {
    const Classes reader;
    piece_classes before{};
    uint64_t colon_after_digits_before = 0, dot_after_digits_before = 0;
    unsigned char carry_minutes = 0, carry_seconds = 0, carry_fraction = 0, carry_value = 0;
    // Pieces read since the last with a "[". Only from four on may a piece
    // be passed over: a window that mixes pieces with and without a "[" is
    // then read as one dense with them, instead of with a branch
    // mispredicted at every other piece.
    unsigned since_open = 4;
    unsigned char last[72];
    for (size_t at = 0; at < n; at += 64) {
        const unsigned char *q = p + at;
        if (n - at < sizeof last) {
            // The last bytes, copied with zeros after them: a zero is of no class.
            std::memset(last, 0, sizeof last);
            std::memcpy(last, q, n - at);
            q = last;
        }
        // Passed over: nothing of the pieces before runs into this one, and
        // no tag may begin here.
        if (since_open >= 4 && (carry_minutes | carry_seconds | carry_fraction | carry_value) == 0 &&
            ((colon_after_digits_before | dot_after_digits_before) >> 63) == 0 && reader.starts(q) == 0) {
            before = piece_classes{};
            colon_after_digits_before = dot_after_digits_before = 0;
            continue;
        }
        piece_classes c = reader.classify(q);
        // "[" digits ":" digits, then "]" or "." digits (maybe none) "]".
        uint64_t minutes = up(c.open, before.open, 1) & c.digit;
        uint64_t colon_after_digits = run_ends(minutes, c.digit, carry_minutes) & c.colon;
        uint64_t seconds = up(colon_after_digits, colon_after_digits_before, 1) & c.digit;
        uint64_t after_seconds = run_ends(seconds, c.digit, carry_seconds);
        uint64_t dot_after_digits = after_seconds & c.dot;
        // No run ends right below a fraction, which follows a ".".
        uint64_t after_fraction = run_ends(up(dot_after_digits, dot_after_digits_before, 1), c.digit, carry_fraction);
        // A key, ":", and the first "]", CR or LF after it a "]". Here a run
        // can end right below an empty value, which is why those stand apart.
        uint64_t values = (up(c.short_key, before.short_key, 4) | up(c.offset_key, before.offset_key, 8)) &
                          up(c.colon, before.colon, 1);
        uint64_t value_run = ~c.stop;
        uint64_t value_ends = run_ends(values & value_run, value_run, carry_value) | (values & c.stop);
        if ((after_seconds | after_fraction | value_ends) & c.close) return true;
        since_open = (since_open + 1) & (0u - static_cast<unsigned>(c.open == 0));  // no branch
        before = c;
        colon_after_digits_before = colon_after_digits;
        dot_after_digits_before = dot_after_digits;
    }
    return false;
}

}  // namespace lyrx

#endif
