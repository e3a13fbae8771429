// libFuzzer target for the XML form. The reader's own refusals are expected; anything
// else (a crash, a sanitizer report, another exception type) escapes to the fuzzer.
#include "catalog/plist.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        Plist::readBuffer(reinterpret_cast<const char*>(data), static_cast<int64_t>(size));
    } catch (const std::runtime_error&) {
    } catch (const boost::bad_any_cast&) {
    }
    return 0;
}
