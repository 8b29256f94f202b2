// The host unloads a module once it has destroyed everything the module made;
// after dlclose none of the module may stay mapped, or every reload of the
// driver would pin another copy in the long-running host.
//
// usage: module_unload_test MODULE PINNED_MODULE [gtest options]
//   MODULE         the driver module
//   PINNED_MODULE  a module that dlclose cannot unload (it has a GNU-unique
//                  symbol), to show that the mapping check sees a module stay
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "devhost/runtime/module_loader.h"
#include "devhost/runtime/recording_backend.h"
#include "devhost/runtime/reply_layout.h"

namespace {

std::string module_path;
std::string pinned_module_path;

constexpr int kCycles = 50;
constexpr int kRecordKind = 5156;
constexpr unsigned kRecordSize = 131;
constexpr int kSnapshotTextRequest = 801;

std::string canonical(const std::string& path)
{
    std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
    return resolved ? resolved.get() : path;
}

// Whether any mapping of this process comes from the file.
bool is_mapped(const std::string& path)
{
    const std::string file = canonical(path);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const auto name = line.find('/');
        if (name != std::string::npos && line.compare(name, std::string::npos, file) == 0)
            return true;
    }
    return false;
}

// One poll as the host runs it, then a snapshot: the code paths that set up
// the module's static state (streams, JSON, time) all run before unloading.
void poll_once(devhost::RecordingBackend& host, SPModbus& device)
{
    Json::Value settings(Json::objectValue);
    settings["appSetting"]["b_mode"] = "0";
    device.InitSetting(settings);
    device.RefreshStatus();
    std::vector<std::uint16_t> registers(60);
    for (std::size_t i = 0; i < registers.size(); ++i)
        registers[i] = static_cast<std::uint16_t>(1000 + i);
    devhost::place_read_reply(device, registers.data(), registers.size());
    device.process_payload(device.tab, static_cast<unsigned>(registers.size() * 2));

    const auto published = host.calls_named("SendSP");
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].args[0], kRecordKind);
    EXPECT_EQ(published[0].bytes.size(), kRecordSize);

    std::vector<char> text(4096);
    int written = 0;
    EXPECT_EQ(device.DeviceIoControl(kSnapshotTextRequest, nullptr, 0, text.data(),
                                     static_cast<int>(text.size()), written),
              0);
    EXPECT_GT(written, 0);
}

TEST(ModuleUnload, LoadPollDestroyUnloadLeavesNothingMapped)
{
    ASSERT_FALSE(is_mapped(module_path)) << "loaded before the test began";
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        {
            devhost::RecordingBackend host;
            devhost::LoadedModule module(module_path);
            ASSERT_TRUE(is_mapped(module_path));
            std::unique_ptr<SPModbus> first = module.create_device();
            std::unique_ptr<SPModbus> second = module.create_device();
            host.attach(*first);
            host.attach(*second);
            poll_once(host, *first);
            first.reset();
            second.reset();
        }
        ASSERT_FALSE(is_mapped(module_path)) << "still mapped after unload, cycle " << cycle;
        ASSERT_EQ(dlopen(module_path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr)
            << "the loader still holds it, cycle " << cycle;
    }
}

TEST(ModuleUnload, MappingCheckSeesAPinnedModuleStay)
{
    void* handle = dlopen(pinned_module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    ASSERT_TRUE(is_mapped(pinned_module_path));
    EXPECT_EQ(dlclose(handle), 0);
    EXPECT_TRUE(is_mapped(pinned_module_path));
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        std::cerr << "usage: " << argv[0] << " MODULE PINNED_MODULE [gtest options]\n";
        return 2;
    }
    module_path = argv[1];
    pinned_module_path = argv[2];
    return RUN_ALL_TESTS();
}
