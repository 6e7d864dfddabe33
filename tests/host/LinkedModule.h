// The host services tests link the host layer into the test itself and set what
// the module's exports would set through its settings.
#pragma once

#include <string>

#include <windows.h>

// The folder of the test executable, where the built libraries lie.
inline std::string ExecutableFolder()
{
    char file[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, file, sizeof file - 1);
    std::string path = file;
    return path.substr(0, path.rfind('\\'));
}
