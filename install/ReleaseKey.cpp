// The release signer's public key, from the build. Its own file, so that a
// test link can carry another key.
#include <string.h>

#include "ReleaseManifest.h"

#ifndef SETUP_RELEASE_KEY_HEX
#error "SETUP_RELEASE_KEY_HEX must come from the build (empty: releases not verified)"
#endif

namespace {
const char kReleaseKeyHex[] = SETUP_RELEASE_KEY_HEX;
// A key of another length would quietly make a build that verifies nothing.
static_assert(sizeof(kReleaseKeyHex) == 1 || sizeof(kReleaseKeyHex) == 2 * kP256KeyBytes + 1,
              "SETUP_RELEASE_KEY_HEX: 128 hex digits or empty");
}  // namespace

bool GetReleaseKey(BYTE (&key)[kP256KeyBytes]) {
    return DecodeHex(kReleaseKeyHex, strlen(kReleaseKeyHex), key, kP256KeyBytes);
}
