// A host for detector tests: the test double of the framework's factory library,
// loaded and injected before the module creates any detector, and a sink that
// records what the detector tells it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "LinkrateDetector.h"
#include "LoadedModule.h"
#include "ZelFactLibrary.h"

struct SinkReport {
    std::string ip;
    uint16_t port;
    uint32_t rtt;
};

class RecordingSink : public ILinkrateDetectorSink {
public:
    void LRD_THISCALL OnIPDetected(const char* ip, uint16_t port, uint32_t rtt) override;
    void LRD_THISCALL OnDetectFinished() override;

    std::vector<SinkReport> reports;
    int finished = 0;
    // Run inside the sink's operations, for tests that call back into the detector.
    std::function<void()> onReport;
    std::function<void()> onFinished;
};

class DetectorHarness {
public:
    // Lines at the levels in debugMask (1 Error, 2 Trace) reach the debugger output.
    explicit DetectorHarness(uint32_t debugMask = 3);

    ILinkrateDetector* NewDetector();
    const ZelFactCounters& Counters() const { return factory.Counters(); }

    // Loaded first: a detector's log channel only finds an already loaded library.
    ZelFactLibrary factory;
    LoadedModule module;
};

// Builds the record-list argument of Detect.
class ServerListBuffer {
public:
    void Add(const char* address, uint16_t port);
    ServerList* List();

private:
    std::vector<uint8_t> bytes = std::vector<uint8_t>(4, 0);
};

// A result buffer for n candidates, poisoned so that a test sees what was written.
class ResultBuffer {
public:
    explicit ResultBuffer(uint32_t n) : bytes(LRD_IP_INFO_ARRAY_SIZE(n), 0xCD) {}
    IPInfoArray* Array() { return reinterpret_cast<IPInfoArray*>(bytes.data()); }
    bool Untouched() const;

private:
    std::vector<uint8_t> bytes;
};

// The (message-only) window of the only detector of this process that has one.
// Test processes that run side by side share one Wine desktop, where the
// others' windows are seen too.
HWND FindDetectorWindow();
