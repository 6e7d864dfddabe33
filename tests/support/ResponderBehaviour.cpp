#include "ResponderBehaviour.h"

#include <cstdlib>
#include <sstream>

#include "ProbeWire.h"

namespace {

bool ParseNumber(const std::string& text, long long low, long long high, long long& value)
{
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value >= low && value <= high;
}

}  // namespace

Bytes BuildReply(const Bytes& request, const Behaviour& behaviour)
{
    // Work on a long reply so that every field has room, then cut.
    Bytes reply(request);
    if (reply.size() < kLongReplySize)
        reply.resize(kLongReplySize, 0);
    if (behaviour.cmd)
        WritePduField(reply.data(), kCmdOffset, *behaviour.cmd);
    uint32_t tick = behaviour.tick ? *behaviour.tick : ReadPduField(reply.data(), kTickOffset);
    WritePduField(reply.data(), kTickOffset, tick + uint32_t(behaviour.tickOffset));
    if (behaviour.load)
        WriteLoad(reply.data(), *behaviour.load);
    reply.resize(behaviour.length, 0);
    return reply;
}

std::string FormatBehaviour(const Behaviour& b)
{
    std::ostringstream out;
    out << "answer=" << (b.answer ? 1 : 0) << " length=" << b.length << " tickoffset=" << b.tickOffset
        << " delay=" << b.delayMs << " copies=" << b.copies;
    if (b.load)
        out << " load=" << *b.load;
    if (b.cmd)
        out << " cmd=" << *b.cmd;
    if (b.tick)
        out << " tick=" << *b.tick;
    return out.str();
}

bool ParseBehaviour(const std::string& text, Behaviour& behaviour)
{
    Behaviour b;
    std::istringstream in(text);
    std::string item;
    while (in >> item) {
        size_t eq = item.find('=');
        if (eq == std::string::npos)
            return false;
        std::string key = item.substr(0, eq);
        long long v = 0;
        if (key == "tickoffset") {
            if (!ParseNumber(item.substr(eq + 1), INT32_MIN, INT32_MAX, v))
                return false;
            b.tickOffset = int32_t(v);
            continue;
        }
        if (!ParseNumber(item.substr(eq + 1), 0, UINT32_MAX, v))
            return false;
        if (key == "answer")
            b.answer = v != 0;
        else if (key == "length" && v <= static_cast<long long>(kMaxDatagram))
            b.length = size_t(v);
        else if (key == "delay")
            b.delayMs = unsigned(v);
        else if (key == "copies" && v <= 1000)
            b.copies = unsigned(v);
        else if (key == "load")
            b.load = uint32_t(v);
        else if (key == "cmd")
            b.cmd = uint32_t(v);
        else if (key == "tick")
            b.tick = uint32_t(v);
        else
            return false;
    }
    behaviour = b;
    return true;
}

std::string ToHex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

bool FromHex(const std::string& text, Bytes& bytes)
{
    auto nibble = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (text.size() % 2 != 0)
        return false;
    Bytes out;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out.push_back(uint8_t(high << 4 | low));
    }
    bytes = out;
    return true;
}
