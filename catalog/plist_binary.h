// Binary property-list decoding ("bplist00"), internal to the reader: readBuffer hands
// binary data here. Exposed in a header of its own so the tests can reach the helpers.
#pragma once

#include <boost/any.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Plist {

using ByteVector = std::vector<char>;

// Shared references let a small file describe a huge tree (40 nested arrays each naming
// the next twice give 2^40 leaves). One call may produce at most this many values...
constexpr int64_t kMaxBinaryValues = int64_t{1} << 20;
// ...and read at most this many content bytes beyond the size of its input.
constexpr int64_t kMaxBinaryRepeatedBytes = int64_t{64} << 20;

// Decodes a whole binary property list from object 0; the caller checks the header.
boost::any readBinary(const char* data, size_t size);

// A copy of size bytes of source from start; throws "Out of bounds getRange" when the
// range leaves source.
ByteVector getRange(const ByteVector& source, int64_t start, int64_t size);

// Pointer to the first byte; throws when the vector is empty.
const char* vecData(const ByteVector& bytes);

}  // namespace Plist
