// The host services tests link the module's code into the test itself; these are
// its exports, called directly.
#pragma once

#include <stdint.h>

#include <string>

#include <windows.h>

extern "C" {
int32_t __cdecl SetDLLRegistry(const char* path);
void* __cdecl SetFactoryHandle(void* factoryModule);
}

// The folder of the test executable, where the built libraries lie.
inline std::string ExecutableFolder()
{
    char file[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, file, sizeof file - 1);
    std::string path = file;
    return path.substr(0, path.rfind('\\'));
}
