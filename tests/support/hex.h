/* Hexadecimal text for the test programs that read bytes from their command
 * line or description files. */
#ifndef TESTS_SUPPORT_HEX_H
#define TESTS_SUPPORT_HEX_H

#include <stddef.h>

/* The value of one hexadecimal digit, either case; -1 for any other character. */
static inline int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Reads pairs of hex digits, which ':' and ' ' may separate, into `out`.
 * Returns the byte count, HEX_BAD_DIGIT for malformed text, or HEX_TOO_LONG
 * when there are more than `capacity` bytes. */
enum { HEX_BAD_DIGIT = -1, HEX_TOO_LONG = -2 };
static inline long parseHexBytes(const char *text, unsigned char *out, size_t capacity)
{
    size_t n = 0;
    while (*text) {
        if (*text == ':' || *text == ' ') {
            text++;
            continue;
        }
        int high = hexDigit(text[0]);
        int low = high < 0 ? -1 : hexDigit(text[1]);
        if (low < 0)
            return HEX_BAD_DIGIT;
        if (n == capacity)
            return HEX_TOO_LONG;
        out[n++] = (unsigned char)(high * 16 + low);
        text += 2;
    }
    return (long)n;
}

#endif
