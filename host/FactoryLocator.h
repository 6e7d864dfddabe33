// Finds and loads the framework's factory library "ZelFact.dll": the handle the
// host injected, or the library its configuration file names (the rules are in
// PathRules.h; this is the platform side of them).
#pragma once

#include <windows.h>

#include "LinkrateDetector.h"
#include "ModuleSettings.h"
#include "PathRules.h"

// Reads the configuration with GetPrivateProfileStringA.
class ProfileIniReader : public IniReader {
public:
    void Read(const char* file, const char* section, const char* key, const char* fallback, char* out,
              int32_t size) override;
};

// The directory of the host process's executable, without a trailing "\".
const char* HostDirectory();

// The injected library, else LoadLibraryA of the library the configuration names
// for registryPath (null or empty: "Zelvo.ini" beside the host). Null on failure.
HMODULE LoadFactoryLibrary(const char* registryPath);

// The module's settings (ModuleSettings.h) from the configuration file that the
// registry path set by SetDLLRegistry names, after its redirections: the file in
// which the factory library is looked up, also when the host injected the
// library's handle. A missing file gives the defaults.
void LoadModuleSettings(ModuleSettings& out, SettingProblems& problems);

// The component the library's export CreateComponent gives for (componentId, 0);
// null, with a "[Zelvo_Error] " line, when there is none.
IComponent* CreateLibraryComponent(HMODULE library, uint32_t componentId);

// Writes one glue error line, at most 1022 characters, to the debugger output.
void ReportError(const char* format, ...) LRD_FORMAT(1, 2);
