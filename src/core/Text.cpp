#include "core/Text.h"

#include <cstdint>

namespace velk {

std::string asciiLowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

namespace {
// Length of the valid UTF-8 sequence starting at bytes[i], or 0 when it is invalid
// (overlong forms, surrogates and values above U+10FFFF are invalid).
std::size_t validSequenceLength(std::string_view bytes, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[k]); };
    const std::uint8_t b0 = byte(i);
    if (b0 < 0x80)
        return 1;
    std::size_t length;
    std::uint32_t min;
    std::uint32_t cp;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2, min = 0x80, cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, min = 0x800, cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + length > bytes.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}
} // namespace

bool isValidUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = validSequenceLength(bytes, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

namespace {
// C1 controls are U+0080..U+009F, encoded as C2 80..C2 9F.
bool isC1Control(std::string_view sequence) {
    return sequence.size() == 2 && static_cast<std::uint8_t>(sequence[0]) == 0xC2 &&
           static_cast<std::uint8_t>(sequence[1]) <= 0x9F;
}

void appendVisible(std::string& out, std::string_view sequence) {
    static constexpr char hex[] = "0123456789abcdef";
    const auto code = static_cast<std::uint8_t>(sequence.size() == 1 ? sequence[0] : sequence[1]);
    if (sequence.size() == 1) {
        if (code >= 0x20 && code != 0x7F) {
            out += static_cast<char>(code);
            return;
        }
        switch (code) {
        case '\t':
            out += "\\t";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        default:
            break;
        }
        out += "\\x";
    } else if (isC1Control(sequence)) {
        out += "\\u00";
    } else {
        out.append(sequence);
        return;
    }
    out += hex[code >> 4];
    out += hex[code & 0xF];
}

template <typename Append> std::string repaired(std::string_view bytes, Append append) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = validSequenceLength(bytes, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            append(out, bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}
} // namespace

std::string validUtf8Text(std::string_view bytes) {
    return repaired(bytes,
                    [](std::string& out, std::string_view sequence) { out.append(sequence); });
}

std::string displayText(std::string_view bytes) {
    return repaired(bytes, appendVisible);
}

std::string_view truncatedToBytes(std::string_view text, std::size_t maximumBytes) {
    if (text.size() <= maximumBytes)
        return text;
    std::size_t end = maximumBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

} // namespace velk
