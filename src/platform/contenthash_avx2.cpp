// XXH3's loop over the bytes, built for AVX2 while the rest of the program is built for any
// x86-64 processor: ContentHasher takes it where the processor has AVX2. The hash is the same
// either way (XXH3 gives one result on every vector unit), only found in less processor time.
// Nothing else may go in this file: any code built here could run on a processor without AVX2.
#ifndef __AVX2__
#error "contenthash_avx2.cpp is built with -mavx2"
#endif

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace sys::avx2 {

void HashUpdate(void* state, const void* bytes, size_t size) {
    XXH3_128bits_update(static_cast<XXH3_state_t*>(state), bytes, size);
}

}  // namespace sys::avx2
