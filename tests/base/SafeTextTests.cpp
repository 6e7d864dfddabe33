// The bounded text operations: error numbers, limits, and what is left untouched.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "SafeText.h"

namespace {

int32_t PrintInto(char* buffer, int32_t size, int32_t maximum, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int32_t result = SafeVPrint(buffer, size, maximum, format, args);
    va_end(args);
    return result;
}

TEST(SafeText, CopyRefusesWhatDoesNotFit)
{
    char dest[16];
    EXPECT_EQ(SafeStrCopy(dest, 16, "123456789012345"), 0);
    EXPECT_STREQ(dest, "123456789012345");
    EXPECT_EQ(SafeStrCopy(dest, 16, "1234567890123456"), 34);
    EXPECT_STREQ(dest, "123456789012345") << "old content kept";
    EXPECT_EQ(SafeStrCopy(dest, 0, "x"), 34);
    EXPECT_EQ(SafeStrCopy(dest, 16, nullptr), 22);
    EXPECT_EQ(SafeStrCopy(nullptr, 16, "x"), 22);
    EXPECT_EQ(SafeStrCopy(dest, -1, "x"), 22);
    EXPECT_STREQ(dest, "123456789012345");
}

TEST(SafeText, CopyNEmptiesWhenTheCountExceedsTheRoom)
{
    char dest[8] = "keep";
    EXPECT_EQ(SafeStrCopyN(dest, 8, "abcdefgh", 0), 22);
    EXPECT_EQ(SafeStrCopyN(dest, 0, "abcdefgh", 1), 22);
    EXPECT_EQ(SafeStrCopyN(nullptr, 8, "abcdefgh", 1), 22);
    EXPECT_STREQ(dest, "keep");
    EXPECT_EQ(SafeStrCopyN(dest, 8, "abcdefgh", 8), 22);
    EXPECT_STREQ(dest, "") << "count equal to size empties";
    EXPECT_EQ(SafeStrCopyN(dest, 8, "abcdefgh", 7), 0);
    EXPECT_STREQ(dest, "abcdefg");
    EXPECT_EQ(SafeStrCopyN(dest, 8, "abcdefgh", 3), 0);
    EXPECT_STREQ(dest, "abc");
    EXPECT_EQ(SafeStrCopyN(dest, 8, "ab", 5), 0) << "stops at the source's end";
    EXPECT_STREQ(dest, "ab");
}

TEST(SafeText, AppendNeedsRoomForBothAndTheTerminator)
{
    char dest[16] = "0123456789";
    EXPECT_EQ(SafeStrAppend(dest, 15, "abcde"), 34);
    EXPECT_STREQ(dest, "0123456789");
    EXPECT_EQ(SafeStrAppend(dest, 16, "abcde"), 0);
    EXPECT_STREQ(dest, "0123456789abcde");
    EXPECT_EQ(SafeStrAppend(dest, 0, "x"), 34);
    EXPECT_EQ(SafeStrAppend(dest, 16, nullptr), 22);

    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(SafeStrAppend(unterminated, 4, ""), 34) << "no terminator within the size";
}

TEST(SafeText, PrintsCutAtTheSmallerLimitAndTerminate)
{
    const std::string longText(2000, 'x');
    char buffer[1100];

    memset(buffer, '#', sizeof buffer);
    PrintInto(buffer, 1023, 1023, "%s", longText.c_str());
    EXPECT_EQ(strlen(buffer), 1022u);

    memset(buffer, '#', sizeof buffer);
    PrintInto(buffer, 1024, -1, "%s", longText.c_str());
    EXPECT_EQ(strlen(buffer), 1023u);

    memset(buffer, '#', sizeof buffer);
    SafePrint(buffer, 259, 259, "%s", longText.c_str());
    EXPECT_EQ(strlen(buffer), 258u);

    memset(buffer, '#', sizeof buffer);
    SafePrint(buffer, 256, 10, "%s", longText.c_str());
    EXPECT_EQ(strlen(buffer), 10u);
    EXPECT_EQ(buffer[11], '#') << "nothing written past the terminator";

    SafePrint(buffer, 256, 255, "[%d][%s]", 39, "Trace");
    EXPECT_STREQ(buffer, "[39][Trace]");
}

TEST(SafeText, PrintsRefuseBadArgumentsWithoutTouching)
{
    char buffer[8] = "keep";
    EXPECT_EQ(PrintInto(buffer, 0, 5, "x"), -1);
    EXPECT_EQ(PrintInto(buffer, 8, 0, "x"), -1);
    EXPECT_EQ(PrintInto(buffer, 8, -2, "x"), -1);
    EXPECT_EQ(PrintInto(nullptr, 8, 5, "x"), -1);
    EXPECT_EQ(PrintInto(buffer, 8, 5, nullptr), -1);
    EXPECT_EQ(SafePrint(buffer, 8, -1, "x"), -1) << "the direct form refuses -1";
    EXPECT_STREQ(buffer, "keep");
}

}  // namespace
