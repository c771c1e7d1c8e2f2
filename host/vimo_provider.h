// Providers: what a plug-in hands the controller so that it can create devices.
#pragma once

#include "vimo_device.h"

class Provider {
public:
    Provider() = default;
    virtual ~Provider() = default;
};

class VimoSPDeviceProvider : public Provider {
public:
    VimoSPDeviceProvider() = default;
    ~VimoSPDeviceProvider() override = default;
    // A new device owned by the caller, destroyed with delete.
    virtual VimoSPDevice* create() const = 0;
};
