/* Preloaded into the audio test: libasound cannot be loaded, as on a board
 * whose image lacks it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <string.h>

void* dlopen(const char* file, int mode) {
    if (file != NULL && strstr(file, "libasound") != NULL) return NULL;
    void* (*next)(const char*, int);
    void* symbol = dlsym(RTLD_NEXT, "dlopen");
    memcpy(&next, &symbol, sizeof next);
    return next(file, mode);
}
