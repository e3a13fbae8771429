#pragma once
// The publisher's key that this build carries: a keyed build verifies what its servers send
// against it, an unkeyed build has none. The key is decoded from the CMake cache variable
// APP_PUBLISHER_KEY when the build is configured (cmake/PublisherKey.cmake); each program
// links the one library of net/publisher_key.cpp built with its key.

#include <optional>

#include "net/public_key.h"

// The build's key; empty in an unkeyed build.
const std::optional<P256PublicKey>& PublisherKey();

inline bool HasPublisherKey()
{
    return PublisherKey().has_value();
}
