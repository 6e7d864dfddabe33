#include "FactoryCore.h"

void* CHeapMemoryService::Allocate(uint32_t tag, uint32_t size)
{
    // HeapAlloc gives a unique block for 0 bytes too, which Free can take back.
    return HeapAlloc(GetProcessHeap(), 0, size);
}

int32_t CHeapMemoryService::Free(void* buffer)
{
    return buffer != nullptr && HeapFree(GetProcessHeap(), 0, buffer) ? 1 : 0;
}

CHostFactory::CHostFactory(IMemoryService& memory) : m_memory(memory) {}

IComponent* CHostFactory::NewComponent(uint32_t componentId, const char* registryPath)
{
    if (componentId == LRD_MEMORY_SERVICE_ID)
        return &m_memory;
    if (componentId == LRD_COMPONENT_FACTORY_ID)
        return this;
    return NewOtherComponent(componentId, registryPath);
}

IComponent* CHostFactory::ExportedComponent(int32_t componentId)
{
    if (componentId == (int32_t)LRD_COMPONENT_FACTORY_ID)
        return this;
    if (componentId == (int32_t)LRD_MEMORY_SERVICE_ID)
        return &m_memory;
    return nullptr;
}

int32_t CHostFactory::GetLogSettings(int32_t* moduleCell, int32_t moduleId, uint32_t* debugMask, uint32_t* fileMask,
                                     HostLogFile** logFile)
{
    if (debugMask != nullptr)
        *debugMask = m_settings.debugMask;
    if (fileMask != nullptr)
        *fileMask = m_settings.fileMask;
    if (logFile != nullptr)
        *logFile = m_settings.giveRecord ? &m_settings.record : nullptr;
    return 1;
}

int32_t CHostFactory::KeepsComponent(IComponent* component)
{
    return (component == &m_memory || component == this) ? 1 : 0;
}
