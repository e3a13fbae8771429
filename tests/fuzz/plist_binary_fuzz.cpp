// libFuzzer target for the binary form. Inputs without the "bplist00" header get it
// prepended, so mutations are not wasted on the XML path. The reader's own refusals are
// expected; anything else escapes to the fuzzer.
#include "catalog/plist.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

std::string WithBinaryHeader(const uint8_t* data, size_t size)
{
    static const char kHeader[] = "bplist00";
    constexpr size_t kHeaderSize = sizeof kHeader - 1;
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (size >= kHeaderSize && std::memcmp(data, kHeader, kHeaderSize) == 0)
        return input;
    return kHeader + input;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input = WithBinaryHeader(data, size);
    try {
        Plist::readBuffer(input.data(), static_cast<int64_t>(input.size()));
    } catch (const std::runtime_error&) {
    } catch (const boost::bad_any_cast&) {
    }
    return 0;
}
