// The status page's files, compiled into the program from web/assets at build time
// (embed_assets.cmake): the server reads nothing from the file system.
#pragma once

#include <cstddef>
#include <string>

namespace novex {
namespace web {

struct Asset {
    const char* name;  // "index.html", "app.js", "style.css"
    const unsigned char* data;
    size_t size;
};

// The asset named `name`, or null.
const Asset* FindAsset(const std::string& name);

}  // namespace web
}  // namespace novex
