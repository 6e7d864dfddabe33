#include "FactoryLocator.h"

#include <string.h>

#include "HostSettings.h"

namespace {

struct HostDirectoryText {
    char text[kPathBufferSize];

    HostDirectoryText() : text()
    {
        char file[kPathBufferSize] = {0};
        // One byte short of the buffer: a cut name stays terminated.
        GetModuleFileNameA(GetModuleHandleA(nullptr), file, sizeof file - 1);
        char* backslash = strrchr(file, '\\');
        if (backslash != nullptr)
            *backslash = '\0';
        memcpy(text, file, sizeof text);
    }
};

// Built completely at load, before any thread can see it: a reader never meets
// a text that another thread is still writing, and no function-local static's
// guard makes the runtime create objects that it never gives back.
const HostDirectoryText g_hostDirectory;

}  // namespace

void ProfileIniReader::Read(const char* file, const char* section, const char* key, const char* fallback, char* out,
                            int32_t size)
{
    memset(out, 0, (size_t)size);
    GetPrivateProfileStringA(section, key, fallback, out, (DWORD)size, file);
}

const char* HostDirectory() { return g_hostDirectory.text; }

HMODULE LoadFactoryLibrary(const char* registryPath)
{
    HMODULE injected = InjectedFactoryHandle();
    if (injected != nullptr)
        return injected;
    ProfileIniReader reader;
    LibraryLocation location;
    LocateLibrary(reader, registryPath, HostDirectory(), location);
    if (location.chainCut)
        ReportError("[Zelvo_Error] Redirect chain too long, stopped at %s.\n", location.finalFile);
    return LoadLibraryA(location.libraryPath);
}

void LoadModuleSettings(ModuleSettings& out, SettingProblems& problems)
{
    char registryPath[kPathBufferSize];
    CopyRegistryPath(registryPath);
    char configFile[kPathBufferSize] = {0};
    char finalFile[kPathBufferSize] = {0};
    ProfileIniReader reader;
    FindConfigFile(registryPath, HostDirectory(), configFile);
    FollowRedirect(reader, configFile, finalFile);
    ReadModuleSettings(reader, finalFile, out, problems);
}

IComponent* CreateLibraryComponent(HMODULE library, uint32_t componentId)
{
    auto create = reinterpret_cast<PFN_CreateComponent>(
        reinterpret_cast<void*>(GetProcAddress(library, "CreateComponent")));
    if (create == nullptr) {
        ReportError("[Zelvo_Error] Can't find CreateComponent().\n");
        return nullptr;
    }
    IComponent* component = create((int32_t)componentId, 0);
    if (component == nullptr)
        ReportError("[Zelvo_Error] CreateComponent(ComponentId=%u) return null.\n", componentId);
    return component;
}

void ReportError(const char* format, ...)
{
    char line[1024] = {0};
    va_list args;
    va_start(args, format);
    SafeVPrint(line, sizeof line - 1, sizeof line - 1, format, args);
    va_end(args);
    OutputDebugStringA(line);
}
