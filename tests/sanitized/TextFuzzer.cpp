// The five bounded text operations against a reference model: the error number or
// result, and every byte of the destination, the bytes past its stated size
// included.
//
// Input: one byte choosing the operation and the arguments' shapes, the stated
// size, count and maximum as 32-bit little-endian numbers, one byte for the
// destination's real size, then the destination's old content and the source
// texts separated by bytes 0.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "SafeText.h"

namespace {

const size_t kHeader = 14;

void Check(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "text fuzzer: %s\n", what);
        abort();
    }
}

int32_t Little32(const uint8_t* p) { return (int32_t)(p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24); }

// Sizes, counts and maximums near the edges are the interesting ones.
int32_t Shape(int32_t raw, int32_t room)
{
    switch ((uint32_t)raw % 8) {
    case 0:
        return room;
    case 1:
        return room - 1;
    case 2:
        return room + 1;
    case 3:
        return 0;
    case 4:
        return -1;
    case 5:
        return raw;
    default:
        return (int32_t)((uint32_t)raw >> 8) % (room + 2);
    }
}

// The formats the module prints with, and an argument list for each.
struct Printing {
    const char* format;
    std::string a, b;
    int32_t n;
};

std::string Expand(const Printing& p, int which)
{
    char text[4096];
    switch (which) {
    case 0:
        snprintf(text, sizeof text, "%s", p.a.c_str());
        break;
    case 1:
        snprintf(text, sizeof text, "%s\\%s", p.a.c_str(), p.b.c_str());
        break;
    case 2:
        snprintf(text, sizeof text, "[T%d][M%d][%s]%s\n", p.n, 39, p.a.c_str(), p.b.c_str());
        break;
    default:
        snprintf(text, sizeof text, "Zelvo[Error]:ComponentID:0x%08x CreatorID:0x%08x Pointer:0x%08x\n", (uint32_t)p.n,
                 (uint32_t)p.n * 7u, (uint32_t)p.n ^ 0xdeadbeefu);
        break;
    }
    return text;
}

const char* const kFormats[] = {"%s", "%s\\%s", "[T%d][M%d][%s]%s\n",
                                "Zelvo[Error]:ComponentID:0x%08x CreatorID:0x%08x Pointer:0x%08x\n"};

int32_t CallVPrint(char* buffer, int32_t size, int32_t maximum, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int32_t result = SafeVPrint(buffer, size, maximum, format, args);
    va_end(args);
    return result;
}

template <class Call>
int32_t WithArguments(const Printing& p, int which, Call call)
{
    switch (which) {
    case 0:
        return call(p.a.c_str());
    case 1:
        return call(p.a.c_str(), p.b.c_str());
    case 2:
        return call(p.n, 39, p.a.c_str(), p.b.c_str());
    default:
        return call((uint32_t)p.n, (uint32_t)p.n * 7u, (uint32_t)p.n ^ 0xdeadbeefu);
    }
}

