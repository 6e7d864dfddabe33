// The configuration path rules with hostile configuration files: any registry
// path, host directory, redirect chain and value, checked against the rules
// written out independently with std::string.
//
// Input: text lines. Line 1 is the registry path ("\x01" alone stands for null),
// line 2 the host directory, every further line one ini entry
// "file|section|key=value". Bytes 0 end a text where they stand, as they would
// in a configuration file read by the platform.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "PathRules.h"

namespace {

void Check(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "path fuzzer: %s\n", what);
        abort();
    }
}

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

std::string CText(const std::string& text) { return text.substr(0, text.find('\0')); }

// Ini files in memory, read the way the platform reads them: names compared
// without regard to case, a value cut to the buffer. Counts the reads.
class FuzzedIni : public IniReader {
public:
    void Set(const std::string& file, const std::string& section, const std::string& key, const std::string& value)
    {
        m_values[Lower(CText(file)) + "|" + Lower(CText(section)) + "|" + Lower(CText(key))] = CText(value);
    }
    void Read(const char* file, const char* section, const char* key, const char* fallback, char* out,
              int32_t size) override
    {
        Check(out != nullptr && size > 0, "read into no buffer");
        ++reads;
        std::string value = Value(file, section, key, fallback, size);
        memset(out, 0, (size_t)size);
        memcpy(out, value.data(), value.size());
    }
    std::string Value(const std::string& file, const std::string& section, const std::string& key,
                      const std::string& fallback, int32_t size) const
    {
        auto found = m_values.find(Lower(file) + "|" + Lower(section) + "|" + Lower(key));
        std::string value = found != m_values.end() ? found->second : fallback;
        return value.substr(0, (size_t)size - 1);
    }
    int reads = 0;

private:
    std::map<std::string, std::string> m_values;
};

// The rules themselves.
const size_t kPath = kPathBufferSize;

bool Absolute(const std::string& path) { return path.find(':') != std::string::npos || (!path.empty() && path[0] == '\\'); }
bool Blank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

std::string Trim(const std::string& value, size_t size)
{
    size_t first = value.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    size_t last = value.find_last_not_of(" \t");
    std::string trimmed = value.substr(first, last - first + 1);
    return trimmed.size() < size ? trimmed : "";
}

std::string JoinFileDir(const std::string& file, const std::string& name)
{
    size_t separator = file.rfind('\\');
    if (separator == std::string::npos)
        separator = file.rfind('/');
    std::string out;
    if (separator != std::string::npos) {
        if (separator + 1 < kPath)
            out = file.substr(0, separator + 1);
    } else if (file.size() < kPath) {
        out = file;
        if (out.size() + 1 < kPath)
            out += "\\";
    }
    if (out.size() + name.size() < kPath)
        out += name;
    return out;
}

std::string JoinHost(const std::string& hostDir, const std::string& name)
{
    return (hostDir + "\\" + name).substr(0, kPath - 2);
}

struct Expected {
    std::string configFile, finalFile, libraryPath;
    bool cut = false;
    int reads = 0;
};

Expected Locate(const FuzzedIni& ini, const char* registryPath, const std::string& hostDir)
{
    Expected e;
    std::string registry = registryPath != nullptr ? registryPath : "";
    if (registry.empty())
        e.configFile = JoinHost(hostDir, "Zelvo.ini");
    else if (!Absolute(registry))
        e.configFile = JoinHost(hostDir, registry);
    else
        e.configFile = registry.size() < kPath ? registry : "";

    std::string current = e.configFile;
    for (int step = 0;; ++step) {
        std::string target = ini.Value(current, "Redirect", "Path", "", kPath);
        ++e.reads;
        if (Blank(target) || step == kMaxRedirectSteps) {
            e.finalFile = current;
            e.cut = !Blank(target);
            break;
        }
        if (!Absolute(target)) {
            e.finalFile = JoinFileDir(current, target);
            break;
        }
        current = target;
    }

    const std::string& file = e.finalFile;
    std::string name = Trim(ini.Value(file, "361", "DLL", "", kValueBufferSize), kPath);
    ++e.reads;
    if (Absolute(name)) {
        e.libraryPath = name;
        return e;
    }
    std::string switchValue = Trim(ini.Value(file, "361", "NotUseDefaultDllPath", "0", kValueBufferSize), kSwitchBufferSize);
    ++e.reads;
    if (!switchValue.empty() && switchValue[0] == '1') {
        e.libraryPath = JoinFileDir(file, name);
        return e;
    }
    std::string dllPath = ini.Value(file, "DefaultValue", "DllPath", "", kPath);
    ++e.reads;
    std::string joined;
    if (Blank(dllPath)) {
        joined = name;
    } else {
        for (const std::string& part : {dllPath, std::string("\\"), name})
            if (joined.size() + part.size() < kPath)
                joined += part;
    }
    e.libraryPath = Absolute(joined) ? joined : JoinFileDir(file, joined);
    return e;
}

// Reads a text out of a fixed buffer, which must be terminated within it.
std::string Terminated(const char (&buffer)[kPathBufferSize], const char* what)
{
    Check(memchr(buffer, '\0', sizeof buffer) != nullptr, what);
    return buffer;
}

std::vector<std::string> Lines(const uint8_t* data, size_t size)
{
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n')
            lines.emplace_back();
        else
            lines.back() += (char)data[i];
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> lines = Lines(data, size);
    if (lines.size() < 2)
        return 0;
    FuzzedIni ini;
    for (size_t i = 2; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        size_t bar1 = line.find('|');
        size_t bar2 = bar1 == std::string::npos ? bar1 : line.find('|', bar1 + 1);
        size_t equals = bar2 == std::string::npos ? bar2 : line.find('=', bar2 + 1);
        if (equals == std::string::npos)
            continue;
        ini.Set(line.substr(0, bar1), line.substr(bar1 + 1, bar2 - bar1 - 1), line.substr(bar2 + 1, equals - bar2 - 1),
                line.substr(equals + 1));
    }
    // Exactly sized copies: a read past a text's end is reported.
    std::string registryText = CText(lines[0]);
    std::vector<char> registry(registryText.begin(), registryText.end());
    registry.push_back('\0');
    const char* registryPath = registryText == "\x01" ? nullptr : registry.data();
    // The host directory comes from a 260-byte buffer.
    std::string hostText = CText(lines[1]).substr(0, kPathBufferSize - 1);
    std::vector<char> hostDir(hostText.begin(), hostText.end());
    hostDir.push_back('\0');

    LibraryLocation location;
    memset(&location, 0x5A, sizeof location);
    LocateLibrary(ini, registryPath, hostDir.data(), location);
    Expected expected = Locate(ini, registryPath, hostText);

    Check(Terminated(location.configFile, "configuration file unterminated") == expected.configFile, "configuration file");
    Check(Terminated(location.finalFile, "final file unterminated") == expected.finalFile, "redirect target");
    Check(Terminated(location.libraryPath, "library path unterminated") == expected.libraryPath, "library path");
    Check((location.chainCut != 0) == expected.cut, "chain cut");
    Check(ini.reads == expected.reads, "number of reads");
    Check(ini.reads <= kMaxRedirectSteps + 1 + 3, "a chain longer than its limit");
    return 0;
}
