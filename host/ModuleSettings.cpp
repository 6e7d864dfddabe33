#include "ModuleSettings.h"

ModuleSettings::ModuleSettings()
{
    for (int32_t i = 0; i < (int32_t)Setting::kSettingCount; ++i)
        values[i] = kSettingDefinitions[i].fallback;
}

bool ParseSettingValue(const char* text, const SettingDefinition& definition, uint32_t* value)
{
    while (*text == ' ' || *text == '\t')
        ++text;
    uint64_t number = 0;
    const char* first = text;
    for (; *text >= '0' && *text <= '9'; ++text) {
        number = number * 10 + (uint64_t)(*text - '0');
        // Anything this large is out of every range; stop before it can wrap.
        if (number > UINT32_MAX)
            return false;
    }
    if (text == first)
        return false;
    while (*text == ' ' || *text == '\t')
        ++text;
    if (*text != '\0' || number < definition.least || number > definition.most)
        return false;
    *value = (uint32_t)number;
    return true;
}

void ReadModuleSettings(IniReader& reader, const char* configFile, ModuleSettings& out, SettingProblems& problems)
{
    for (int32_t i = 0; i < (int32_t)Setting::kSettingCount; ++i) {
        const SettingDefinition& definition = kSettingDefinitions[i];
        char raw[kValueBufferSize] = {0};
        reader.Read(configFile, kModuleSection, definition.key, "", raw, sizeof raw);
        // The reader may fill the whole buffer without a terminator.
        raw[sizeof raw - 1] = '\0';
        out.values[i] = definition.fallback;
        if (IsBlank(raw))
            continue;
        uint32_t value;
        if (ParseSettingValue(raw, definition, &value))
            out.values[i] = value;
        else
            problems.Refused(definition, raw);
    }
}
