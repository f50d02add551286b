/* Preloaded into a world's processes: the ADC read numbered TOVK_ADC_FAIL_AT
 * (counting every 4-byte read of a /dev/adcN device in the process, from 1)
 * and all after it fail with EIO, like a converter that dies in mid-test. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef ssize_t (*read_function)(int, void*, size_t);

static read_function next_read(void) {
    static read_function found;
    if (found == NULL) {
        void* symbol = dlsym(RTLD_NEXT, "read");
        memcpy(&found, &symbol, sizeof found);
    }
    return found;
}

static int is_adc(int fd) {
    char link[64];
    char target[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) return 0;
    target[length] = '\0';
    return strncmp(target, "/dev/adc", 8) == 0;
}

ssize_t read(int fd, void* buffer, size_t count) {
    static long reads;
    const char* fail_at = getenv("TOVK_ADC_FAIL_AT");
    if (fail_at != NULL && count == 4 && is_adc(fd) && ++reads >= atol(fail_at)) {
        errno = EIO;
        return -1;
    }
    return next_read()(fd, buffer, count);
}
