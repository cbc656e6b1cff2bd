#include "digest_param.h"

#include <gtest/gtest.h>

TEST(DigestText, PaddedBase64OfThirtyTwoBytesPasses)
{
    EXPECT_TRUE(isDigestText("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="));
    EXPECT_TRUE(isDigestText("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8A")) << "33 bytes, no padding";
    EXPECT_TRUE(isDigestText("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh==")) << "31 bytes";
    EXPECT_TRUE(isDigestText("++//AwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=trailing text"))
        << "only the first 44 characters are the digest";
}

TEST(DigestText, ShortTextIsRefused)
{
    EXPECT_FALSE(isDigestText(""));
    EXPECT_FALSE(isDigestText("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8"));
}

TEST(DigestText, CharactersOutsideTheAlphabetAreRefused)
{
    EXPECT_FALSE(isDigestText("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8\r"));
    EXPECT_FALSE(isDigestText("AAECAwQFBgcICQoLDA0O DxAREhMUFRYXGBkaGxwdHh8="));
    EXPECT_FALSE(isDigestText("AAECAwQFBgcICQoLDA0O-xAREhMUFRYXGBkaGxwdHh8="))
        << "the URL-safe alphabet is not the standard one";
}

TEST(DigestText, PaddingOnlyAtTheEnd)
{
    EXPECT_FALSE(isDigestText("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdH=8="));
    EXPECT_FALSE(isDigestText("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh=A"));
    EXPECT_FALSE(isDigestText("============================================"));
}
