#include "platform/contenthash.h"

#include <algorithm>

// Header-only: the same code on every system, the MinGW build included.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace sys {

struct ContentHasher::State {
    XXH3_state_t xxh;
};

ContentHasher::ContentHasher() : state_(std::make_unique<State>()) {
    XXH3_128bits_reset(&state_->xxh);
}

ContentHasher::~ContentHasher() = default;

void ContentHasher::Update(const void* bytes, size_t size) {
    XXH3_128bits_update(&state_->xxh, bytes, size);
}

void ContentHasher::UpdateZeros(uint64_t size) {
    static const char kZeros[64 * 1024] = {};
    while (size > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size, sizeof kZeros));
        XXH3_128bits_update(&state_->xxh, kZeros, n);
        size -= n;
    }
}

ContentHash ContentHasher::Digest() const {
    const XXH128_hash_t h = XXH3_128bits_digest(&state_->xxh);
    return {h.low64, h.high64};
}

}  // namespace sys
