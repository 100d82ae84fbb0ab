/* host.c: a host of the zor plug-in in C: loads libzor.so, starts it, calls three commands, stops it.
 *
 * Build: cc -std=c11 -o host host.c $(pkg-config --cflags --libs zor)
 * Run:   ./host [path of libzor.so] [a file to read as a picture]
 *
 * Every argument is passed by address in params[n-1]; the result goes to a pointer-sized slot:
 * an int32_t at its start, the address of a TextBlock the plug-in fills, or a HostHandle it writes.
 * Texts are Mac Roman and counted; the host owns every handle the plug-in hands back. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <zor/host_toolbox.h>
#include <zor/zor.h>

/* A new handle holding a copy of a C string (no terminator), for a text argument. */
static TextBlock NewText(const char* s) {
    TextBlock text = {(int16_t)strlen(s), HostNewHandle((int32_t)strlen(s))};
    if (text.handle != NULL) memcpy(*text.handle, s, strlen(s));
    return text;
}

int main(int argc, char** argv) {
    const char* plugin = argc > 1 ? argv[1] : "libzor.so";
    void* library = dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "host: %s\n", dlerror());
        return 1;
    }
    void* entry = dlsym(library, "RozoZIvav");
    RozoZIvavFunction call;
    memcpy(&call, &entry, sizeof call); /* ISO C has no cast from an object to a function pointer */
    if (entry == NULL) {
        fprintf(stderr, "host: %s has no RozoZIvav\n", plugin);
        return 1;
    }
    HostHandle globals = NULL; /* the plug-in keeps its global record here */
    call(ZorSelectorStartUp, NULL, &globals, NULL);

    /* 49 DateToSeconds(date; time of day; zone flag): an integer result. */
    int16_t date[3] = {9, 12, 2026}; /* day, month, year */
    int32_t timeOfDay = 3600, zone = 0;
    void* dateArgs[] = {date, &timeOfDay, &zone};
    int64_t slot = 0;
    call(49, dateArgs, &globals, &slot);
    int32_t seconds;
    memcpy(&seconds, &slot, sizeof seconds);
    printf("DateToSeconds(9.12.2026; 3600; 0) = %u\n", (unsigned)seconds);

    /* 28 TextToHtml(text; mode): a text result; the slot carries the address of our TextBlock. */
    TextBlock source = NewText("Caf\x8E <b>&</b>"); /* 0x8E is e acute in Mac Roman */
    int32_t mode = 0;
    void* htmlArgs[] = {&source, &mode};
    TextBlock html = {0, NULL};
    TextBlock* htmlAddress = &html;
    call(28, htmlArgs, &globals, &htmlAddress);
    printf("TextToHtml = %.*s\n", html.handle != NULL ? (int)html.length : 0, html.handle != NULL ? *html.handle : "");

    /* 58 FileToPicture(file name): a picture result, a HostHandle written into the slot. */
    TextBlock name = NewText(argc > 2 ? argv[2] : argv[0]);
    void* fileArgs[] = {&name};
    HostHandle picture = NULL;
    call(58, fileArgs, &globals, &picture);
    printf("FileToPicture = %s, %d bytes\n", picture != NULL ? "a picture" : "none",
           picture != NULL ? (int)HostGetHandleSize(picture) : 0);

    HostDisposeHandle(source.handle);
    HostDisposeHandle(name.handle);
    if (html.handle != NULL) HostDisposeHandle(html.handle);
    if (picture != NULL) HostDisposeHandle(picture);
    call(ZorSelectorShutDown, NULL, &globals, NULL);
    dlclose(library);
    return 0;
}
