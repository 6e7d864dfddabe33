#include "SafeText.h"

#include <stdio.h>
#include <string.h>

int32_t FormatBounded(char* buffer, int32_t count, const char* format, va_list args)
{
#if defined(_WIN32)
    // msvcrt's formatter, not mingw's C99 one: its %p and %u are what the
    // module's lines have always looked like.
    int32_t result = _vsnprintf(buffer, (size_t)count, format, args);
#else
    int32_t result = vsnprintf(buffer, (size_t)count + 1, format, args);
#endif
    buffer[count] = '\0';
    return result;
}

int32_t SafeStrCopy(char* dest, int32_t size, const char* src)
{
    if (size == 0)
        return kTextTooLong;
    if (dest == nullptr || src == nullptr || size < 0)
        return kTextInvalid;
    size_t length = strlen(src);
    if (length > (size_t)(size - 1))
        return kTextTooLong;
    memcpy(dest, src, length + 1);
    return kTextOk;
}

int32_t SafeStrCopyN(char* dest, int32_t size, const char* src, int32_t count)
{
    if (dest == nullptr || src == nullptr || size <= 0 || count <= 0)
        return kTextInvalid;
    if (count > size - 1) {
        dest[0] = '\0';
        return kTextInvalid;
    }
    // Copies up to count characters but never reads past the source's terminator.
    int32_t i = 0;
    for (; i < count && src[i] != '\0'; ++i)
        dest[i] = src[i];
    dest[i] = '\0';
    return kTextOk;
}

int32_t SafeStrAppend(char* dest, int32_t size, const char* src)
{
    if (size == 0)
        return kTextTooLong;
    if (dest == nullptr || src == nullptr || size < 0)
        return kTextInvalid;
    // The destination may be unterminated within size; then nothing fits.
    const char* end = static_cast<const char*>(memchr(dest, '\0', (size_t)size));
    if (end == nullptr)
        return kTextTooLong;
    size_t have = (size_t)(end - dest);
    size_t add = strlen(src);
    if (have + add + 1 > (size_t)size)
        return kTextTooLong;
    memcpy(dest + have, src, add + 1);
    return kTextOk;
}

int32_t SafeVPrint(char* buffer, int32_t size, int32_t maximum, const char* format, va_list args)
{
    if (buffer == nullptr || format == nullptr || size <= 0 || (maximum <= 0 && maximum != -1))
        return -1;
    int32_t count = size - 1;
    if (maximum != -1 && maximum < count)
        count = maximum;
    return FormatBounded(buffer, count, format, args);
}

int32_t SafePrint(char* buffer, int32_t size, int32_t maximum, const char* format, ...)
{
    if (maximum == -1)
        return -1;
    va_list args;
    va_start(args, format);
    int32_t result = SafeVPrint(buffer, size, maximum, format, args);
    va_end(args);
    return result;
}
