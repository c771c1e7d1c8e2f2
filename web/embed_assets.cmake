# Writes a C++ source holding the status page's files as byte arrays, with
# FindAsset() over them (assets.h). Run at build time:
#   cmake -DOUTPUT=assets.cpp -DASSET_DIR=web/assets -DASSETS=index.html,app.js -P embed_assets.cmake
set(arrays "")
set(rows "")
set(index 0)
string(REPLACE "," ";" ASSETS "${ASSETS}")
foreach(name IN LISTS ASSETS)
  file(READ "${ASSET_DIR}/${name}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kAsset${index}[] = {${bytes}};\n")
  string(APPEND rows "    {\"${name}\", kAsset${index}, sizeof kAsset${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Made from web/assets by web/embed_assets.cmake at build time.
#include \"web/assets.h\"

namespace novex {
namespace web {

namespace {
${arrays}
const Asset kAssets[] = {
${rows}};
}  // namespace

const Asset* FindAsset(const std::string& name) {
    for (const Asset& asset : kAssets)
        if (name == asset.name) return &asset;
    return nullptr;
}

}  // namespace web
}  // namespace novex
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
