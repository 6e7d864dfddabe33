// The framework side of the factory library: a component factory and a memory
// service on the process heap. A factory library is these plus its exported
// CreateComponent: the shipped one (HostFactory.cpp) adds the host's log options,
// the test double (tests/zelfact) counters and controls by overriding.
#pragma once

#include <windows.h>

#include "HostInterfaces.h"

// The common operations of the framework's own components. They are shared and
// live as long as the library, so Release gives nothing back.
template <class TInterface, uint32_t kComponentId>
class CHostComponent : public TInterface {
public:
    int32_t LRD_THISCALL GetComponentID() override { return (int32_t)kComponentId; }
    int32_t LRD_THISCALL GetVersion() override { return 1; }
    void LRD_THISCALL Release(int32_t) override {}
    int32_t LRD_THISCALL GetAutoRelease() override { return m_autoRelease; }
    void LRD_THISCALL SetAutoRelease(int32_t value) override { m_autoRelease = value; }

protected:
    int32_t m_autoRelease = 0;
};

class CHeapMemoryService : public CHostComponent<IMemoryService, LRD_MEMORY_SERVICE_ID> {
public:
    void* LRD_THISCALL Allocate(uint32_t tag, uint32_t size) override;
    // 1 when the buffer was freed, 0 for null or a failed free.
    int32_t LRD_THISCALL Free(void* buffer) override;
};

// What GetLogSettings hands to every module that asks.
struct LogSettings {
    uint32_t debugMask;
    uint32_t fileMask;
    HostLogFile record;
    int32_t giveRecord;  // 0: the module gets no log file
};

class CHostFactory : public CHostComponent<IComponentFactory, LRD_COMPONENT_FACTORY_ID> {
public:
    explicit CHostFactory(IMemoryService& memory);

    // 3 gives the memory service, 361 this factory, other ids NewOtherComponent.
    IComponent* LRD_THISCALL NewComponent(uint32_t componentId, const char* registryPath) override;
    int32_t LRD_THISCALL GetLogSettings(int32_t* moduleCell, int32_t moduleId, uint32_t* debugMask,
                                        uint32_t* fileMask, HostLogFile** logFile) override;
    int32_t LRD_THISCALL Reserved8() override { return 0; }
    int32_t LRD_THISCALL Reserved9() override { return 0; }
    int32_t LRD_THISCALL Reserved10() override { return 0; }
    int32_t LRD_THISCALL ModuleCanUnload(void* moduleHandle) override { return 1; }
    int32_t LRD_THISCALL Reserved12() override { return 0; }
    int32_t LRD_THISCALL Reserved13() override { return 0; }
    int32_t LRD_THISCALL Reserved14() override { return 0; }
    // The shared components are the library's own; anything else is the holder's.
    int32_t LRD_THISCALL KeepsComponent(IComponent* component) override;

    void SetLogSettings(const LogSettings& settings) { m_settings = settings; }

    // What the library's exported CreateComponent gives: this factory for 361, the
    // memory service for 3, null for any other id.
    IComponent* ExportedComponent(int32_t componentId);

protected:
    virtual IComponent* NewOtherComponent(uint32_t componentId, const char* registryPath) { return nullptr; }

    IMemoryService& m_memory;
    LogSettings m_settings = {};
};
