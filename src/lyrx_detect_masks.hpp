// Detection's tag matching on 64-bit class masks, shared by the SSE2 and the
// AVX2 reading of the window. The window is read 64 bytes at a time into one
// bit per byte and class, and both tag shapes are matched on those bits for
// all positions at once: a window dense with "[" that almost begins a tag
// costs little more than any other.
//
// Each class looks at most 7 bytes back and one ahead, so no class has to be
// carried into the next piece; what runs across pieces is carried by four
// additions alone.
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

// One bit per byte of a 64-byte piece q[0..64) for each class the two tag
// shapes use.
struct piece_classes {
    uint64_t open_digit;   // "[" before a digit
    uint64_t digit;
    uint64_t colon_digit;  // ":" before a digit
    uint64_t dot, close, newline;
    uint64_t key_colon;    // the ":" that ends "[ti:", "[ar:", "[al:", "[by:" or "[offset:", any case
    uint32_t any_open;     // nonzero when there is a "[" anywhere in the piece
};

// The piece's bits that `run` holds after a bit of `starts` (each start lies
// in `run`) are cleared, and the byte after each such run is set: one
// addition carries through each run. Bits of runs without a start stay as
// they are. The carry links the pieces.
static inline uint64_t run_through(uint64_t starts, uint64_t run, unsigned char &carry) noexcept {
    unsigned long long sum = 0;
    carry = _addcarry_u64(carry, starts, run, &sum);
    return sum;
}

// What runs from one piece into the next.
struct tag_runs {
    unsigned char carry_minutes = 0, carry_seconds = 0, carry_fraction = 0, carry_value = 0;
    // Pieces read since the last with a "[". Only from four on may a piece
    // be passed over: a window that mixes pieces with and without a "[" is
    // then read as one dense with them, instead of with a branch
    // mispredicted at every other piece. A key's ":" may lie in the piece
    // after its "[", which is therefore never passed over.
    unsigned since_open = 4;

    // Whether a tag ends in the piece at q; kWindowStart: the window's
    // first piece, read in place.
    template <bool kWindowStart = false, class Classes>
    [[gnu::always_inline]] bool end_in(const Classes &reader, const unsigned char *q) noexcept {
        if (since_open >= 4 && (carry_minutes | carry_seconds | carry_fraction | carry_value) == 0 && reader.starts(q) == 0)
            return false;
        const piece_classes c = reader.template classify<kWindowStart>(q);
        // "[" digits ":" digits, then "]" or "." digits (maybe none) "]".
        // Each run begins on the byte before its digits, which must hold
        // one: where a run ends shows as a set bit outside it.
        const uint64_t minutes = run_through(c.open_digit, c.digit | c.open_digit, carry_minutes);
        const uint64_t colon_after_minutes = minutes & c.colon_digit;
        const uint64_t seconds = run_through(colon_after_minutes, c.digit | colon_after_minutes, carry_seconds);
        const uint64_t dot_after_seconds = seconds & c.dot;
        const uint64_t fraction = run_through(dot_after_seconds, c.digit | dot_after_seconds, carry_fraction);
        // A key's ":", then a "]" before the next CR or LF: within a line
        // the bits from each such ":" on are cleared.
        const uint64_t value = run_through(c.key_colon, ~c.newline, carry_value);
        if (((seconds | fraction | ~value) & c.close) != 0) return true;
        since_open = c.any_open ? 0 : since_open + 1;
        return false;
    }
};

// Whether p[0..n) holds a tag, read as window_has_tag_bytewise reads it.
// Classes gives classify(q), the classes of q[0..64), reading q[-7..65), or
// only q[0..65) for the window's first piece (classify<true>), and starts(q),
// the "[" of q[0..64) before a digit or a key's first letter, reading
// q[0..65). A piece where no tag may begin, and into which nothing of the
// pieces before runs, is passed over after that quick test.
template <class Classes>
static inline bool masks_find_tag(const unsigned char *p, size_t n) noexcept {
    const Classes reader;
    tag_runs runs;
    // The pieces are read in place where every byte they read lies in the
    // window. The last bytes, and a window too short for one piece, are read
    // from a copy with zeros around them: a zero is of no class.
    alignas(32) unsigned char edge[8 + 72];
    const auto copy_to_edge = [&](size_t at) {
        const size_t behind = at == 0 ? 0 : 8;
        std::memset(edge, 0, sizeof edge);
        std::memcpy(edge + 8 - behind, p + at - behind, n - at + behind);
        return edge + 8;
    };
    const unsigned char *q = p + 64;
    if (n >= 65) {
        if (runs.end_in<true>(reader, p)) return true;
        for (const unsigned char *last_in_place = p + n - 65; q <= last_in_place; q += 64) {
            if (runs.end_in(reader, q)) return true;
        }
    } else if (runs.end_in(reader, copy_to_edge(0))) {
        return true;
    }
    for (size_t at = static_cast<size_t>(q - p); at < n; at += 64) {
        if (runs.end_in(reader, copy_to_edge(at))) return true;
    }
    return false;
}

}  // namespace lyrx

#endif
