// A file's content as XXH3 with 128 bits, hashed as its bytes go by: what the copy read, and
// what the drive gives back when the copy is read again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace sys {

struct ContentHash {
    uint64_t low = 0;
    uint64_t high = 0;
    bool operator==(const ContentHash&) const = default;
};

class ContentHasher {
  public:
    ContentHasher();
    ~ContentHasher();
    ContentHasher(const ContentHasher&) = delete;
    ContentHasher& operator=(const ContentHasher&) = delete;

    void Update(const void* bytes, size_t size);
    // A hole of a sparse file: the zeros it reads as.
    void UpdateZeros(uint64_t size);
    ContentHash Digest() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace sys
