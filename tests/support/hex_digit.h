/* The value of one hexadecimal digit, either case; -1 for any other character.
 * Shared by the test programs that read hex from their command line or
 * description files. */
#ifndef TESTS_SUPPORT_HEX_DIGIT_H
#define TESTS_SUPPORT_HEX_DIGIT_H

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

#endif
