#include "platform/gnutella/HeaderBlock.h"

#include <cctype>
#include <charconv>

namespace kavelin::gnutella {
namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::string Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

std::optional<std::string> HeaderBlock::Field(std::string_view name) const {
    for (const auto& [key, value] : fields) {
        if (EqualNoCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

BlockParse ParseHeaderBlock(std::string_view buffer, HeaderBlock& block, std::size_t& consumed,
                            const HeaderLimits& limits) {
    block = HeaderBlock{};
    std::size_t pos = 0;
    std::size_t lines = 0;
    while (true) {
        const std::size_t newline = buffer.find('\n', pos);
        if (newline == std::string_view::npos) {
            const bool tooLong =
                buffer.size() - pos > limits.maxLine || buffer.size() > limits.maxBlock;
            return tooLong ? BlockParse::Invalid : BlockParse::NeedMore;
        }
        if (newline - pos > limits.maxLine || newline + 1 > limits.maxBlock ||
            ++lines > limits.maxLines) {
            return BlockParse::Invalid;
        }
        std::string_view line = buffer.substr(pos, newline - pos);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        pos = newline + 1;
        for (char c : line) {
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) {
                return BlockParse::Invalid;
            }
        }
        if (lines == 1) {
            if (line.empty()) {
                return BlockParse::Invalid;
            }
            block.startLine = std::string(line);
            continue;
        }
        if (line.empty()) {
            consumed = pos;
            return BlockParse::Complete;
        }
        if (IsBlank(line.front())) {
            if (block.fields.empty()) {
                return BlockParse::Invalid;
            }
            block.fields.back().second += ' ' + Trim(line);
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            return BlockParse::Invalid;
        }
        block.fields.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
}

int StatusCode(std::string_view startLine, std::string_view protocol) {
    if (startLine.size() < protocol.size() ||
        !EqualNoCase(startLine.substr(0, protocol.size()), protocol)) {
        return -1;
    }
    const std::size_t space = startLine.find(' ');
    if (space == std::string_view::npos || startLine.size() < space + 4) {
        return -1;
    }
    const std::string_view digits = startLine.substr(space + 1, 3);
    if (startLine.size() > space + 4 && startLine[space + 4] != ' ') {
        return -1;
    }
    int code = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return -1;
        }
        code = code * 10 + (c - '0');
    }
    return code;
}

std::vector<HostAddress> ParseHostList(std::string_view value, std::size_t max) {
    std::vector<HostAddress> hosts;
    std::size_t pos = 0;
    while (pos <= value.size() && hosts.size() < max) {
        std::size_t comma = value.find(',', pos);
        if (comma == std::string_view::npos) {
            comma = value.size();
        }
        if (auto host = ParseHostAddress(Trim(value.substr(pos, comma - pos)))) {
            hosts.push_back(*host);
        }
        pos = comma + 1;
    }
    return hosts;
}

bool HasToken(std::string_view value, std::string_view token) {
    std::size_t pos = 0;
    while (pos <= value.size()) {
        std::size_t comma = value.find(',', pos);
        if (comma == std::string_view::npos) {
            comma = value.size();
        }
        if (EqualNoCase(Trim(value.substr(pos, comma - pos)), token)) {
            return true;
        }
        pos = comma + 1;
    }
    return false;
}

std::optional<std::uint64_t> ParseDecimal(std::string_view text, std::uint64_t max) {
    if (text.empty() || text.size() > 19) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || next != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<ContentRange> ParseContentRange(std::string_view value) {
    const std::string text = Trim(value);
    std::string_view rest = text;
    if (rest.size() < 6 || !EqualNoCase(rest.substr(0, 5), "bytes") ||
        (rest[5] != ' ' && rest[5] != '=')) {
        return std::nullopt;
    }
    rest.remove_prefix(6);
    const std::size_t dash = rest.find('-');
    const std::size_t slash = rest.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
        return std::nullopt;
    }
    constexpr std::uint64_t kLimit = std::uint64_t(1) << 40;
    auto first = ParseDecimal(rest.substr(0, dash), kLimit);
    auto last = ParseDecimal(rest.substr(dash + 1, slash - dash - 1), kLimit);
    auto total = ParseDecimal(rest.substr(slash + 1), kLimit);
    if (!first || !last || !total || *first > *last || *last >= *total) {
        return std::nullopt;
    }
    return ContentRange{*first, *last, *total};
}

std::optional<QueuePlace> ParseQueuePlace(std::string_view value) {
    QueuePlace place;
    bool positioned = false;
    std::size_t pos = 0;
    while (pos < value.size()) {
        std::size_t end = value.find_first_of(",;", pos);
        if (end == std::string_view::npos) {
            end = value.size();
        }
        const std::string item = Trim(value.substr(pos, end - pos));
        pos = end + 1;
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string name = Trim(std::string_view(item).substr(0, equals));
        for (char& c : name) {
            c = char(std::tolower(static_cast<unsigned char>(c)));
        }
        const auto number = ParseDecimal(Trim(std::string_view(item).substr(equals + 1)), 1000000);
        if (!number) {
            continue;
        }
        if (name == "position") {
            place.position = *number;
            positioned = true;
        } else if (name == "pollmin") {
            place.pollMin = *number;
        } else if (name == "pollmax") {
            place.pollMax = *number;
        }
    }
    if (!positioned) {
        return std::nullopt;
    }
    return place;
}

}  // namespace kavelin::gnutella
