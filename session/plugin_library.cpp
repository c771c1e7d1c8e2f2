#include "session/plugin_library.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <exception>

namespace vimo {

namespace {
using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
}

std::unique_ptr<PluginLibrary> PluginLibrary::Load(const std::string& path, std::string& error) {
    std::unique_ptr<PluginLibrary> plugin(new PluginLibrary());
    // dlopen searches the library path for a bare name; a file name is meant here.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    plugin->handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!plugin->handle_) {
        const char* why = dlerror();
        error = "cannot load the plug-in " + path + ": " + (why ? why : "unknown error");
        return nullptr;
    }
    auto get_providers = reinterpret_cast<GetProviders>(dlsym(plugin->handle_, "get_providers"));
    if (!get_providers) {
        error = path + " is no device plug-in: it has no get_providers";
        return nullptr;
    }
    try {
        plugin->providers_ = get_providers();
    } catch (const std::exception& e) {
        error = path + ": get_providers failed: " + e.what();
        return nullptr;
    }
    for (const std::shared_ptr<Provider>& p : plugin->providers_) {
        if (auto* device_provider = dynamic_cast<VimoSPDeviceProvider*>(p.get())) {
            plugin->device_provider_ = device_provider;
            break;
        }
    }
    if (!plugin->device_provider_) {
        error = path + " offers no serial device provider";
        return nullptr;
    }
    return plugin;
}

PluginLibrary::~PluginLibrary() {
    providers_.clear();
    if (handle_) dlclose(handle_);
}

VimoSPDevice* PluginLibrary::Create() const { return device_provider_->create(); }

std::string ProgramDirectory() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    std::string path(buffer, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string PluginPath(const std::string& option) {
    if (!option.empty()) return option;
    // A build tree keeps the plug-in beside the program; an installed program finds it in
    // its plug-in folder, which the build names relative to the program's own.
    const std::string beside = ProgramDirectory() + "/novexups.so";
#ifdef NOVEX_PLUGIN_DIR_FROM_BIN
    if (access(beside.c_str(), F_OK) != 0)
        return ProgramDirectory() + "/" NOVEX_PLUGIN_DIR_FROM_BIN "/novexups.so";
#endif
    return beside;
}

}  // namespace vimo
