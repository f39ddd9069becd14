// Runs a test body in the "C" locale and again in host locales where the C
// library's tolower and isalnum answer differently (Turkish dotless i, Latin-1
// letters above 0x7F). A locale the machine does not have is left out.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <cstdio>
#include <string>

namespace lyrx_test {

template <class Body>
void in_each_locale(Body body) {
    for (const char *name : {"C", "tr_TR.ISO-8859-9", "tr_TR.UTF-8", "de_DE.ISO-8859-1"}) {
        if (!std::setlocale(LC_ALL, name)) {
            std::printf("note: locale %s is not installed here; left out\n", name);
            continue;
        }
        SCOPED_TRACE(std::string("locale ") + name);
        // The premise: in this locale the C library's case mapping is not ASCII's.
        if (std::string(name) == "tr_TR.ISO-8859-9") {
            EXPECT_NE(std::tolower('I'), 'i');
        }
        body();
    }
    std::setlocale(LC_ALL, "C");
}

}  // namespace lyrx_test
