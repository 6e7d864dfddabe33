// A sink that counts what the detector tells it, for tests that need no more.
#pragma once

#include "LinkrateDetector.h"

class CountingSink : public ILinkrateDetectorSink {
public:
    void LRD_THISCALL OnIPDetected(const char*, uint16_t, uint32_t) override { ++reports; }
    void LRD_THISCALL OnDetectFinished() override { ++finished; }
    int reports = 0;
    int finished = 0;
};
