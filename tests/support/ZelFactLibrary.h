// The test double of the factory library, loaded into the test process with its
// controls resolved. Construction resets it.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

#include "ZelFactControl.h"

class ZelFactLibrary {
public:
    ZelFactLibrary() : m_handle(LoadLibraryA("ZelFact.dll"))
    {
        if (m_handle == nullptr)
            throw std::runtime_error("cannot load ZelFact.dll");
        Reset = Export<PFN_ZelFactReset>("ZelFactReset");
        GetCounters = Export<PFN_ZelFactGetCounters>("ZelFactGetCounters");
        SetLogSettings = Export<PFN_ZelFactSetLogSettings>("ZelFactSetLogSettings");
        FailAllocations = Export<PFN_ZelFactFailAllocations>("ZelFactFailAllocations");
        SetKeepsComponent = Export<PFN_ZelFactSetKeepsComponent>("ZelFactSetKeepsComponent");
        SetExportGivesFactory = Export<PFN_ZelFactSetExportGivesFactory>("ZelFactSetExportGivesFactory");
        SetNewComponentResult = Export<PFN_ZelFactSetNewComponentResult>("ZelFactSetNewComponentResult");
        SetSecondServicePath = Export<PFN_ZelFactSetSecondServicePath>("ZelFactSetSecondServicePath");
        WatchPath = Export<PFN_ZelFactWatchPath>("ZelFactWatchPath");
        HoldModuleCanUnload = Export<PFN_ZelFactHoldModuleCanUnload>("ZelFactHoldModuleCanUnload");
        Reset();
    }
    // The library stays loaded: a module never frees it and may still hold its
    // components.
    ~ZelFactLibrary() = default;
    ZelFactLibrary(const ZelFactLibrary&) = delete;
    ZelFactLibrary& operator=(const ZelFactLibrary&) = delete;

    HMODULE Handle() const { return m_handle; }
    const ZelFactCounters& Counters() const { return *GetCounters(); }

    PFN_ZelFactReset Reset;
    PFN_ZelFactGetCounters GetCounters;
    PFN_ZelFactSetLogSettings SetLogSettings;
    PFN_ZelFactFailAllocations FailAllocations;
    PFN_ZelFactSetKeepsComponent SetKeepsComponent;
    PFN_ZelFactSetExportGivesFactory SetExportGivesFactory;
    PFN_ZelFactSetNewComponentResult SetNewComponentResult;
    PFN_ZelFactSetSecondServicePath SetSecondServicePath;
    PFN_ZelFactWatchPath WatchPath;
    PFN_ZelFactHoldModuleCanUnload HoldModuleCanUnload;

private:
    template <class F>
    F Export(const char* name) const
    {
        auto function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m_handle, name)));
        if (function == nullptr)
            throw std::runtime_error(std::string("ZelFact.dll lacks ") + name);
        return function;
    }

    HMODULE m_handle;
};
