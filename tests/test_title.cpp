// The title functions: the artist split, the title cleaning, the ownership of
// their results and their behaviour when memory runs out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "dump.hpp"
#include "fault.hpp"
#include "locales.hpp"
#include "lyrx.h"
#include "lyrx_state.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define LYRX_TEST_HEAP_ACCOUNTING 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LYRX_TEST_HEAP_ACCOUNTING 1
#endif
#endif

#ifdef LYRX_TEST_HEAP_ACCOUNTING
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace {

using Artists = std::vector<std::string>;

struct SplitCase {
    const char *title;
    Artists artists;
};

struct CleanCase {
    const char *title;
    const char *result;
};

Artists current_artists() {
    Artists out;
    for (int32_t i = 0; i < lyrx_tag_artist_count(); i++) {
        const char *a = lyrx_tag_artist(i);
        out.emplace_back(a ? a : "<null>");
    }
    return out;
}

// The shape every artist has whatever the title: not empty, no space at
// either end, no two spaces in a row.
void expect_artist_shape() {
    for (int32_t i = 0; i < lyrx_tag_artist_count(); i++) {
        const char *a = lyrx_tag_artist(i);
        ASSERT_NE(a, nullptr) << "artist " << i;
        std::string s(a);
        EXPECT_FALSE(s.empty()) << "artist " << i;
        EXPECT_NE(s.front(), ' ') << lyrx_test::quote(a);
        EXPECT_NE(s.back(), ' ') << lyrx_test::quote(a);
        EXPECT_EQ(s.find("  "), std::string::npos) << lyrx_test::quote(a);
    }
}

// Every table runs in each host locale: the answers are the "C" locale's.
void check_splits(const std::vector<SplitCase> &cases) {
    lyrx_test::in_each_locale([&] {
        for (const auto &c : cases) {
            SCOPED_TRACE(lyrx_test::quote(c.title));
            EXPECT_EQ(lyrx_tag_parse_title(c.title), LYRX_OK);
            EXPECT_EQ(current_artists(), c.artists);
            expect_artist_shape();
        }
    });
}

void check_cleans(const std::vector<CleanCase> &cases) {
    lyrx_test::in_each_locale([&] {
        for (const auto &c : cases) {
            SCOPED_TRACE(lyrx_test::quote(c.title));
            const char *got = lyrx_tag_clean_title(c.title);
            ASSERT_NE(got, nullptr);
            EXPECT_STREQ(got, c.result);
            EXPECT_LE(std::strlen(got), std::strlen(c.title));
        }
    });
}

// Bytes the heap holds now; 0 where the build gives no way to tell.
size_t heap_in_use() {
#ifdef LYRX_TEST_HEAP_ACCOUNTING
    return __sanitizer_get_current_allocated_bytes();
#else
    return 0;
#endif
}

// ---- artist split ---------------------------------------------------------

TEST(TitleSplit, WorkedExamples) {
    check_splits({
        {"Song ft. A, B & C", {"A", "B", "C"}},
        {"Song (feat. A & B)", {"A", "B"}},
        {"Song ft. A,B/C", {"A", "B", "C"}},
        {"Song feat. A feat. B", {"A", "B"}},
        {"Song  ft.   A  B ,C", {"A B", "C"}},
        {"Song (feat. A) [Remix]", {"A Remix"}},
        {"Salt & Pepper", {"Pepper"}},
        {"A & B ft. C", {"C"}},
        {"Song feat A&B", {"A&B"}},
    });
}

// The separator is found as a whole word, never inside a longer one, and a
// separator never yields an empty artist or starts one.
TEST(TitleSplit, SeparatorIsAWholeWordAndNoArtistIsEmpty) {
    check_splits({
        {"Aftershock ft A", {"A"}},
        {"Loft ft Nova", {"Nova"}},
        {"Daft Punk ft Pharrell", {"Pharrell"}},
        {"Defeated feat Nova", {"Nova"}},
        {"Song ft. A & & B", {"A", "B"}},
        {"X feat. &", {}},
        {"X feat. & B", {"B"}},
        {"Song ft. , A", {"A"}},
        {"Song ft. A , / & B", {"A", "B"}},
        {"Song ft. & A &", {"A"}},
        {"Song ft. A ft. ft. B", {"A", "B"}},
        {"Song ft. ,,//", {}},
    });
}

TEST(TitleSplit, EdgeCases) {
    check_splits({
        {"Song", {}},
        {"Song with A", {}},
        {"Song, A", {}},
        {"", {}},
        {"    ", {}},
        {"Song , A", {"A"}},
        {"Song(feat. A)", {}},
        {"Song fEat. A", {}},
        {"Song FEAT. A", {"A"}},
        {"Song Ft. A", {"A"}},
        {"X feat.", {}},
        {"X feat.   ", {}},
        {"Song ft. A &", {"A"}},
        {"Song ft Craft & Reed", {"Craft", "Reed"}},
        {"Song ft. A\tB", {"A\tB"}},
        {"Song feat: A", {}},
        {"Song feat., A", {}},
        {"Song ft. A & A", {"A", "A"}},
        {"Song ft. fta & feather", {"fta", "feather"}},
        {"Song ft. A && B", {"A && B"}},
        {"Song ft. feat.A ftw", {"feat.A ftw"}},
    });
}

// Every table entry is a separator, the order of the table (not the place in
// the title) picks one, and case and punctuation must match exactly.
TEST(TitleSplit, SeparatorTable) {
    check_splits({
        {"S ft. A", {"A"}},
        {"S FT. A", {"A"}},
        {"S Ft. A", {"A"}},
        {"S ft A", {"A"}},
        {"S Ft A", {"A"}},
        {"S FT A", {"A"}},
        {"S feat A", {"A"}},
        {"S Feat A", {"A"}},
        {"S FEAT A", {"A"}},
        {"S featuring A", {"A"}},
        {"S Featuring A", {"A"}},
        {"S FEATURING A", {"A"}},
        {"S feat. A", {"A"}},
        {"S Feat. A", {"A"}},
        {"S FEAT. A", {"A"}},
        {"S / A", {"A"}},
        {"S , A", {"A"}},
        {"S & A", {"A"}},
        {"S fT. A", {}},
        {"S FEATuring A", {}},
        {"S feat.. A", {}},
        {"S ft.. A", {}},
        {"S feat A / B feat. C", {"A", "B", "C"}},
        {"S / A feat. B", {"B"}},
        {"S & A , B", {"B"}},
        {"S featuring A ft B", {"B"}},
        {"S Feat. A feat. B", {"B"}},
    });
}

TEST(TitleSplit, RealWorldTitles) {
    check_splits({
        {"Stay (feat. Justin Bieber)", {"Justin Bieber"}},
        {"Old Town Road (Remix) [feat. Billy Ray Cyrus]", {"Billy Ray Cyrus"}},
        {"Under Pressure - Queen & David Bowie", {"David Bowie"}},
        {"Lean On (feat. M\xC3\x98 & DJ Snake)", {"M\xC3\x98", "DJ Snake"}},
        {"Se\xC3\xB1orita ft. Camila Cabello / Shawn Mendes", {"Camila Cabello", "Shawn Mendes"}},
        {"Song featuring Artist One, Artist Two & Artist Three", {"Artist One", "Artist Two", "Artist Three"}},
        {"https://example.com/song ft. X", {"X"}},
        {"AC/DC - Thunderstruck", {}},
        {"01. Track\tft. Guest", {}},
        {"Rock & Roll ft. X", {"X"}},
        {"Remix {feat. A} [Radio Edit]", {"A Radio Edit"}},
        {"Ode \xE2\x80\x94 ft. \xE2\x80\x9C" "A\xE2\x80\x9D", {"\xE2\x80\x9C" "A\xE2\x80\x9D"}},
        {"Mix ft. A, B, C, D, E, F, G, H, I, J", {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J"}},
    });
}

TEST(TitleSplit, AccessorsAndNullTitle) {
    ASSERT_EQ(lyrx_tag_parse_title("Song ft. A & B"), LYRX_OK);
    ASSERT_EQ(lyrx_tag_artist_count(), 2);
    EXPECT_EQ(lyrx_tag_artist(-1), nullptr);
    EXPECT_EQ(lyrx_tag_artist(2), nullptr);
    EXPECT_EQ(lyrx_tag_artist(INT32_MIN), nullptr);
    EXPECT_STREQ(lyrx_tag_artist(1), "B");

    // The previous list goes even though the call fails.
    EXPECT_EQ(lyrx_tag_parse_title(nullptr), LYRX_ERR_NULL);
    EXPECT_EQ(lyrx_tag_artist_count(), 0);
    EXPECT_EQ(lyrx_tag_artist(0), nullptr);
    EXPECT_EQ(lyrx::g_tag_artists.items, nullptr);

    // A title without artists also empties the list.
    ASSERT_EQ(lyrx_tag_parse_title("Song ft. A"), LYRX_OK);
    ASSERT_EQ(lyrx_tag_parse_title("Song"), LYRX_OK);
    EXPECT_EQ(lyrx_tag_artist_count(), 0);
}

// A host may pass back a string the library gave it.
TEST(TitleSplit, TitleFromOwnResults) {
    ASSERT_EQ(lyrx_tag_parse_title("X ft. Long Artist Name / B"), LYRX_OK);
    ASSERT_EQ(lyrx_tag_artist_count(), 2);
    EXPECT_EQ(lyrx_tag_parse_title(lyrx_tag_artist(0)), LYRX_OK);
    EXPECT_EQ(lyrx_tag_artist_count(), 0);

    ASSERT_EQ(lyrx_tag_parse_title("Start ft. A ft. B"), LYRX_OK);
    EXPECT_EQ(lyrx_tag_parse_title(lyrx_tag_artist(1)), LYRX_OK);
    EXPECT_EQ(current_artists(), Artists{});

    // An artist never holds a separator word; the cleaned title can.
    EXPECT_EQ(lyrx_tag_parse_title(lyrx_tag_clean_title("01. Song / Guest (Live)")), LYRX_OK);
    EXPECT_EQ(current_artists(), Artists{"Guest"});
}

TEST(TitleSplit, LeavesTheParseResultAlone) {
    const char text[] = "[ti:T]\n[00:01]line";
    ASSERT_EQ(lyrx_parse(text, sizeof text - 1), LYRX_OK);
    const std::string before = lyrx_test::dump_result(LYRX_OK);
    ASSERT_EQ(lyrx_tag_parse_title("Song ft. A"), LYRX_OK);
    EXPECT_EQ(lyrx_tag_parse_title(nullptr), LYRX_ERR_NULL);
    EXPECT_EQ(lyrx_test::dump_result(LYRX_OK), before);

    ASSERT_EQ(lyrx_parse("", 0), LYRX_ERR_EMPTY);
    const std::string error = lyrx_last_error();
    EXPECT_EQ(lyrx_tag_parse_title(nullptr), LYRX_ERR_NULL);
    EXPECT_EQ(lyrx_last_error(), error);
    EXPECT_EQ(lyrx::g_last_status, LYRX_ERR_EMPTY);
}

TEST(TitleSplit, ParseReleasesTheArtists) {
    ASSERT_EQ(lyrx_tag_parse_title("Song ft. A & B"), LYRX_OK);
    ASSERT_EQ(lyrx_tag_artist_count(), 2);
    const char text[] = "[00:01]a";
    ASSERT_EQ(lyrx_parse(text, sizeof text - 1), LYRX_OK);
    EXPECT_EQ(lyrx_tag_artist_count(), 0);
    EXPECT_EQ(lyrx_tag_artist(0), nullptr);
    EXPECT_EQ(lyrx::g_tag_artists.items, nullptr);

    ASSERT_EQ(lyrx_tag_parse_title("Song ft. A"), LYRX_OK);
    lyrx_clear();
    EXPECT_EQ(lyrx_tag_artist_count(), 0);
}

// Long enough that the token, piece and artist lists all grow past 8 slots.
TEST(TitleSplit, OutOfMemoryAtEveryAllocation) {
    const char *title = "Mix (Live) ft. A1, B2 & C3 / D4, E5 F5, G6, H7 & I8, J9, K10 L10";
    const Artists full = {"A1", "B2", "C3", "D4", "E5 F5", "G6", "H7", "I8", "J9", "K10 L10"};
    int kept_most[2] = {0, 0};
    size_t before = 0;
    int32_t status = LYRX_OK;
    const long points = lyrx_test::for_each_failed_allocation(
        [&] {
            ASSERT_EQ(lyrx_tag_parse_title("Old ft. Previous"), LYRX_OK);
            ASSERT_EQ(lyrx_tag_parse_title(nullptr), LYRX_ERR_NULL);
            before = heap_in_use();
        },
        [&] { status = lyrx_tag_parse_title(title); },
        [&](const lyrx_test::failed_run &run) {
            {  // the copies go before the heap is measured
                const Artists got = current_artists();
                EXPECT_LE(lyrx::g_tag_artists.count, lyrx::g_tag_artists.capacity);
                EXPECT_EQ(lyrx::g_tag_artists.items == nullptr, lyrx::g_tag_artists.capacity == 0);
                if (run.fired) {
                    EXPECT_EQ(status, LYRX_ERR_OOM);
                    // What was appended before the failure stays, in order.
                    ASSERT_LE(got.size(), full.size());
                    EXPECT_EQ(got, Artists(full.begin(), full.begin() + static_cast<long>(got.size())));
                    if (run.n == 1) {
                        EXPECT_TRUE(got.empty());
                    }
                    int &most = kept_most[run.persistent];
                    most = std::max(most, static_cast<int>(got.size()));
                } else {
                    EXPECT_EQ(status, LYRX_OK);
                    EXPECT_EQ(got, full);
                }
            }
            ASSERT_EQ(lyrx_tag_parse_title(nullptr), LYRX_ERR_NULL);
            EXPECT_EQ(heap_in_use(), before) << "the call leaked";
        });
    lyrx_test::report_injection_points("lyrx_tag_parse_title", points);
    // The last allocation of the call is the join of the last artist.
    for (int most : kept_most)
        EXPECT_EQ(most, static_cast<int>(full.size()) - 1)
            << "a failure late in the call keeps the artists appended before it";
}

// ---- title cleaning -------------------------------------------------------

TEST(TitleClean, WorkedExamples) {
    check_cleans({
        {"01. Song Title (Remix) feat. X", "Song Title"},
        {"03 - Title", "Title"},
        {"03 -Title", "Title"},
        {"03.Title", "Title"},
        {"7 Days", "Days"},
        {"1.5 Love", "5 Love"},
        {"Song ft. X", "Song"},
        {"Song feat.X", "Song"},
        {"Soft Song", "Soft Song"},
        {"Song-feat X", "Song-"},
        {"Left.ft", "Left."},
        {"Track: Name", "Track"},
        {"Song & Co", "Song"},
        {"Song&Co", "Song&Co"},
        {"x{y}", "x{y}"},
        {"Featherweight", "Featherweight"},
        {"Song feat\xC3\xA9 X", "Song"},
        {"Song FEAT\xC9 X", "Song"},
        {"Song &Co", "Song &Co"},
        {"Song& Co", "Song& Co"},
        {"Song &", "Song &"},
    });
}

// "ft", "feat" and "featuring" mark a credit only as whole words.
TEST(TitleClean, FeaturingIsAWholeWord) {
    check_cleans({
        {"Featherweight", "Featherweight"},
        {"Feather", "Feather"},
        {"FTP Song", "FTP Song"},
        {"Ftw", "Ftw"},
        {"Song ftX", "Song ftX"},
        {"Song feats", "Song feats"},
        {"Song Featurings", "Song Featurings"},
        {"Song ft2", "Song ft2"},
        {"Song feat.X", "Song"},
        {"Song FT. X", "Song"},
        {"Song featuring X", "Song"},
        {"Song-feat X", "Song-"},
        {"Song ft", "Song"},
        {"Song fEaT", "Song"},
        {"Song FeAtUrInG", "Song"},
        {"Song,ft", "Song,"},
        {"Song\tft. X", "Song"},
        {"Soft", "Soft"},
        {"2ft Tall", "2ft Tall"},
        {"Featherweight feat. X", "Featherweight"},
        {"ft", ""},
    });
}

// A leading run of digits is a track number only when it is not the title
// itself and does not run into a letter.
TEST(TitleClean, TrackNumbers) {
    check_cleans({
        {"1999", "1999"},
        {"22", "22"},
        {"1999 ", "1999"},
        {"7\t", "7"},
        {"2nd Chance", "2nd Chance"},
        {"3am", "3am"},
        {"01. Song", "Song"},
        {"03 - Title", "Title"},
        {"03.Title", "Title"},
        {"03-Title", "-Title"},
        {"7 Days", "Days"},
        {"1.5 Love", "5 Love"},
        {"01 -", ""},
        {"1.", ""},
        {"01  Song", "Song"},
        {"01 - - Song", "- Song"},
        {"01.. Song", ". Song"},
        {"12\tSong", "Song"},
        {"01 - & Co", "& Co"},
        {"01 -  & Co", ""},
        {"7 & Co", "& Co"},
        {"7  & Co", ""},
        {"0", "0"},
        {"1\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
    });
}

TEST(TitleClean, EdgeCases) {
    check_cleans({
        {"01 -", ""},
        {" 01 Song", "01 Song"},
        {"   Song   ", "Song"},
        {"\tSong", "Song"},
        {"Song http://example.com/x", "Song"},
        {"Song - https://example.com/x", "Song -"},
        {"Song FT. X", "Song"},
        {"Song featuring X", "Song"},
        {"Featuring X", ""},
        {"(Intro) Song", ""},
        {"[Intro] Song", ""},
        {"", ""},
        {" \t ", ""},
        {"Song\r\n", "Song\r\n"},
        {"Song www.example.com", "Song"},
        {"Song WWW.EXAMPLE.COM", "Song WWW.EXAMPLE.COM"},
        {"Song HTTP://X", "Song HTTP"},
        {"Song\xC2\xA0", "Song\xC2\xA0"},
    });
}

TEST(TitleClean, RealWorldTitles) {
    check_cleans({
        {"01 - Bohemian Rhapsody (Remastered 2011)", "Bohemian Rhapsody"},
        {"Hey Jude - Remastered 2015", "Hey Jude - Remastered 2015"},
        {"Track 5: Interlude", "Track 5"},
        {"09. Song [Live at Wembley]", "Song"},
        {"Song (feat. X) www.site.com", "Song"},
        {"Song https://youtu.be/abc", "Song"},
        {"Song {Bonus}", "Song {Bonus}"},
        {"Simon & Garfunkel", "Simon"},
        {"Drum&Bass", "Drum&Bass"},
        {"99 Luftballons", "Luftballons"},
        {"1979 (Remastered)", ""},
        {"Caf\xC3\xA9 ft X", "Caf\xC3\xA9"},
        {"Ode\xE2\x80\x94" "feat X", "Ode\xE2\x80\x94"},
        {"\xE2\x80\x9CQuoted\xE2\x80\x9D - Live", "\xE2\x80\x9CQuoted\xE2\x80\x9D - Live"},
        {"Song\t(Live)", "Song"},
        {"02\t-\tSong", "-\tSong"},
        {"Despacito - Remix ft. Justin Bieber", "Despacito - Remix"},
        {"Daft Punk - Around The World", "Daft Punk - Around The World"},
        {"After Hours", "After Hours"},
    });
}

TEST(TitleClean, NullTitleReleasesThePreviousResult) {
    ASSERT_STREQ(lyrx_tag_clean_title("Song (Live)"), "Song");
    EXPECT_EQ(lyrx_tag_clean_title(nullptr), nullptr);
    EXPECT_EQ(lyrx::g_clean_title, nullptr);
}

TEST(TitleClean, TitleFromOwnResults) {
    const char *first = lyrx_tag_clean_title("01. 02. Song (Live)");
    ASSERT_STREQ(first, "02. Song");
    EXPECT_STREQ(lyrx_tag_clean_title(first), "Song");
    EXPECT_STREQ(lyrx_tag_clean_title(lyrx_tag_clean_title("  Song  ")), "Song");

    ASSERT_EQ(lyrx_tag_parse_title("X ft. 03 - Name (Live)"), LYRX_OK);
    ASSERT_STREQ(lyrx_tag_artist(0), "03 - Name Live");
    EXPECT_STREQ(lyrx_tag_clean_title(lyrx_tag_artist(0)), "Name Live");
}

TEST(TitleClean, LeavesTheParseResultAndArtistsAlone) {
    const char text[] = "[ar:A]\n[00:01]line";
    ASSERT_EQ(lyrx_parse(text, sizeof text - 1), LYRX_OK);
    ASSERT_EQ(lyrx_tag_parse_title("Song ft. A"), LYRX_OK);
    const std::string before = lyrx_test::dump_result(LYRX_OK);
    ASSERT_STREQ(lyrx_tag_clean_title("Song ft. A"), "Song");
    EXPECT_EQ(lyrx_tag_clean_title(nullptr), nullptr);
    EXPECT_EQ(lyrx_test::dump_result(LYRX_OK), before);
    EXPECT_EQ(current_artists(), Artists{"A"});
}

TEST(TitleClean, ParseReleasesTheResult) {
    ASSERT_STREQ(lyrx_tag_clean_title("Song"), "Song");
    const char text[] = "[00:01]a";
    ASSERT_EQ(lyrx_parse(text, sizeof text - 1), LYRX_OK);
    EXPECT_EQ(lyrx::g_clean_title, nullptr);

    ASSERT_STREQ(lyrx_tag_clean_title("Song"), "Song");
    lyrx_clear();
    EXPECT_EQ(lyrx::g_clean_title, nullptr);
}

TEST(TitleClean, OutOfMemoryAtEveryAllocation) {
    size_t before = 0;
    const char *got = nullptr;
    const long points = lyrx_test::for_each_failed_allocation(
        [&] {
            ASSERT_NE(lyrx_tag_clean_title("Previous"), nullptr);
            ASSERT_EQ(lyrx_tag_clean_title(nullptr), nullptr);
            before = heap_in_use();
            ASSERT_NE(lyrx_tag_clean_title("Previous"), nullptr);
        },
        [&] { got = lyrx_tag_clean_title("01. Song (Live) feat. X"); },
        [&](const lyrx_test::failed_run &run) {
            if (run.fired) {
                EXPECT_EQ(got, nullptr);
                EXPECT_EQ(lyrx::g_clean_title, nullptr) << "the previous result must be released";
            } else {
                EXPECT_STREQ(got, "Song");
                EXPECT_EQ(lyrx::g_clean_title, got);
            }
            EXPECT_EQ(lyrx_tag_clean_title(nullptr), nullptr);
            EXPECT_EQ(heap_in_use(), before) << "the call leaked";
        });
    lyrx_test::report_injection_points("lyrx_tag_clean_title", points);
}

}  // namespace
