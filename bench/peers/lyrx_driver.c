/* lyrx in the peer comparison, through its public header only, and the
 * machine's limit: a memchr pass over the same bytes.
 *
 * usage: lyrx_driver parse|parse_json|memchr FILE [BUDGET_SECONDS] */
#include "driver.h"

#include "lyrx.h"

struct input {
    const char *data;
    size_t size;
};

static int64_t pass_parse(void *ctx) {
    const struct input *in = ctx;
    int32_t status = lyrx_parse(in->data, in->size);
    return status == LYRX_ERR_OOM ? -1 : lyrx_line_count();
}

static int64_t pass_parse_json(void *ctx) {
    const struct input *in = ctx;
    int32_t status = lyrx_parse(in->data, in->size);
    /* A text that is not valid UTF-8 has no JSON; such inputs are not used. */
    if (status == LYRX_ERR_OOM || lyrx_result_json() == NULL) return -1;
    return lyrx_line_count();
}

/* Every line end found, the least any line reader has to do. */
static int64_t pass_memchr(void *ctx) {
    const struct input *in = ctx;
    const char *p = in->data, *end = in->data + in->size;
    int64_t n = 0;
    while (p < end && (p = memchr(p, '\n', (size_t)(end - p))) != NULL) {
        n++;
        p++;
    }
    return n;
}

/* How many distinct start times the last parse has: a peer that merges the
 * lines of one time finds that many. The lines come sorted by start. */
static const char *distinct_starts(void) {
    static char member[64];
    int32_t n = lyrx_line_count(), distinct = 0;
    for (int32_t i = 0; i < n; i++)
        if (i == 0 || lyrx_line_start_ms(i) != lyrx_line_start_ms(i - 1)) distinct++;
    snprintf(member, sizeof member, ", \"distinct_starts\": %d", (int)distinct);
    return member;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: lyrx_driver parse|parse_json|memchr FILE [BUDGET_SECONDS]\n");
        return 2;
    }
    driver_pass pass = strcmp(argv[1], "parse") == 0        ? pass_parse
                       : strcmp(argv[1], "parse_json") == 0 ? pass_parse_json
                       : strcmp(argv[1], "memchr") == 0     ? pass_memchr
                                                            : NULL;
    if (!pass) {
        fprintf(stderr, "lyrx_driver: unknown mode %s\n", argv[1]);
        return 2;
    }
    struct input in;
    char *buf = driver_read(argv[2], &in.size);
    if (!buf) {
        fprintf(stderr, "lyrx_driver: cannot read %s\n", argv[2]);
        return 2;
    }
    in.data = buf;
    int rc = driver_run(pass, &in, in.size, driver_budget(argc > 3 ? argv[3] : NULL),
                        pass == pass_memchr ? NULL : distinct_starts);
    lyrx_clear();
    free(buf);
    return rc;
}
