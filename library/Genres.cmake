# Writes the genre names of the catalog's genre list as C++ table rows, so the
# tag reader maps names to the same numbers that the catalog shows.
file(STRINGS ${GENRES_SQL} lines REGEX "^ *\\([0-9]+, '")
set(rows "")
foreach(line IN LISTS lines)
    string(REGEX MATCH "\\(([0-9]+), '(.*)'\\)" matched "${line}")
    string(REPLACE "''" "'" name "${CMAKE_MATCH_2}")
    string(APPEND rows "    {${CMAKE_MATCH_1}, \"${name}\"},\n")
endforeach()
file(WRITE ${GENRES_OUT}.new "${rows}")
file(COPY_FILE ${GENRES_OUT}.new ${GENRES_OUT} ONLY_IF_DIFFERENT)
