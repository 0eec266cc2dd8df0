#include "platform/text/UnicodeText.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uscript.h>

namespace kavelin {

namespace {

// Latin letters whose stroke or shape is part of the letter, so that
// decomposition leaves them whole.
UChar32 LatinBase(UChar32 letter) {
    switch (letter) {
        case 0x00D8:
        case 0x00F8:
            return U'O';  // Ø ø
        case 0x0110:
        case 0x0111:
            return U'D';  // Đ đ
        case 0x0126:
        case 0x0127:
            return U'H';  // Ħ ħ
        case 0x0131:
            return U'I';  // dotless ı
        case 0x0141:
        case 0x0142:
            return U'L';  // Ł ł
        case 0x0166:
        case 0x0167:
            return U'T';  // Ŧ ŧ
        default:
            return letter;
    }
}

}  // namespace

std::string FoldCase(std::string_view utf8) {
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
    std::string out;
    text.foldCase().toUTF8String(out);
    return out;
}

std::string BaseLetters(std::string_view utf8) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* decomposition = icu::Normalizer2::getNFDInstance(status);
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
    if (U_SUCCESS(status)) {
        text = decomposition->normalize(text, status);
    }
    icu::UnicodeString letters;
    for (std::int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        const UChar32 c = text.char32At(i);
        if (!u_isalpha(c) || u_charType(c) == U_NON_SPACING_MARK ||
            u_charType(c) == U_COMBINING_SPACING_MARK) {
            continue;
        }
        letters.append(u_toupper(LatinBase(c)));
    }
    std::string out;
    letters.toUTF8String(out);
    return out;
}

}  // namespace kavelin
