# Writes OUT, a header holding every file of ASSETS (names separated by
# commas, relative to DIR) as a byte array, with a table of their names and
# sizes. Run at build time by the zvk_serve target, so the page is part of
# the program.
set(body "// Generated from serve/assets by embed.cmake; do not edit.\n#pragma once\n#include <cstddef>\n\n")
set(table "")
set(n 0)
string(REPLACE "," ";" ASSETS "${ASSETS}")
foreach(name IN LISTS ASSETS)
  file(READ "${DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" len)
  math(EXPR bytes "${len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  # Keep lines short so compilers and editors cope.
  string(REGEX REPLACE "((0x..,){24})" "\\1\n" hex "${hex}")
  string(APPEND body "static const unsigned char asset_${n}[] = {\n${hex}0};\n")
  string(APPEND table "    {\"${name}\", asset_${n}, ${bytes}},\n")
  math(EXPR n "${n} + 1")
endforeach()
string(APPEND body "\nstruct EmbeddedAsset {\n    const char* name;\n    const unsigned char* data;\n    std::size_t size;\n};\n")
string(APPEND body "static const EmbeddedAsset embedded_assets[] = {\n${table}};\n")
file(WRITE "${OUT}.tmp" "${body}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
