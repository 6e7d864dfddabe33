#include "PathRules.h"

#include <string.h>

namespace {

const char kDefaultConfigName[] = "Zelvo.ini";

int32_t IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

}  // namespace

int32_t CopyIfFits(char* dest, int32_t size, const char* src)
{
    if (dest == nullptr || src == nullptr || size <= 0 || strlen(src) >= (size_t)size)
        return 0;
    return SafeStrCopy(dest, size, src) == kTextOk ? 1 : 0;
}

int32_t CopyCountIfFits(char* dest, int32_t size, const char* src, int32_t count)
{
    if (dest == nullptr || src == nullptr || size <= 0 || count <= 0 || count >= size)
        return 0;
    return SafeStrCopyN(dest, size, src, count) == kTextOk ? 1 : 0;
}

int32_t AppendIfFits(char* dest, int32_t size, const char* src)
{
    if (dest == nullptr || src == nullptr || size <= 0)
        return 0;
    if (strnlen(dest, (size_t)size) + strlen(src) >= (size_t)size)
        return 0;
    return SafeStrAppend(dest, size, src) == kTextOk ? 1 : 0;
}

int32_t IsAbsolutePath(const char* path)
{
    if (path == nullptr)
        return 0;
    return (path[0] == '\\' || strchr(path, ':') != nullptr) ? 1 : 0;
}

int32_t IsBlank(const char* text)
{
    if (text == nullptr)
        return 1;
    for (; *text != '\0'; ++text)
        if (!IsSpaceOrTab(*text))
            return 0;
    return 1;
}

const char* LastSeparator(const char* path)
{
    if (path == nullptr)
        return nullptr;
    const char* backslash = strrchr(path, '\\');
    return backslash != nullptr ? backslash : strrchr(path, '/');
}

void TrimValue(const char* value, char* dest, int32_t size)
{
    if (dest == nullptr || size <= 0)
        return;
    dest[0] = '\0';
    if (value == nullptr)
        return;
    while (IsSpaceOrTab(*value))
        ++value;
    int32_t length = (int32_t)strlen(value);
    while (length > 0 && IsSpaceOrTab(value[length - 1]))
        --length;
    if (length == 0)
        return;
    if (!CopyCountIfFits(dest, size, value, length))
        dest[0] = '\0';
}

void JoinToFileDir(const char* file, const char* name, char (&out)[kPathBufferSize])
{
    out[0] = '\0';
    const char* separator = LastSeparator(file);
    if (separator != nullptr) {
        CopyCountIfFits(out, sizeof out, file, (int32_t)(separator - file) + 1);
    } else if (CopyIfFits(out, sizeof out, file)) {
        AppendIfFits(out, sizeof out, "\\");
    }
    AppendIfFits(out, sizeof out, name);
}

void JoinToHostDir(const char* hostDir, const char* name, char (&out)[kPathBufferSize])
{
    out[0] = '\0';
    SafePrint(out, sizeof out - 1, sizeof out - 1, "%s\\%s", hostDir, name);
}

void FindConfigFile(const char* registryPath, const char* hostDir, char (&out)[kPathBufferSize])
{
    out[0] = '\0';
    if (registryPath == nullptr || registryPath[0] == '\0')
        JoinToHostDir(hostDir, kDefaultConfigName, out);
    else if (!IsAbsolutePath(registryPath))
        JoinToHostDir(hostDir, registryPath, out);
    else
        CopyIfFits(out, sizeof out, registryPath);
}

int32_t FollowRedirect(IniReader& reader, const char* file, char (&out)[kPathBufferSize])
{
    char current[kPathBufferSize] = {0};
    CopyIfFits(current, sizeof current, file);
    for (int32_t steps = 0;; ++steps) {
        char target[kPathBufferSize] = {0};
        reader.Read(current, "Redirect", "Path", "", target, sizeof target);
        if (IsBlank(target) || steps == kMaxRedirectSteps) {
            memcpy(out, current, sizeof out);
            return IsBlank(target) ? 1 : 0;
        }
        if (!IsAbsolutePath(target)) {
            // A relative redirection is final: its own Redirect section is not read.
            JoinToFileDir(current, target, out);
            return 1;
        }
        memcpy(current, target, sizeof current);
    }
}

void ResolveLibraryPath(IniReader& reader, const char* configFile, char (&out)[kPathBufferSize])
{
    char raw[kValueBufferSize] = {0};
    char name[kPathBufferSize] = {0};
    reader.Read(configFile, "361", "DLL", "", raw, sizeof raw);
    TrimValue(raw, name, sizeof name);
    if (IsAbsolutePath(name)) {
        memcpy(out, name, sizeof out);
        return;
    }

    char switchRaw[kValueBufferSize] = {0};
    char switchValue[kSwitchBufferSize] = {0};
    reader.Read(configFile, "361", "NotUseDefaultDllPath", "0", switchRaw, sizeof switchRaw);
    TrimValue(switchRaw, switchValue, sizeof switchValue);
    if (switchValue[0] == '1') {
        JoinToFileDir(configFile, name, out);
        return;
    }

    char dllPath[kPathBufferSize] = {0};
    char joined[kPathBufferSize] = {0};
    reader.Read(configFile, "DefaultValue", "DllPath", "", dllPath, sizeof dllPath);
    if (IsBlank(dllPath)) {
        memcpy(joined, name, sizeof joined);
    } else {
        AppendIfFits(joined, sizeof joined, dllPath);
        AppendIfFits(joined, sizeof joined, "\\");
        AppendIfFits(joined, sizeof joined, name);
    }
    if (IsAbsolutePath(joined))
        memcpy(out, joined, sizeof out);
    else
        JoinToFileDir(configFile, joined, out);
}

void LocateLibrary(IniReader& reader, const char* registryPath, const char* hostDir, LibraryLocation& out)
{
    FindConfigFile(registryPath, hostDir, out.configFile);
    out.chainCut = FollowRedirect(reader, out.configFile, out.finalFile) ? 0 : 1;
    ResolveLibraryPath(reader, out.finalFile, out.libraryPath);
}
