// The module's own settings in the framework's configuration file: section "39"
// (the module's id, as "361" is the factory's) of the file the factory locator
// reads, after its redirections. Every setting is a whole number with a default,
// used whenever the file, the section or the key is missing, and a range; a
// value outside it, or not a number, is reported and the default used instead.
//
// A new setting is one line in each of the two lists below.
#pragma once

#include <stdint.h>

#include "PathRules.h"

enum class Setting : int32_t {
    // Requests sent again, at most, to a server that has not answered; 0: one
    // request per server, as without the setting.
    kReprobeCount,
    kSettingCount,
};

struct SettingDefinition {
    const char* key;
    uint32_t fallback;
    uint32_t least;
    uint32_t most;
};

inline constexpr const char kModuleSection[] = "39";

inline constexpr SettingDefinition kSettingDefinitions[(int32_t)Setting::kSettingCount] = {
    {"ReprobeCount", 0, 0, 10},
};

struct ModuleSettings {
    uint32_t values[(int32_t)Setting::kSettingCount];

    ModuleSettings();
    uint32_t Get(Setting setting) const { return values[(int32_t)setting]; }
};

// Told of each value that was not taken: its key and text as the file holds them.
class SettingProblems {
public:
    virtual void Refused(const SettingDefinition& definition, const char* value) = 0;

protected:
    ~SettingProblems() = default;
};

// Parses one value: decimal digits with spaces or tabs around them, within the
// setting's range. False for anything else (a sign, other characters, overflow).
bool ParseSettingValue(const char* text, const SettingDefinition& definition, uint32_t* value);

// Reads every setting from the final configuration file.
void ReadModuleSettings(IniReader& reader, const char* configFile, ModuleSettings& out, SettingProblems& problems);
