/* Allocation failure injection for the fault tests, loaded into the daemon
 * with LD_PRELOAD (the tests compile it at run time): malloc of exactly
 * ZELMO_FAIL_MALLOC_SIZE bytes returns NULL with ENOMEM, every other
 * allocation goes to the allocator that comes next (the C library's, or the
 * sanitizer's). Choosing an odd size makes one chosen allocation fail. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

static void *(*next_malloc)(size_t);
static size_t fail_size = (size_t)-1;

/* The size is read once the C library is set up: a sanitizer runtime calls
 * malloc before that, when the environment cannot be read yet. */
__attribute__((constructor)) static void read_fail_size(void)
{
    const char *text = getenv("ZELMO_FAIL_MALLOC_SIZE");
    if (text != NULL)
        fail_size = (size_t)strtoull(text, NULL, 10);
}

void *malloc(size_t size)
{
    if (next_malloc == NULL)
        next_malloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
    if (size == fail_size) {
        errno = ENOMEM;
        return NULL;
    }
    return next_malloc(size);
}
