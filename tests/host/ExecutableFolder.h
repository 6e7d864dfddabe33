// Where the built libraries lie for a test: beside its executable.
#pragma once

#include <string>

#include <windows.h>

// The folder of the test executable.
inline std::string ExecutableFolder()
{
    char file[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, file, sizeof file - 1);
    std::string path = file;
    return path.substr(0, path.rfind('\\'));
}
