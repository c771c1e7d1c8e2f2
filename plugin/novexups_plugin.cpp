// The library's only exported symbol: the controller looks up get_providers.
#include <memory>
#include <vector>

#include "device/novexups.h"
#include "plugin/novexups_provider.h"

VimoSPDevice* NovexUPSProvider::create() const { return new NovexUPS(); }

// The controller looks the entry up by its C name yet calls it as C++: clang's warning
// about a C++ return type with C linkage does not apply.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    std::shared_ptr<NovexUPSProvider> provider = std::make_shared<NovexUPSProvider>();
    providers.push_back(std::shared_ptr<Provider>(std::move(provider)));
    return providers;
}
