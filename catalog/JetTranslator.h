#pragma once

#include <functional>
#include <optional>
#include <string>

namespace kavelin {

// Rewrites a statement of the catalog's SQL dialect (the Jet dialect the
// program's statements are written in) into SQLite's:
//  - "SELECT TOP n ..." becomes "SELECT ... LIMIT n" at the same query level;
//  - Now and Now() give the local time as 'YYYY-MM-DD HH:MM:SS';
//  - True and False become -1 and 0;
//  - "DELETE a.* FROM A a INNER JOIN B b ON cond" becomes
//    "DELETE FROM A AS a WHERE EXISTS (SELECT 1 FROM B b WHERE cond)";
//  - a qualified column on the left of SET loses its qualifier;
//  - a final ";" is dropped;
//  - a table name that is a stored query becomes "(its SQL) AS name".
// Square brackets, aliases without AS, nested outer joins and case-blind
// names are SQLite's own already. Texts between apostrophes are never touched.
class JetTranslator {
public:
    // Gives the SQL of a stored query by name, or nothing when no such query exists.
    using StoredQueryLookup = std::function<std::optional<std::string>(const std::string& name)>;

    static std::string Translate(const std::string& statement,
                                 const StoredQueryLookup& storedQueries = {});
};

}  // namespace kavelin
