#include "slot_text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {
CK_SLOT_INFO slotInfo(const char* description, const char* manufacturer, CK_FLAGS flags)
{
    CK_SLOT_INFO info;
    std::memset(&info, ' ', sizeof info.slotDescription + sizeof info.manufacturerID);
    std::memcpy(info.slotDescription, description, std::strlen(description));
    std::memcpy(info.manufacturerID, manufacturer, std::strlen(manufacturer));
    info.flags = flags;
    info.hardwareVersion = {1, 2};
    info.firmwareVersion = {3, 4};
    return info;
}
} // namespace

TEST(SlotText, BlankPaddedFieldsRunIntoTheLowFlagsByte)
{
    std::string text = slotText(slotInfo("Reader A", "Maker", CKF_TOKEN_PRESENT | CKF_HW_SLOT));
    ASSERT_EQ(text.size(), 64u + 32u + 1u);
    EXPECT_EQ(text.substr(0, 8), "Reader A");
    EXPECT_EQ(text.substr(64, 5), "Maker");
    EXPECT_EQ(text.back(), '\x05');
}

TEST(SlotText, ZeroFlagsEndTheTextAfterTheManufacturer)
{
    EXPECT_EQ(slotText(slotInfo("R", "M", 0)).size(), 96u);
}

TEST(SlotText, HighFlagBitsAndVersionsAreNeverRead)
{
    std::string text = slotText(slotInfo("R", "M", 0xFFFFFF01UL));
    EXPECT_EQ(text.size(), 97u);
    EXPECT_EQ(text.back(), '\x01');
}

TEST(SlotText, ZeroByteInAFieldEndsTheTextThere)
{
    CK_SLOT_INFO info = slotInfo("Reader", "Maker", 7);
    info.slotDescription[6] = 0;
    EXPECT_EQ(slotText(info), "Reader");
    info = slotInfo("Reader", "Maker", 7);
    info.manufacturerID[5] = 0;
    EXPECT_EQ(slotText(info), std::string("Reader") + std::string(58, ' ') + "Maker");
}
