#include "lib/xalloc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

void xalloc_fail(int line, size_t size) {
    char buf[64];
    int n = snprintf(buf, sizeof buf, "%d: Out of memory! [%lu]", line,
                     static_cast<unsigned long>(size));
    if (n > 0)
        (void)!write(STDERR_FILENO, buf, static_cast<size_t>(n));
    abort();
}

void *xalloc_malloc(size_t size, int line) {
    void *p = malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        xalloc_fail(line, size);
    return p;
}

// A failed zeroed array allocation reports the element size.
void *xalloc_calloc(size_t count, size_t size, int line) {
    void *p = calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
    if (p == nullptr)
        xalloc_fail(line, size);
    return p;
}

void *xalloc_realloc(void *p, size_t size, int line) {
    void *q = realloc(p, size == 0 ? 1 : size);
    if (q == nullptr)
        xalloc_fail(line, size);
    return q;
}

char *xalloc_strdup(const char *s, int line) {
    size_t n = strlen(s) + 1;
    char *p = static_cast<char *>(xalloc_malloc(n, line));
    memcpy(p, s, n);
    return p;
}
