// Fatal-error and assertion helpers. Each module's main source includes this
// header once, so every module carries its own copy with external linkage.
#ifndef TILESTREAM_DIAGNOSTICS_H
#define TILESTREAM_DIAGNOSTICS_H

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Prints "[func()]: message" to stderr and exits with status 123.
[[noreturn]] void _die(const char *func, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Prints "message: strerror(errno) (=errno)" to stderr and exits with status 123.
[[noreturn]] void _pdie(const char *func, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Reports a failed internal check on stdout and aborts.
[[noreturn]] void __my_assert(const char *cond, const char *file, const char *func, int line);

void _die(const char *func, const char *fmt, ...) {
    char msg[800];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "[%s()]: %s\n", func, msg);
    exit(123);
}

void _pdie(const char *func, const char *fmt, ...) {
    (void)func;  // taken for symmetry with _die, not printed
    int err = errno;
    char msg[80];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "%s: %s (=%d)\n", msg, strerror(err), err);
    exit(123);
}

void __my_assert(const char *cond, const char *file, const char *func, int line) {
    printf("\n\rAssertion failed ");
    printf("(%s:%d): %s()\n \"%s\"\n\n", file, line, func, cond);
    fflush(stdout);
    abort();
}

#endif
