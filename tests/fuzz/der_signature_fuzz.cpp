// libFuzzer target for the DER signature reader. Besides crashes and sanitizer reports it
// catches leniency: DER has one encoding per value, so whatever the reader takes must be
// exactly the strict DER of the r and s it returns.
#include "net/der_signature.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// The strict DER INTEGER of a 32-byte big-endian magnitude.
std::string DerInteger(const unsigned char* half)
{
    size_t first = 0;
    while (first < 31 && half[first] == 0)
        ++first;
    std::string contents(reinterpret_cast<const char*>(half + first), 32 - first);
    if (half[first] & 0x80)
        contents.insert(contents.begin(), '\0');
    return std::string{'\x02', static_cast<char>(contents.size())} + contents;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view der(reinterpret_cast<const char*>(data), size);
    const std::optional<RawP256Signature> raw = ReadDerSignature(der);
    if (!raw)
        return 0;
    const std::string halves = DerInteger(raw->data()) + DerInteger(raw->data() + 32);
    const std::string strict = std::string{'\x30', static_cast<char>(halves.size())} + halves;
    if (strict != der)
        std::abort();  // taken, but not the one encoding of its values
    return 0;
}
