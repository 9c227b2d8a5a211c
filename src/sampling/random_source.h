#ifndef REROZER_SAMPLING_RANDOM_SOURCE_H_
#define REROZER_SAMPLING_RANDOM_SOURCE_H_

#include <cstdint>
#include <random>

namespace rerozer {

// The sampler's one source of randomness: a 32-bit Mersenne Twister
// (std::mt19937) and the single way its output becomes an index.
// Owned by value by its sampler, never shared or copied out, so the same
// seed and the same calls give the same stream on every platform. Seeding
// again (between calls) starts the stream of that seed afresh.
class RandomSource {
 public:
  // Seeds from the two's-complement bit pattern of `seed`: -1 seeds like
  // 4294967295.
  void seed(int32_t seed) { engine_.seed(static_cast<uint32_t>(seed)); }

  // One engine output, 32 bits.
  uint32_t draw() { return static_cast<uint32_t>(engine_()); }

  // One draw reduced modulo n (n >= 1): no distribution object, no
  // rejection, so small remainders are slightly favoured when n does not
  // divide 2^32, and for n > 2^32 the draw itself is returned.
  int64_t random_index(int64_t n) { return static_cast<int64_t>(draw()) % n; }

 private:
  std::mt19937 engine_;
};

}  // namespace rerozer

#endif  // REROZER_SAMPLING_RANDOM_SOURCE_H_
