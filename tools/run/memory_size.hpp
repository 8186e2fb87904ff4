// The memory a run may use, as the user writes it: a whole number of bytes, or of
// kilobytes, megabytes, gigabytes or terabytes with K, M, G or T (powers of 1024,
// either case, an optional B after the letter: 512M, 8G, 1.5G is refused).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace run {

// The number of bytes, or nothing when the text is not such a size or is 0 or does
// not fit in 64 bits.
std::optional<std::uint64_t> parse_memory_size(const std::string& text);

}  // namespace run
