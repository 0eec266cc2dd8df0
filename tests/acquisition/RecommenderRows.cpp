#include "tests/acquisition/RecommenderRows.h"

namespace kavelin::test {

std::vector<std::string> RecommenderNames(TestCatalog& catalog) {
    std::vector<std::string> names;
    const long count = catalog.ScalarLong("SELECT COUNT(*) FROM tRecommender");
    for (long row = 0; row < count; ++row) {
        names.push_back(catalog.Scalar("SELECT Name FROM tRecommender ORDER BY ID LIMIT 1 OFFSET " +
                                       std::to_string(row)));
    }
    return names;
}

}  // namespace kavelin::test
