#pragma once

#include <string>
#include <vector>

#include "tests/support/TestCatalog.h"

namespace kavelin::test {

// The names of the recommender list, in the order they were added.
std::vector<std::string> RecommenderNames(TestCatalog& catalog);

}  // namespace kavelin::test
