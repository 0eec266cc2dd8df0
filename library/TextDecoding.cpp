#include "library/TextDecoding.h"

namespace kavelin {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        codePoint = kReplacement;
    }
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char byte : bytes) {
        AppendUtf8(out, byte);
    }
    return out;
}

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndianByDefault) {
    std::size_t pos = 0;
    bool bigEndian = bigEndianByDefault;
    if (bytes.size() >= 2) {
        const auto first = static_cast<unsigned char>(bytes[0]);
        const auto second = static_cast<unsigned char>(bytes[1]);
        if (first == 0xFF && second == 0xFE) {
            bigEndian = false;
            pos = 2;
        } else if (first == 0xFE && second == 0xFF) {
            bigEndian = true;
            pos = 2;
        }
    }
    auto unitAt = [&](std::size_t at) -> char16_t {
        const auto a = static_cast<unsigned char>(bytes[at]);
        const auto b = static_cast<unsigned char>(bytes[at + 1]);
        return static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    };
    std::string out;
    out.reserve(bytes.size());
    while (pos + 1 < bytes.size()) {
        const char16_t unit = unitAt(pos);
        pos += 2;
        if (unit >= 0xD800 && unit <= 0xDBFF && pos + 1 < bytes.size()) {
            const char16_t low = unitAt(pos);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                pos += 2;
                AppendUtf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (low - 0xDC00));
                continue;
            }
        }
        AppendUtf8(out, unit);  // a lone surrogate turns into U+FFFD there
    }
    if (pos < bytes.size()) {
        AppendUtf8(out, kReplacement);
    }
    return out;
}

namespace {

// Copies valid UTF-8 sequences and hands every byte that does not start one to
// `invalid`.
template <typename Invalid>
std::string CopyValidUtf8(std::string_view bytes, Invalid invalid) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[pos]);
        std::size_t length = 0;
        char32_t codePoint = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++pos;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, codePoint = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, codePoint = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, codePoint = lead & 0x07, minimum = 0x10000;
        }
        bool valid = length > 0 && pos + length <= bytes.size();
        for (std::size_t i = 1; valid && i < length; ++i) {
            const auto next = static_cast<unsigned char>(bytes[pos + i]);
            valid = IsContinuation(next);
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        valid = valid && codePoint >= minimum && codePoint <= 0x10FFFF &&
                !(codePoint >= 0xD800 && codePoint <= 0xDFFF);
        if (valid) {
            out.append(bytes.substr(pos, length));
            pos += length;
        } else {
            invalid(out, static_cast<unsigned char>(bytes[pos]));
            ++pos;
        }
    }
    return out;
}

}  // namespace

std::string SanitiseUtf8(std::string_view bytes) {
    return CopyValidUtf8(bytes,
                         [](std::string& out, unsigned char) { AppendUtf8(out, kReplacement); });
}

std::string Utf8OrLatin1(std::string_view bytes) {
    return CopyValidUtf8(bytes,
                         [](std::string& out, unsigned char byte) { AppendUtf8(out, byte); });
}

std::string DecodeFirstString(TextEncoding encoding, std::string_view bytes) {
    if (encoding == TextEncoding::Utf16 || encoding == TextEncoding::Utf16BigEndian) {
        std::size_t end = 0;
        while (end + 1 < bytes.size() && (bytes[end] != 0 || bytes[end + 1] != 0)) {
            end += 2;
        }
        const bool terminated = end + 1 < bytes.size();
        return Utf16ToUtf8(bytes.substr(0, terminated ? end : bytes.size()),
                           encoding == TextEncoding::Utf16BigEndian);
    }
    const std::string_view text = bytes.substr(0, bytes.find('\0'));
    return encoding == TextEncoding::Latin1 ? Latin1ToUtf8(text) : SanitiseUtf8(text);
}

}  // namespace kavelin
