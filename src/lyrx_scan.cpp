// The byte scanner: one pass over the text with three states, cutting it into
// tag groups and line texts (the entry list) and raising the surface warnings.
#include <cstring>
#include <initializer_list>

#include "lyrx_state.hpp"

namespace lyrx {
namespace {

enum scan_state { ST_LINE_START, ST_IN_TAG, ST_IN_TEXT };

// Bytes that stop a run of ordinary bytes inside a tag or a text.
enum : unsigned char { ORDINARY = 0, STOP_IN_TAG = 1, STOP_IN_TEXT = 2 };
constexpr auto make_class_table() {
    struct table { unsigned char v[256]; } t{};
    for (unsigned char c : {0x5C, 0x0D, 0x0A}) t.v[c] = STOP_IN_TAG | STOP_IN_TEXT;  // backslash, CR, LF
    t.v[0x5D] = STOP_IN_TAG;   // ]
    t.v[0x5B] = STOP_IN_TEXT;  // [
    return t;
}
constexpr auto kClass = make_class_table();

// Grows a capacity by doubling from `first`, capped at the int32 range; 0 when
// it cannot grow any more.
int32_t next_capacity(int32_t cap, int32_t first) noexcept {
    if (cap == 0) return first;
    if (cap >= INT32_MAX) return 0;
    return cap > INT32_MAX / 2 ? INT32_MAX : cap * 2;
}

struct scanner {
    char *buf = nullptr;  // token_buf: the tag or text being read, NUL-terminated
    size_t len = 0;
    size_t cap = 0;
    char **pending = nullptr;  // tags of the current group
    int32_t pending_count = 0;
    int32_t pending_cap = 0;
    tag_entry *entries = nullptr;
    int32_t entry_count = 0;
    int32_t entry_cap = 0;

    bool append(const unsigned char *src, size_t k) noexcept {
        if (len + k >= cap) {
            size_t c = cap ? cap : 64;
            while (len + k >= c) c *= 2;
            auto *nb = static_cast<char *>(mem_realloc(buf, c));
            if (!nb) return false;
            buf = nb;
            cap = c;
        }
        std::memcpy(buf + len, src, k);
        len += k;
        buf[len] = '\0';
        return true;
    }

    void clear_buf() noexcept {
        len = 0;
        if (buf) buf[0] = '\0';
    }

    void drop_pending() noexcept {
        for (int32_t i = 0; i < pending_count; i++) mem_free(pending[i]);
        pending_count = 0;
    }

    // Ends a tag: its content joins the pending group.
    bool close_tag() noexcept {
        char *tag = copy_bytes(buf ? buf : "", len);
        if (!tag) return false;
        if (pending_count == pending_cap) {
            int32_t c = next_capacity(pending_cap, 8);
            auto *np = c ? static_cast<char **>(mem_realloc(pending, sizeof(char *) * static_cast<size_t>(c))) : nullptr;
            if (!np) {
                mem_free(tag);
                return false;
            }
            pending = np;
            pending_cap = c;
        }
        pending[pending_count++] = tag;
        clear_buf();
        return true;
    }

    // Every pending tag becomes an entry; all of them share one copy of the line text.
    bool flush_line() noexcept {
        if (pending_count > 0) {
            while (entry_cap - entry_count < pending_count) {
                int32_t c = next_capacity(entry_cap, 32);
                auto *ne = c ? static_cast<tag_entry *>(mem_realloc(entries, sizeof(tag_entry) * static_cast<size_t>(c)))
                             : nullptr;
                if (!ne) return false;
                entries = ne;
                entry_cap = c;
            }
            char *text = shared_text_new(buf ? buf : "", len, pending_count);
            if (!text) return false;
            // The pending tags move into the entries; their slots no longer own them.
            for (int32_t i = 0; i < pending_count; i++) {
                entries[entry_count++] = tag_entry{pending[i], text};
                pending[i] = nullptr;
            }
        }
        pending_count = 0;
        clear_buf();
        return true;
    }

    void free_work() noexcept {
        drop_pending();
        mem_free(pending);
        mem_free(buf);
        pending = nullptr;
        buf = nullptr;
    }

    void free_entries() noexcept {
        for (int32_t i = 0; i < entry_count; i++) {
            mem_free(entries[i].tag);
            shared_text_release(entries[i].text);
        }
        mem_free(entries);
        entries = nullptr;
        entry_count = 0;
    }
};

// Index of the next CR or LF at or after i, or n.
size_t skip_to_line_end(const unsigned char *p, size_t i, size_t n) noexcept {
    while (i < n && p[i] != '\r' && p[i] != '\n') i++;
    return i;
}

}  // namespace

int32_t state_machine(const char *bytes, uint64_t length) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes);
    size_t n = static_cast<size_t>(length);
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        p += 3;
        n -= 3;
    }

    scanner sc;
    scan_state state = ST_LINE_START;
    size_t i = 0;
    bool ok = true;

    while (ok) {
        if (i == n) {
            if (state == ST_IN_TAG) {
                warn_fmt("tag: unterminated at pos %zu", n);
            } else if (state == ST_IN_TEXT) {
                ok = sc.flush_line();
            }
            break;
        }
        unsigned char c = p[i];
        if (c == '\\') {
            if (i + 1 == n) {
                // The unfinished group is dropped with the rest of the scan.
                warn_fmt("escape: trailing backslash at EOF");
                break;
            }
            if (state == ST_LINE_START) {
                warn_fmt("bare: skipped text before '[' at pos %zu", i + 1);
                i = skip_to_line_end(p, i + 2, n);
            } else {
                ok = sc.append(p + i + 1, 1);
                i += 2;
            }
            continue;
        }
        switch (state) {
        case ST_LINE_START:
            if (c == '[') {
                state = ST_IN_TAG;
                i++;
            } else if (c == '\r' || c == '\n') {
                i++;
            } else {
                warn_fmt("bare: skipped text before '[' at pos %zu", i);
                i = skip_to_line_end(p, i + 1, n);
            }
            break;
        case ST_IN_TAG:
            if (c == ']') {
                ok = sc.close_tag();
                state = ST_IN_TEXT;
                i++;
            } else if (c == '\r' || c == '\n') {
                warn_fmt("tag: unterminated at pos %zu", i);
                sc.drop_pending();
                sc.clear_buf();
                state = ST_LINE_START;
                i++;
            } else {
                size_t j = i + 1;
                while (j < n && !(kClass.v[p[j]] & STOP_IN_TAG)) j++;
                ok = sc.append(p + i, j - i);
                i = j;
            }
            break;
        case ST_IN_TEXT:
            if (c == '\r' || c == '\n') {
                ok = sc.flush_line();
                state = ST_LINE_START;
                i++;
            } else if (c == '[') {
                // Text already read ends the group; otherwise the tag joins it.
                if (sc.len != 0) ok = sc.flush_line();
                state = ST_IN_TAG;
                i++;
            } else {
                size_t j = i + 1;
                while (j < n && !(kClass.v[p[j]] & STOP_IN_TEXT)) j++;
                ok = sc.append(p + i, j - i);
                i = j;
            }
            break;
        }
    }

    sc.free_work();
    if (!ok) {
        sc.free_entries();
        set_error_fmt("out of memory");
        return LYRX_ERR_OOM;
    }
    return interpret_entries(sc.entries, sc.entry_count);
}

}  // namespace lyrx
