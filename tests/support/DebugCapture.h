// Captures the process's debugger output (OutputDebugStringA) for a test: the
// call raises DBG_PRINTEXCEPTION_C, which a vectored handler takes and swallows.
#pragma once

#include <string>
#include <vector>

class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    // Every text written since construction or the last Clear, one per call.
    std::vector<std::string> Lines() const;
    // Texts that contain the fragment.
    std::vector<std::string> Matching(const std::string& fragment) const;
    void Clear();
    // Room for this many texts before any is written, for tests that compare the
    // process's heap use before and after.
    void Reserve(size_t lines);
};
