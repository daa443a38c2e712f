# cmake -DMO=kirune.mo -DOUT=file.cpp -P embed_catalogue.cmake: the compiled
# catalogue's bytes as the array app/core/i18n.cpp reads.
file(READ ${MO} _hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])" "\\1\n" _hex "${_hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
file(WRITE ${OUT} "// Generated from po/ja.po by po/embed_catalogue.cmake.\n"
  "#include <cstddef>\n\nnamespace kirune {\n\n"
  "extern const unsigned char kJapaneseCatalogue[];\n"
  "extern const std::size_t kJapaneseCatalogueSize;\n"
  "const unsigned char kJapaneseCatalogue[] = {\n${_bytes}};\n"
  "const std::size_t kJapaneseCatalogueSize = sizeof kJapaneseCatalogue;\n\n}  // namespace kirune\n")
