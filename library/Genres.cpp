#include "library/Genres.h"

#include <algorithm>
#include <span>

namespace kavelin {

namespace {

struct GenreName {
    std::int32_t number;
    std::string_view name;
};

// The catalog's genre list, written into the build from its SQL.
constexpr GenreName kGenreNames[] = {
#include "GenreRows.inc"
};

// Other spellings that taggers write for some of the list's genres.
constexpr GenreName kGenreSpellings[] = {
    {40, "AlternRock"},  {40, "Alt. Rock"}, {59, "Gangsta Rap"}, {62, "Pop / Funk"},
    {84, "Fast-Fusion"}, {85, "Bebob"},     {133, "Afro-Punk"},
};

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiLower(x) == AsciiLower(y);
           });
}

std::string_view Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The number that `text` starts with and the length of its digits (0 when it
// does not start with a digit), capped at 255.
std::int32_t LeadingNumber(std::string_view text, std::size_t& digits) {
    std::int32_t number = 0;
    digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        number = std::min(number * 10 + (text[digits] - '0'), kNoGenre);
        ++digits;
    }
    return number;
}

std::int32_t NumberOfName(std::string_view name) {
    for (const auto& list :
         {std::span<const GenreName>(kGenreNames), std::span<const GenreName>(kGenreSpellings)}) {
        for (const GenreName& genre : list) {
            if (EqualIgnoringCase(genre.name, name)) {
                return genre.number;
            }
        }
    }
    return kNoGenre;
}

}  // namespace

std::int32_t GenreNumber(std::string_view contentType) {
    const std::string_view text = Trimmed(contentType);
    std::size_t digits = 0;
    if (text.size() >= 2 && text[0] == '(' && text[1] == '(') {
        return NumberOfName(text.substr(1));  // "((" starts a name that begins with "("
    }
    if (!text.empty() && text[0] == '(') {
        const std::int32_t number = LeadingNumber(text.substr(1), digits);
        if (digits > 0 && 1 + digits < text.size() && text[1 + digits] == ')') {
            return number;
        }
        // "(RX)", "(CR)" and the like: what follows the bracket may still name a genre.
        const std::size_t close = text.find(')');
        return close == std::string_view::npos ? kNoGenre
                                               : NumberOfName(Trimmed(text.substr(close + 1)));
    }
    const std::int32_t number = LeadingNumber(text, digits);
    if (digits > 0 && digits == text.size()) {
        return number;
    }
    return NumberOfName(text);
}

}  // namespace kavelin
