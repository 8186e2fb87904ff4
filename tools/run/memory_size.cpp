// Sizes of memory in bytes from their text. See memory_size.hpp.
#include "memory_size.hpp"

#include <cctype>
#include <limits>

namespace run {

std::optional<std::uint64_t> parse_memory_size(const std::string& text) {
    std::size_t k = 0;
    std::uint64_t value = 0;
    constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
    while (k < text.size() && std::isdigit(static_cast<unsigned char>(text[k])) != 0) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[k] - '0');
        if (value > (kMost - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
        ++k;
    }
    if (k == 0) return std::nullopt;
    int shift = 0;
    if (k < text.size()) {
        switch (std::toupper(static_cast<unsigned char>(text[k]))) {
            case 'K':
                shift = 10;
                break;
            case 'M':
                shift = 20;
                break;
            case 'G':
                shift = 30;
                break;
            case 'T':
                shift = 40;
                break;
            case 'B':
                break;
            default:
                return std::nullopt;
        }
        ++k;
        if (shift != 0 && k < text.size() &&
            std::toupper(static_cast<unsigned char>(text[k])) == 'B')
            ++k;
    }
    if (k != text.size() || value == 0 || value > (kMost >> shift)) return std::nullopt;
    return value << shift;
}

}  // namespace run
