# Writes a compiled message catalog into a C++ source as a table of bytes, so
# that the library carries it: cmake -DINPUT=zh_CN.mo -DOUTPUT=x.cpp -P this.
file(READ "${INPUT}" bytes HEX)
string(LENGTH "${bytes}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," table "${bytes}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" table "${table}")
file(WRITE "${OUTPUT}.tmp" "// Written by cmake/embed_catalog.cmake from ${INPUT}; do not edit.
#include <cstddef>

namespace slotsync::text {
extern const unsigned char kChineseCatalog[];
extern const std::size_t kChineseCatalogSize;
const unsigned char kChineseCatalog[] = {
${table}0};
const std::size_t kChineseCatalogSize = ${size};
}  // namespace slotsync::text
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
