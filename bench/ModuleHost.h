#pragma once

#include <string.h>

#include <stdexcept>
#include <vector>

#include "LinkrateDetector.h"
#include "LoadedModule.h"
#include "ZelFactLibrary.h"

// The module as a host loads it: the framework's factory library (its test
// double, silent: no log output) injected before any detector exists.
class ModuleHost {
public:
    ModuleHost() : module("LinkrateDetector.dll")
    {
        factory.SetLogSettings(0, 0, nullptr, nullptr, 0);
        module.SetFactoryHandle(factory.Handle());
    }
    ILinkrateDetector* NewDetector()
    {
        auto* detector = static_cast<ILinkrateDetector*>(module.CreateComponent(LRD_DETECTOR_ID, 0));
        if (detector == nullptr)
            throw std::runtime_error("no detector from LinkrateDetector.dll");
        return detector;
    }

    ZelFactLibrary factory;
    LoadedModule module;
};

// The record list that Detect takes.
inline std::vector<uint8_t> ServerListBytes(const std::vector<ServerInfo>& servers)
{
    std::vector<uint8_t> bytes(LRD_SERVER_LIST_SIZE(servers.size()), 0);
    auto* list = reinterpret_cast<ServerList*>(bytes.data());
    list->ushCount = (uint16_t)servers.size();
    memcpy(list->servers, servers.data(), servers.size() * sizeof(ServerInfo));
    return bytes;
}
