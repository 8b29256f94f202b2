// The module's entry point and provider, used exactly as the host uses them:
// dlopen, get_providers, dynamic_cast, create, delete through the base.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <memory>
#include <string>
#include <typeinfo>

#include "tests/module/allocation_counter.h"
#include "tests/support/meter_requests.h"
#include "tests/support/module_fixture.h"

namespace {

using kpmtest::meter_of;

class ProviderTest : public kpmtest::ModuleTest {
protected:
    ProviderList fresh_providers()
    {
        void* entry = dlsym(module_.handle(), kGetProvidersSymbol);
        EXPECT_NE(entry, nullptr);
        return reinterpret_cast<GetProvidersFunction>(entry)();
    }
};

TEST_F(ProviderTest, EachCallGivesAFreshListWithOneMeterProvider)
{
    const ProviderList first = fresh_providers();
    const ProviderList second = fresh_providers();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(first[0].get(), second[0].get());
    EXPECT_NE(first[0].get(), module_.providers()[0].get());
    EXPECT_EQ(first[0].use_count(), 1);

    for (const ProviderList* list : {&first, &second}) {
        const Provider& provider = *(*list)[0];
        EXPECT_NE(dynamic_cast<const SMDSPDeviceProvider*>(&provider), nullptr);
        EXPECT_EQ(std::string(typeid(provider).name()), "24KalvorPowerMeterProvider");
    }
}

TEST_F(ProviderTest, DevicesAreDistinctAndIndependent)
{
    SPModbus& a = new_device();
    SPModbus& b = new_device();
    ASSERT_NE(&a, &b);
    a.data_id = 1;
    b.data_id = 2;
    a.InitSetting(Json::Value(Json::objectValue));
    b.InitSetting(Json::Value(Json::objectValue));

    kpmtest::complete_round(a, kpmtest::block_of(7));
    kpmtest::request_with_words(a, 206, {16, 500});
    devhost::place_write_single_reply(a, 500);
    a.process_payload(0, 0);

    EXPECT_EQ(kpmtest::write_outcome(a), 1);
    EXPECT_EQ(kpmtest::write_outcome(b), -1);
    EXPECT_TRUE(a.data_ready);
    EXPECT_FALSE(b.data_ready);
    EXPECT_EQ(meter_of(a).record.data_id, 1u);
    EXPECT_EQ(meter_of(b).record.data_id, 2u);
    EXPECT_EQ(kpmtest::snapshot_text(b), "null\n");
    EXPECT_EQ(b.tab, 0);
    EXPECT_NE(&meter_of(a).snapshot, &meter_of(b).snapshot);
}

TEST_F(ProviderTest, DevicesOutliveTheProviders)
{
    SPModbus& device = new_device();
    module_.release_providers();
    fresh_providers();  // made and dropped at once

    device.data_id = 5;
    device.InitSetting(Json::Value(Json::objectValue));
    kpmtest::complete_round(device, kpmtest::block_of(3));
    const auto published = host_.calls_named("SendSP");
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].bytes[0], 5);
    EXPECT_NE(kpmtest::snapshot_text(device).find("\"A\\u76f8\\u7535\\u538b\":3.0"),
              std::string::npos);
}

// A device used in every way the host uses one, then deleted through the
// root of the class chain, frees everything it allocated.
TEST(ModuleLifetime, DeletingThroughTheRootFreesTheWholeDeviceAndTheModuleUnloads)
{
    {
        devhost::LoadedModule module(KPM_MODULE_PATH);
        const auto use_and_delete = [&module] {
            VDeviceInterface* root = module.create_device().release();
            auto& device = static_cast<SPModbus&>(*root);
            device.InitSetting(Json::Value(Json::objectValue));
            kpmtest::complete_round(device, kpmtest::block_of(1));
            kpmtest::snapshot_text(device);
            kpmtest::request_with_words(device, 210, {1, 2, 3});
            delete root;
        };
        testing::internal::CaptureStdout();
        use_and_delete();  // first use of the streams and the clock may allocate for good
        const std::ptrdiff_t before = kpmtest::live_allocations();
        use_and_delete();
        const std::ptrdiff_t after = kpmtest::live_allocations();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(after, before);
    }
    EXPECT_EQ(dlopen(KPM_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "the module stays loaded after its last user released it";
}

}  // namespace
