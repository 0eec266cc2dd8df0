#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace kavelin {

// Sort keys that order names as a language orders them ("Édith Piaf" before
// "Sigur Rós"; in Swedish "Öst" after "Zorn"), compared byte by byte, so that a
// catalog can keep them in an indexed column and read names in that order a
// batch at a time. Not for sharing between threads: each user makes its own.
class NameCollator {
public:
    // `locale` as the environment names it ("sv_SE.UTF-8"); empty, "C" and
    // "POSIX" give the order common to all languages.
    explicit NameCollator(const std::string& locale);
    ~NameCollator();
    NameCollator(const NameCollator&) = delete;
    NameCollator& operator=(const NameCollator&) = delete;

    // Names that fold alike (FoldCase) get one key and all others distinct
    // keys, so grouping by the key groups names as FoldCase does. Numbers in
    // names count by value ("2Pac" before "10cc").
    std::string SortKey(std::string_view utf8) const;
    // The language and collation version the keys belong to: keys made under
    // another identity do not compare with these.
    const std::string& Identity() const { return m_identity; }

private:
    struct Collator;
    std::unique_ptr<Collator> m_pCollator;
    std::string m_identity;
};

// The locale whose order the user reads names in: LC_ALL, else LC_COLLATE, else LANG.
std::string UserCollationLocale();

}  // namespace kavelin
