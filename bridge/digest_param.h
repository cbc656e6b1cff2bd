// The digest to sign arrives as the Base64 text of 32 bytes in the request's
// extra parameter; only its first 44 characters are decoded.
#pragma once

#include <string>

const unsigned DIGEST_TEXT_LENGTH = 44;

// True when the first 44 characters of `param` are padded standard Base64:
// alphabet characters only, with "=" allowed only as the last one or two.
// A shorter parameter is not a digest.
bool isDigestText(const std::string& param);
