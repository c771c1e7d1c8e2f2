// The plug-in's one provider: it creates NovexUPS devices.
#pragma once

#include "vimo_provider.h"

class NovexUPSProvider : public VimoSPDeviceProvider {
public:
    NovexUPSProvider() = default;
    ~NovexUPSProvider() override = default;
    VimoSPDevice* create() const override;
};
