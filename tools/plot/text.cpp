// Cleaning text for drawing; see text.hpp.
#include "text.hpp"

namespace plot {

namespace {

// The length of the UTF-8 sequence at s[i] and its code point; 0 when the bytes there
// are not one (a stray or missing continuation byte, an overlong form, a surrogate, a
// code point beyond U+10FFFF).
std::size_t utf8_at(const std::string& s, std::size_t i, char32_t& cp) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i);
    std::size_t len;
    char32_t least;
    if (b < 0x80) {
        cp = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        len = 2, cp = b & 0x1F, least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3, cp = b & 0x0F, least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4, cp = b & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

std::string clean_text(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp = 0;
        const std::size_t len = utf8_at(s, i, cp);
        if (len == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD for each byte that is not UTF-8
            ++i;
            continue;
        }
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F))
            out += '?';
        else if (cp == 0xFFFE || cp == 0xFFFF)
            out += "\xEF\xBF\xBD";
        else
            out.append(s, i, len);
        i += len;
    }
    return out;
}

}  // namespace plot
