// What the host tells the module about its framework, read by the host services:
// the registry path (SetDLLRegistry) and the factory library's handle
// (SetFactoryHandle).
#pragma once

#include <windows.h>

#include "SafeText.h"

// Stores path, or the empty text when path is null or has no terminator within
// kPathBufferSize bytes (nothing beyond them is read).
void StoreRegistryPath(const char* path);
// Copies the registry path under its own lock, so that a reader never sees a text
// that SetDLLRegistry is rewriting on another thread.
void CopyRegistryPath(char (&out)[kPathBufferSize]);

void StoreInjectedFactoryHandle(HMODULE factoryModule);
HMODULE InjectedFactoryHandle();
