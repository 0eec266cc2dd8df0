#include "platform/gnutella/FileNames.h"

#include <system_error>

namespace kavelin::gnutella {
namespace {

// Length of the valid UTF-8 sequence at text[pos], or 0 when it is not one.
std::size_t Utf8Sequence(std::string_view text, std::size_t pos) {
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    std::size_t length;
    std::uint32_t min;
    if (lead < 0x80) {
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > text.size()) {
        return 0;
    }
    std::uint32_t code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// Cuts `text` to at most `bytes` without splitting a UTF-8 sequence.
std::string CutUtf8(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) {
        return text;
    }
    std::size_t cut = bytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut);
}

}  // namespace

std::optional<std::string> SanitizeFileName(std::string_view offered) {
    const std::size_t separator = offered.find_last_of("/\\");
    if (separator != std::string_view::npos) {
        offered.remove_prefix(separator + 1);
    }
    std::string name;
    for (std::size_t pos = 0; pos < offered.size();) {
        const unsigned char c = static_cast<unsigned char>(offered[pos]);
        const std::size_t length = Utf8Sequence(offered, pos);
        if (length == 0 || c < 0x20 || c == 0x7F) {
            name += '_';
            pos += length == 0 ? 1 : length;
            continue;
        }
        name.append(offered.substr(pos, length));
        pos += length;
    }
    if (name.empty() || name.front() == '.' || name.find_first_not_of(' ') == std::string::npos) {
        return std::nullopt;
    }
    if (name.size() > kMaxFileNameBytes) {
        const std::size_t dot = name.rfind('.');
        std::string extension;
        if (dot != std::string::npos && name.size() - dot <= 8) {
            extension = name.substr(dot);
        }
        name = CutUtf8(name.substr(0, name.size() - extension.size()),
                       kMaxFileNameBytes - extension.size()) +
               extension;
    }
    return name;
}

std::filesystem::path UniquePath(const std::filesystem::path& folder, const std::string& name) {
    std::error_code error;
    std::filesystem::path candidate = folder / name;
    if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, error))) {
        return candidate;
    }
    const std::size_t dot = name.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::string extension = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
    for (int n = 1;; ++n) {
        candidate = folder / (stem + " (" + std::to_string(n) + ")" + extension);
        if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, error))) {
            return candidate;
        }
    }
}

std::string UrlEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

}  // namespace kavelin::gnutella
