/* A plain C11 host: the public header compiles as C and the shared library
 * links and answers through its C ABI. */
#include <stdio.h>
#include <string.h>

#include "lyrx.h"

#define CHECK(cond)                                             \
    do {                                                        \
        if (!(cond)) {                                          \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                           \
        }                                                       \
    } while (0)

int main(void) {
    static const char text[] = "[ti:Song]\n[00:04.50]World\n[00:01.00]Hello\n";
    int32_t status = lyrx_parse(text, (uint64_t)(sizeof text - 1));
    CHECK(status == LYRX_OK);
    CHECK(lyrx_line_count() == 2);
    CHECK(lyrx_line_start_ms(0) == 1000 && lyrx_line_end_ms(0) == 4500);
    CHECK(strcmp(lyrx_line_text(1), "World") == 0);
    CHECK(strcmp(lyrx_meta("TI"), "Song") == 0);
    CHECK(lyrx_parse(NULL, 5) == LYRX_ERR_NULL);
    CHECK(strcmp(lyrx_last_error(), "null text") == 0);
    lyrx_clear();
    CHECK(lyrx_line_count() == 0 && lyrx_warning_count() == 0 && lyrx_last_error()[0] == '\0');
    return 0;
}
