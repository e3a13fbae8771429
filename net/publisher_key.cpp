#include "net/publisher_key.h"

// Generated into the folder of the library being built, with that library's key.
#include "publisher_key_data.h"

const std::optional<P256PublicKey>& PublisherKey()
{
    return kBuildPublisherKey;
}
