#include "platform/text/NameCollator.h"

#include <unicode/ucol.h>
#include <unicode/unistr.h>

#include <cstdlib>
#include <vector>

#include "platform/text/UnicodeText.h"

namespace kavelin {
namespace {

// "sv_SE.UTF-8@euro" → "sv_SE"; the C locale → the root order.
std::string IcuLocaleOf(const std::string& locale) {
    std::string name = locale.substr(0, locale.find_first_of(".@"));
    if (name == "C" || name == "POSIX") {
        name.clear();
    }
    return name;
}

}  // namespace

struct NameCollator::Collator {
    UCollator* handle = nullptr;
    ~Collator() { ucol_close(handle); }
};

NameCollator::NameCollator(const std::string& locale) : m_pCollator(std::make_unique<Collator>()) {
    UErrorCode status = U_ZERO_ERROR;
    const std::string icuLocale = IcuLocaleOf(locale);
    m_pCollator->handle = ucol_open(icuLocale.c_str(), &status);
    if (U_FAILURE(status)) {
        status = U_ZERO_ERROR;
        m_pCollator->handle = ucol_open("", &status);  // the root order never fails to open
    }
    ucol_setAttribute(m_pCollator->handle, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
    UVersionInfo version{};
    ucol_getVersion(m_pCollator->handle, version);
    char versionText[U_MAX_VERSION_STRING_LENGTH] = {};
    u_versionToString(version, versionText);
    m_identity =
        (icuLocale.empty() ? std::string("root") : icuLocale) + " " + versionText + " numeric";
}

NameCollator::~NameCollator() = default;

std::string NameCollator::SortKey(std::string_view utf8) const {
    const std::string folded = FoldCase(utf8);
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(folded);
    std::vector<std::uint8_t> key(64 + 4 * static_cast<std::size_t>(text.length()));
    std::int32_t size = ucol_getSortKey(m_pCollator->handle, text.getBuffer(), text.length(),
                                        key.data(), static_cast<std::int32_t>(key.size()));
    if (size > static_cast<std::int32_t>(key.size())) {
        key.resize(static_cast<std::size_t>(size));
        size =
            ucol_getSortKey(m_pCollator->handle, text.getBuffer(), text.length(), key.data(), size);
    }
    // A collation key holds no zero byte but its last, so the folded text
    // after it only orders names the language counts as equal, and keeps
    // names that fold differently apart.
    std::string sortKey(reinterpret_cast<const char*>(key.data()), static_cast<std::size_t>(size));
    sortKey += folded;
    return sortKey;
}

std::string UserCollationLocale() {
    for (const char* variable : {"LC_ALL", "LC_COLLATE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}

}  // namespace kavelin
