# Build step: writes a C++ source that holds the catalog's upgrade steps
# (resources/catalog/upgrade/NNN-what.sql, the SQL that brings a catalog of
# version NNN-1 to NNN) and its stored queries (resources/catalog/q*.sql), so the
# program can bring an older catalog up to date.
#   cmake -DSOURCE_DIR=<project> -DOUTPUT=<file.cpp> -P EmbedCatalogSql.cmake
file(GLOB steps ${SOURCE_DIR}/resources/catalog/upgrade/*.sql)
list(SORT steps)
file(GLOB queries ${SOURCE_DIR}/resources/catalog/q*.sql)
list(SORT queries)

set(text "// Generated from resources/catalog by catalog/EmbedCatalogSql.cmake; do not edit.\n")
string(APPEND text "#include \"catalog/CatalogUpgrade.h\"\n\nnamespace kavelin {\nnamespace {\n\n")
string(APPEND text "constexpr CatalogUpgradeStep kSteps[] = {\n")
foreach(step ${steps})
    get_filename_component(name ${step} NAME_WE)
    if(NOT name MATCHES "^([0-9]+)-")
        message(FATAL_ERROR "upgrade step ${step}: the name must start with its version, as 002-what.sql")
    endif()
    math(EXPR version "${CMAKE_MATCH_1}")
    file(READ ${step} sql)
    string(APPEND text "    {${version}, \"${name}\", R\"kvsql(${sql})kvsql\"},\n")
endforeach()
string(APPEND text "};\n\nconstexpr StoredQuerySource kQueries[] = {\n")
foreach(query ${queries})
    get_filename_component(name ${query} NAME_WE)
    file(READ ${query} sql)
    string(APPEND text "    {\"${name}\", R\"kvsql(${sql})kvsql\"},\n")
endforeach()
string(APPEND text "};\n\n}  // namespace\n\n")
string(APPEND text "std::span<const CatalogUpgradeStep> BuiltInUpgradeSteps() {\n    return kSteps;\n}\n\n")
string(APPEND text "std::span<const StoredQuerySource> BuiltInStoredQueries() {\n    return kQueries;\n}\n\n")
string(APPEND text "}  // namespace kavelin\n")

if(EXISTS ${OUTPUT})
    file(READ ${OUTPUT} previous)
endif()
if(NOT "${previous}" STREQUAL "${text}")
    file(WRITE ${OUTPUT} "${text}")
endif()
