/* A host that loads lyrx at run time, as a media player loads a plugin: no
 * import library and no link-time dependency, every function looked up by
 * name and every answer checked. It prints what the library reads from one
 * LRC file, and the song name and featured artists of its title tag.
 *
 *   usage: host_dlopen FILE [LIBRARY]
 *
 * LIBRARY defaults to the library's file name, found by the system's usual
 * search. Build on Linux:   cc -Iinclude examples/host_dlopen.c -ldl
 *          with MinGW-w64:  x86_64-w64-mingw32-gcc -municode -Iinclude examples/host_dlopen.c
 * (MSVC needs no flag for wmain). Paths are UTF-8 for the library; Windows
 * hands wmain UTF-16 arguments, converted here. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lyrx.h" /* status codes only; no function of it is linked */

#ifdef _WIN32
#  include <windows.h>
typedef HMODULE library_handle;
#else
#  include <dlfcn.h>
typedef void *library_handle;
#endif

/* Every function the host calls: return type, name after "lyrx_", arguments. */
#define LYRX_FUNCTIONS(X)                          \
    X(int32_t, parse_file, (const char *))         \
    X(void, clear, (void))                         \
    X(const char *, last_error, (void))            \
    X(const char *, meta, (const char *))          \
    X(int32_t, offset_ms, (void))                  \
    X(int32_t, line_count, (void))                 \
    X(int32_t, line_start_ms, (int32_t))           \
    X(int32_t, line_end_ms, (int32_t))             \
    X(const char *, line_text, (int32_t))          \
    X(int32_t, warning_count, (void))              \
    X(const char *, warning, (int32_t))            \
    X(const char *, tag_clean_title, (const char *)) \
    X(int32_t, tag_parse_title, (const char *))    \
    X(int32_t, tag_artist_count, (void))           \
    X(const char *, tag_artist, (int32_t))

#define DECLARE(ret, name, args) ret(*name) args;
struct lyrx_api {
    LYRX_FUNCTIONS(DECLARE)
};

typedef void (*any_function)(void);

static any_function find_function(library_handle lib, const char *name) {
#ifdef _WIN32
    /* Through void (*)(void), the type any function pointer converts to. */
    return (any_function)(void (*)(void))GetProcAddress(lib, name);
#else
    /* ISO C has no cast from an object pointer to a function pointer. */
    void *sym = dlsym(lib, name);
    any_function fn;
    memcpy(&fn, &sym, sizeof fn);
    return fn;
#endif
}

#define RESOLVE(ret, name, args)                                                 \
    api->name = (ret(*) args)find_function(lib, "lyrx_" #name);                  \
    if (!api->name) {                                                            \
        fprintf(stderr, "host: the library has no function lyrx_" #name "\n"); \
        return 0;                                                                \
    }

static int resolve_all(library_handle lib, struct lyrx_api *api) {
    LYRX_FUNCTIONS(RESOLVE)
    return 1;
}

static void print_time(int32_t ms) {
    long long v = ms < 0 ? -(long long)ms : ms;
    printf("%s%02lld:%02lld.%03lld", ms < 0 ? "-" : "", v / 60000, v / 1000 % 60, v % 1000);
}

/* Prints the parse result; 0 when every string the library gave was there. */
static int print_result(const struct lyrx_api *api, int32_t status) {
    static const char *const tags[][2] = {{"ti", "title"}, {"ar", "artist"}, {"al", "album"}, {"by", "lrc by"}};
    const char *error = api->last_error();
    if (!error) return 0;
    printf("status: %d%s%s\n", status, error[0] ? "  error: " : "", error);
    for (size_t i = 0; i < sizeof tags / sizeof tags[0]; i++) {
        const char *value = api->meta(tags[i][0]);
        if (value) printf("%s: %s\n", tags[i][1], value); /* null: not in the file */
    }
    printf("offset: %d ms\n", api->offset_ms());
    int32_t count = api->line_count();
    printf("lines: %d\n", count);
    for (int32_t i = 0; i < count; i++) {
        const char *text = api->line_text(i);
        if (!text) return 0;
        printf("  ");
        print_time(api->line_start_ms(i));
        printf(" -> ");
        print_time(api->line_end_ms(i));
        printf("  %s\n", text);
    }
    int32_t warnings = api->warning_count();
    printf("warnings: %d\n", warnings);
    for (int32_t i = 0; i < warnings; i++) {
        const char *text = api->warning(i);
        if (!text) return 0;
        printf("  %s\n", text);
    }
    return 1;
}

/* What a player shows or looks lyrics up by: the song name and the artists
 * credited in the title. Both calls leave the parse result in place. */
static int print_title(const struct lyrx_api *api) {
    const char *title = api->meta("ti");
    if (!title) return 1;
    const char *song = api->tag_clean_title(title);
    if (!song) {
        fprintf(stderr, "host: out of memory cleaning the title\n");
        return 0;
    }
    printf("song: %s\n", song);
    int32_t status = api->tag_parse_title(title);
    if (status != LYRX_OK) {
        fprintf(stderr, "host: splitting the title failed with status %d\n", status);
        return 0;
    }
    int32_t count = api->tag_artist_count();
    printf("featuring: %d\n", count);
    for (int32_t i = 0; i < count; i++) {
        const char *artist = api->tag_artist(i);
        if (!artist) return 0;
        printf("  %s\n", artist);
    }
    return 1;
}

static int run(library_handle lib, const char *path) {
    struct lyrx_api api;
    if (!resolve_all(lib, &api)) return 1;
    int32_t status = api.parse_file(path);
    int ok = print_result(&api, status) && (status != LYRX_OK || print_title(&api));
    if (!ok) fprintf(stderr, "host: the library returned null where a string was due\n");
    api.clear(); /* the library keeps its result until it is unloaded */
    return ok && status == LYRX_OK ? 0 : 1;
}

#ifdef _WIN32
int wmain(int argc, wchar_t **argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: host_dlopen FILE [LIBRARY]\n");
        return 2;
    }
    HMODULE lib = LoadLibraryW(argc == 3 ? argv[2] : L"nordavex-velmora-lrc-lyrics-parse.dll");
    if (!lib) {
        fprintf(stderr, "host: cannot load the library (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argv[1], -1, NULL, 0, NULL, NULL);
    char *path = size > 0 ? malloc((size_t)size) : NULL;
    int status = 1;
    if (path && WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argv[1], -1, path, size, NULL, NULL) == size)
        status = run(lib, path);
    else
        fprintf(stderr, "host: cannot convert the path to UTF-8\n");
    free(path);
    FreeLibrary(lib);
    return status;
}
#else
int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: host_dlopen FILE [LIBRARY]\n");
        return 2;
    }
    void *lib = dlopen(argc == 3 ? argv[2] : "libnordavex-velmora-lrc-lyrics-parse.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "host: %s\n", dlerror());
        return 1;
    }
    int status = run(lib, argv[1]);
    dlclose(lib);
    return status;
}
#endif
