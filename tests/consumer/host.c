#include <stdio.h>
#include <string.h>
#include "lyrx.h"

int main(void) {
    const char *lrc = "[ti:Song]\n[00:01.00]Hello\n[00:04.50]World\n";
    int32_t status = lyrx_parse(lrc, strlen(lrc));
    if (status != LYRX_OK) {
        fprintf(stderr, "lyrx: %d %s\n", status, lyrx_last_error());
        return 1;
    }
    printf("title: %s\n", lyrx_meta("ti") ? lyrx_meta("ti") : "(none)");
    for (int32_t i = 0; i < lyrx_line_count(); i++)
        printf("%7d %7d  %s\n", lyrx_line_start_ms(i), lyrx_line_end_ms(i), lyrx_line_text(i));
    for (int32_t i = 0; i < lyrx_warning_count(); i++)
        printf("warning: %s\n", lyrx_warning(i));
    return 0;
}
