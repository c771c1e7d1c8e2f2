// A loaded device plug-in: the library handle and its device provider.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vimo_provider.h"

namespace vimo {

class PluginLibrary {
public:
    // Loads `path`, calls get_providers and keeps the first device provider. Returns
    // null with a one-line error when the file cannot be loaded or offers no devices.
    static std::unique_ptr<PluginLibrary> Load(const std::string& path, std::string& error);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // A new device, owned by the caller; every device must be deleted before the
    // library goes, since its code lives in the library.
    VimoSPDevice* Create() const;

private:
    PluginLibrary() = default;
    void* handle_ = nullptr;
    std::vector<std::shared_ptr<Provider>> providers_;
    VimoSPDeviceProvider* device_provider_ = nullptr;
};

// The directory of the running program (for the files that lie beside it).
std::string ProgramDirectory();

// The plug-in a command loads: `option` when given, else novexups.so beside the program
// (a build tree), else the one in the installed plug-in folder.
std::string PluginPath(const std::string& option);

}  // namespace vimo
