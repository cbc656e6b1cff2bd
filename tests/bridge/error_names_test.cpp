#include "bridge_codes.h"
#include "error_names.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

TEST(ErrorNames, EverythingElseIsUnknown)
{
    for (int code : {0, 4, 11, 0x130, 0x200, 0x404, -1, INT_MIN,
                     static_cast<int>(0x80000001UL), static_cast<int>(CKR_VENDOR_DEFINED)})
        EXPECT_STREQ(errorName(code), "Unknown function") << code;
}

TEST(ErrorNames, TableHoldsExactlyEightyFiveCodes)
{
    int named = 0;
    for (int code = 0; code <= 0x1000; ++code)
        named += std::string(errorName(code)) != "Unknown function";
    EXPECT_EQ(named, 85);
}
