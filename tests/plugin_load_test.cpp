// Loads the built plug-in as the controller does: dlopen, get_providers, create.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fake_host.h"
#include "vimo_provider.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

struct PluginLoad : ::testing::Test {
    void* library = nullptr;
    GetProviders get_providers = nullptr;

    void SetUp() override {
        // NOVEX_PLUGIN_FILE names another build of the plug-in, e.g. the shipped one.
        const char* file = std::getenv("NOVEX_PLUGIN_FILE");
        library = dlopen(file && *file ? file : NOVEX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, library) << dlerror();
        get_providers = reinterpret_cast<GetProviders>(dlsym(library, "get_providers"));
        ASSERT_NE(nullptr, get_providers) << dlerror();
    }
    void TearDown() override {
        if (library) dlclose(library);
    }

    static VimoSPDeviceProvider* AsDeviceProvider(const std::shared_ptr<Provider>& p) {
        return dynamic_cast<VimoSPDeviceProvider*>(p.get());
    }
};

TEST_F(PluginLoad, EachCallHandsOutOneNewProvider) {
    auto first = get_providers();
    auto second = get_providers();
    ASSERT_EQ(1u, first.size());
    ASSERT_EQ(1u, second.size());
    EXPECT_NE(first[0].get(), second[0].get());
    EXPECT_EQ(1, first[0].use_count());
    EXPECT_NE(nullptr, AsDeviceProvider(first[0]));
}

TEST_F(PluginLoad, DevicesOutliveTheirProviderAndShareNothing) {
    std::unique_ptr<VimoSPDevice> a, b;
    {
        auto providers = get_providers();
        VimoSPDeviceProvider* provider = AsDeviceProvider(providers[0]);
        ASSERT_NE(nullptr, provider);
        a.reset(provider->create());
        b.reset(provider->create());
    }
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ("novexups", a->DeviceType());
    EXPECT_TRUE(a->IsSupportDevice("novexups"));

    FakeHost host_a, host_b;
    a->AttachHost(&host_a);
    b->AttachHost(&host_b);
    // Unhandled codes answer the status word -1, then reach the host.
    int32_t word = 0;
    int length = 0;
    a->DeviceIoControl(802, nullptr, 0, &word, sizeof word, length);
    EXPECT_EQ(-1, word);
    EXPECT_EQ(4, length);
    EXPECT_EQ(1u, host_a.Lines("DeviceIoControl 802").size());

    // A record cached into one device completes a round there only.
    std::vector<unsigned char> record(853, 0x5a);
    EXPECT_EQ(1, a->LoadFromCache(record.data(), 853));
    EXPECT_EQ(0, a->LoadFromCache(record.data(), 856));
    EXPECT_TRUE(a->data_ready);
    EXPECT_FALSE(b->data_ready);
    EXPECT_EQ(1u, host_a.Lines("SendSP 5156 853").size());
    EXPECT_TRUE(host_b.log.empty());
    ASSERT_EQ(1u, host_a.sent_records.size());
    EXPECT_EQ(0, std::memcmp(record.data(), host_a.sent_records[0].data(), 846));
}

TEST_F(PluginLoad, ANewDeviceHasNoData) {
    auto providers = get_providers();
    std::unique_ptr<VimoSPDevice> device(AsDeviceProvider(providers[0])->create());
    try {
        device->Get_Value(1, "x");
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ("数据未就绪", e.what());
    }
    // The document of a device that never completed a round is the null value.
    char text[16] = {};
    int length = 0;
    EXPECT_EQ(0, device->DeviceIoControl(801, nullptr, 0, text, sizeof text, length));
    EXPECT_EQ("null\n", std::string(text, static_cast<size_t>(length)));
}

}  // namespace
