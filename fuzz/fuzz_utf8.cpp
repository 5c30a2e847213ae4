// UTF-8 <-> wide with the surrogate escape: every byte string comes back exactly. A POSIX file
// name is any bytes; the engine carries it as wide text and must hand the same bytes back to the
// system, or it would copy, link or delete another name than the one it listed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/sys.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (sys::ToUtf8(sys::FromUtf8(bytes)) != bytes) std::abort();
    return 0;
}
