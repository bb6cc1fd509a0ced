// Allocation that never fails for the caller: on exhaustion the process prints
// "<line>: Out of memory! [<size>]" and aborts, whatever the log level.
#pragma once

#include <cstddef>

[[noreturn]] void xalloc_fail(int line, size_t size);
void *xalloc_malloc(size_t size, int line);
void *xalloc_calloc(size_t count, size_t size, int line);
void *xalloc_realloc(void *p, size_t size, int line);
char *xalloc_strdup(const char *s, int line);

#define krv_malloc(size) xalloc_malloc((size), __LINE__)
#define krv_calloc(count, size) xalloc_calloc((count), (size), __LINE__)
#define krv_realloc(p, size) xalloc_realloc((p), (size), __LINE__)
#define krv_strdup(s) xalloc_strdup((s), __LINE__)
