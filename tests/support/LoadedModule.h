// A module DLL loaded for one test, with its seven exports resolved by name.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

#include "LinkrateDetector.h"

class LoadedModule {
public:
    explicit LoadedModule(const char* fileName) : m_handle(LoadLibraryA(fileName))
    {
        if (m_handle == nullptr)
            throw std::runtime_error(std::string("cannot load ") + fileName);
        CreateComponent = Export<PFN_CreateComponent>("CreateComponent");
        SetDLLRegistry = Export<PFN_SetDLLRegistry>("SetDLLRegistry");
        ZelvoDllFreeMap = Export<PFN_ZelvoDllFreeMap>("ZelvoDllFreeMap");
        ZelvoDllCanUnloadNow = Export<PFN_ZelvoDllCanUnloadNow>("ZelvoDllCanUnloadNow");
        SetFactoryHandle = Export<PFN_SetFactoryHandle>("SetFactoryHandle");
        ZelvoSetDllSafe = Export<PFN_ZelvoSetDllSafe>("ZelvoSetDllSafe");
        GetComponentIDs = Export<PFN_GetComponentIDs>("GetComponentIDs");
    }
    ~LoadedModule() { Unload(); }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    template <class F>
    F Export(const char* name) const
    {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m_handle, name)));
    }

    void Unload()
    {
        if (m_handle != nullptr)
            FreeLibrary(m_handle);
        m_handle = nullptr;
    }

    HMODULE Handle() const { return m_handle; }

    PFN_CreateComponent CreateComponent;
    PFN_SetDLLRegistry SetDLLRegistry;
    PFN_ZelvoDllFreeMap ZelvoDllFreeMap;
    PFN_ZelvoDllCanUnloadNow ZelvoDllCanUnloadNow;
    PFN_SetFactoryHandle SetFactoryHandle;
    PFN_ZelvoSetDllSafe ZelvoSetDllSafe;
    PFN_GetComponentIDs GetComponentIDs;

private:
    HMODULE m_handle;
};
