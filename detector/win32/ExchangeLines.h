// The probe exchange's lines on the detector's log channel.
#pragma once

#include "LogChannel.h"
#include "ProbeExchange.h"

class ExchangeLines final : public ExchangeLog {
public:
    explicit ExchangeLines(CLogChannel& channel) : channel(channel) {}
    bool TraceWanted() const override { return channel.TraceWanted(); }
    void TraceLine(const char* format, va_list args) override { channel.VTrace(format, args); }
    void ErrorLine(const char* format, va_list args) override { channel.VError(format, args); }

private:
    CLogChannel& channel;
};
