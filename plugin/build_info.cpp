// What the plug-in was compiled against, kept in the file itself as NUL-separated
// "name value" strings (`readelf -p .novex.build novexups.so`, scripts/abi-report.sh):
// the controller must hold the same jsoncpp, since a Json::Value crosses between them,
// and use the same C++ string ABI. A section of its own survives stripping.
#include <boost/version.hpp>
#include <json/version.h>
#include <string>

#define NOVEX_TEXT(x) NOVEX_TEXT_(x)
#define NOVEX_TEXT_(x) #x
#if defined(_GLIBCXX_USE_CXX11_ABI)
#define NOVEX_CXX11_ABI_TEXT NOVEX_TEXT(_GLIBCXX_USE_CXX11_ABI)
#else
#define NOVEX_CXX11_ABI_TEXT "none"  // not libstdc++: no dual string ABI
#endif

namespace {
[[gnu::used, gnu::section(".novex.build")]] const char kBuildInfo[] =
    "jsoncpp " JSONCPP_VERSION_STRING "\0"
    "boost " BOOST_LIB_VERSION "\0"
    "cxx11_abi " NOVEX_CXX11_ABI_TEXT "\0"
    "compiler " __VERSION__;
}  // namespace