// Model of a print: -1 and nothing touched for bad arguments, else at most count
// characters, the text's own terminator when it ends before count, the bytes
// after that as they were, and a terminator at count.
int32_t ModelPrint(std::vector<uint8_t>& dest, bool nullBuffer, bool nullFormat, int32_t size, int32_t maximum,
                   bool direct, const std::string& text)
{
    if (nullBuffer || nullFormat || size <= 0 || (maximum <= 0 && (maximum != -1 || direct)))
        return -1;
    int32_t count = size - 1;
    if (maximum != -1 && maximum < count)
        count = maximum;
    size_t written = text.size() < (size_t)count ? text.size() : (size_t)count;
    memcpy(dest.data(), text.data(), written);
    if (written < (size_t)count)
        dest[written] = 0;
    dest[(size_t)count] = 0;
    return (int32_t)text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kHeader)
        return 0;
    uint8_t choice = data[0];
    int operation = choice % 5;
    bool nullDest = (choice & 0x08) != 0 && (choice & 0x30) == 0x30;
    bool nullSource = (choice & 0x40) != 0 && (choice & 0x80) != 0 && (choice & 0x10) == 0;
    size_t room = data[13] + (size_t)((choice >> 5) & 1) * 256;

    // Texts: the destination's old content (any bytes), then the sources.
    std::vector<std::string> texts(1);
    for (size_t i = kHeader; i < size; ++i) {
        if (data[i] == 0 && texts.size() < 3)
            texts.emplace_back();
        else
            texts.back() += (char)data[i];
    }
    texts.resize(3);

    // The destination is exactly as large as it really is: a write past it is
    // reported. Its stated size never exceeds it, as the operations require.
    std::vector<uint8_t> dest(room == 0 ? 1 : room);
    for (size_t i = 0; i < dest.size(); ++i)
        dest[i] = i < texts[0].size() ? (uint8_t)texts[0][i] : (uint8_t)(0xA0 + i);
    int32_t stated = Shape(Little32(data + 1), (int32_t)room);
    if (stated > (int32_t)room)
        stated = (int32_t)room;
    int32_t count = Shape(Little32(data + 5), stated);
    int32_t maximum = Shape(Little32(data + 9), stated);

    std::vector<char> source(texts[1].begin(), texts[1].end());
    source.push_back('\0');
    const char* src = nullSource ? nullptr : source.data();
    char* out = nullDest ? nullptr : reinterpret_cast<char*>(dest.data());
    size_t srcLength = strlen(source.data());

    std::vector<uint8_t> expected = dest;
    int32_t want = 0, got = 0;
    switch (operation) {
    case 0:  // SafeStrCopy
        if (stated == 0)
            want = kTextTooLong;
        else if (out == nullptr || src == nullptr || stated < 0)
            want = kTextInvalid;
        else if (srcLength > (size_t)stated - 1)
            want = kTextTooLong;
        else
            memcpy(expected.data(), source.data(), srcLength + 1);
        got = SafeStrCopy(out, stated, src);
        break;
    case 1:  // SafeStrCopyN
        if (out == nullptr || src == nullptr || stated <= 0 || count <= 0) {
            want = kTextInvalid;
        } else if (count > stated - 1) {
            expected[0] = 0;
            want = kTextInvalid;
        } else {
            size_t copied = srcLength < (size_t)count ? srcLength : (size_t)count;
            memcpy(expected.data(), source.data(), copied);
            expected[copied] = 0;
        }
        got = SafeStrCopyN(out, stated, src, count);
        break;
    case 2: {  // SafeStrAppend
        const void* end = stated > 0 ? memchr(dest.data(), 0, (size_t)stated) : nullptr;
        if (stated == 0)
            want = kTextTooLong;
        else if (out == nullptr || src == nullptr || stated < 0)
            want = kTextInvalid;
        else if (end == nullptr)
            want = kTextTooLong;
        else {
            size_t have = (size_t)(static_cast<const uint8_t*>(end) - dest.data());
            if (have + srcLength + 1 > (size_t)stated)
                want = kTextTooLong;
            else
                memcpy(expected.data() + have, source.data(), srcLength + 1);
        }
        got = SafeStrAppend(out, stated, src);
        break;
    }
    default: {  // SafeVPrint, SafePrint
        bool direct = operation == 4;
        int which = (choice >> 6) & 3;
        Printing p{kFormats[which], texts[1], texts[2], count};
        bool nullFormat = (choice & 0x18) == 0x10;
        const char* format = nullFormat ? nullptr : kFormats[which];
        want = ModelPrint(expected, out == nullptr, nullFormat, stated, maximum, direct, Expand(p, which));
        got = WithArguments(p, which, [&](auto... args) {
            return direct ? SafePrint(out, stated, maximum, format, args...)
                          : CallVPrint(out, stated, maximum, format, args...);
        });
        break;
    }
    }
    Check(got == want, "result");
    Check(dest == expected, "destination bytes");
    return 0;
}
