// The generators of the permutations: the same sequence on every machine.
// Each analysis owns its generators, so analyses never share a sequence.
//
// Two kinds. The classic generator (the ISO C reference integer generator,
// 15 bits, turned into deviates k / 32767) runs within the classic limits:
// its draws j = floor(r m) + 1 are those of the classic program. Beyond the
// limits they are biased once m is in the thousands (at m = 20,000 some
// positions are twice as likely as others, and beyond 32,768 some are never
// drawn), so the modern generator runs there: xoshiro256** (Blackman and
// Vigna's 64-bit generator of 256 bits of state), seeded through splitmix64,
// with bounded draws by Lemire's multiply-and-reject method, which is exactly
// uniform. Both are written here: the standard library's distributions
// differ from one implementation to the next.
#pragma once
#include <cstdint>
#include <utility>

namespace morvenak {

// The integer generator: the ISO C reference generator.
// state = state * 1103515245 + 12345 (mod 2^32); yields (state / 65536) mod 32768.
struct IsoRand {
  std::uint32_t state = 1;
  int next() {
    state = state * 1103515245u + 12345u;
    return static_cast<int>((state / 65536u) % 32768u);
  }
};

// k / 32767 correctly rounded to float (k in 0..32767), as the double
// product k (1 / 32767) rounded to float: for every such k the two are the
// same float (a test checks them all), and a product is quicker than a
// division.
inline float classic_fraction(int k) {
  constexpr double kInverse = 1.0 / 32767.0;
  return static_cast<float>(static_cast<double>(k) * kInverse);
}

// The classic deviate of the next state: k / 32767, so 1 included.
inline float classic_deviate(IsoRand& iso) { return classic_fraction(iso.next()); }

// The position that a classic deviate r draws among m: (int)(r m + 1), which is
// m + 1 (and refused by a shuffle, which draws again) only for r = 1.
inline int classic_index(float r, int m) {
  return static_cast<int>(static_cast<double>(r) * static_cast<double>(m) + 1.0);
}

// splitmix64: one 64-bit output per call from a 64-bit counter. Used to
// fill xoshiro's state from a seed, as its authors recommend.
struct SplitMix64 {
  std::uint64_t state = 0;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

// xoshiro256**: s[0..3] must not be all zero.
struct Xoshiro256 {
  std::uint64_t s[4] = {1, 2, 3, 4};
  // The state that seed gives: four splitmix64 outputs from state = seed.
  static Xoshiro256 seeded(std::uint64_t seed);
  std::uint64_t next() {
    const std::uint64_t result = rotl(s[1] * 5, 7) * 9;
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
  }
  // A uniform integer in 0..range-1 (range >= 1), by Lemire's method: the
  // high half of x * range, redrawn while the low half falls below
  // 2^64 mod range, so that every value has exactly the same number of x.
  std::uint64_t below(std::uint64_t range);

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
};

enum class GeneratorKind { kClassic, kModern };

// The generator of one sequence of permutations.
class Generator {
 public:
  // The classic generator from a starting state (1 unless the user seeds it),
  // or the modern one seeded with the same number.
  explicit Generator(std::uint32_t state = 1, GeneratorKind kind = GeneratorKind::kClassic);
  GeneratorKind kind() const { return kind_; }
  // Classic deviates k / 32767 (k in 0..32767, so 1 included) in single
  // precision. flag 0 draws the next value; 1 restarts with state 0; any
  // other value restarts with that state. The modern generator has no
  // deviates: it answers position() only.
  float deviate(int flag);
  // A position j in 1..m, uniform, for a shuffle: classic, draw r until
  // j = (int)(r m + 1) is at most m (only r = 1 is rejected); modern,
  // 1 + below(m).
  int position(int m) {
    if (kind_ == GeneratorKind::kModern) return 1 + static_cast<int>(modern_.below(static_cast<std::uint64_t>(m)));
    return classic_position(iso_, m);
  }
  // The shuffle of a permutation test: for m = n down to 2, positions m and
  // position(m) of v (1-based) swap. The classic state is kept in a local
  // while it runs: v could alias it as far as the compiler knows, so it
  // would otherwise go through memory at every draw.
  void shuffle(int n, int* v) {
    if (kind_ == GeneratorKind::kModern) {
      for (int m = n; m >= 2; --m) std::swap(v[m - 1], v[position(m) - 1]);
      return;
    }
    IsoRand iso = iso_;
    for (int m = n; m >= 2; --m) std::swap(v[m - 1], v[classic_position(iso, m) - 1]);
    iso_ = iso;
  }
  // What the permutation test discards before its first permutation: 100
  // classic deviates; nothing from the modern generator.
  void discard_start();

 private:
  // deviate(0) and the draw of position(m), inline: one call per draw.
  static int classic_position(IsoRand& iso, int m) {
    int j = 0;
    do j = classic_index(classic_deviate(iso), m);
    while (j > m);
    return j;
  }

  GeneratorKind kind_;
  IsoRand iso_;
  Xoshiro256 modern_;
};

}  // namespace morvenak
