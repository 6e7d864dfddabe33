// Bounded text operations: every fixed-size text buffer of the module is filled
// through these, so that nothing is ever written past a buffer. Copy and append
// refuse a text that does not fit; the prints cut and always terminate.
#pragma once

#include <stdarg.h>
#include <stdint.h>

// Paths live in 260-byte buffers, terminator included.
enum { kPathBufferSize = 260 };

enum : int32_t {
    kTextOk = 0,
    kTextInvalid = 22,  // EINVAL
    kTextTooLong = 34,  // ERANGE
};

int32_t SafeStrCopy(char* dest, int32_t size, const char* src);
int32_t SafeStrCopyN(char* dest, int32_t size, const char* src, int32_t count);
int32_t SafeStrAppend(char* dest, int32_t size, const char* src);
int32_t SafeVPrint(char* buffer, int32_t size, int32_t maximum, const char* format, va_list args);
// Lets the compiler check format strings against the platform's own formatter
// (clang knows no ms_printf; its printf check fits the same specifiers here).
#if defined(__MINGW32__) && !defined(__clang__)
#define LRD_FORMAT(fmt, args) __attribute__((format(ms_printf, fmt, args)))
#elif defined(__GNUC__)
#define LRD_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define LRD_FORMAT(fmt, args)
#endif

int32_t SafePrint(char* buffer, int32_t size, int32_t maximum, const char* format, ...) LRD_FORMAT(4, 5);

// Bounded formatting with the platform's own formatter: writes at most count
// characters and then a terminator at buffer[count], so the buffer needs count + 1
// bytes. Returns the formatter's result.
int32_t FormatBounded(char* buffer, int32_t count, const char* format, va_list args);
