#include "LiteralCandidates.h"

#include "CandidateList.h"
#include "ProbeProtocol.h"
#include "Random.h"

namespace {

uint32_t Little32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }

}  // namespace

void LiteralCandidates::InsertServer(const ServerInfo& server)
{
    IPInfo record = MakeCandidate(server);
    auto position = m_items.begin();
    uint32_t count = (uint32_t)m_items.size();
    if (count != 0) {
        for (uint32_t step = 0;; ++step) {
            if ((uint32_t)DrawRandom() % count <= step)
                break;
            ++position;
        }
    }
    m_items.insert(position, Entry{record, false, (uint32_t)count});
    if ((DrawRandom() & 1) != 0)
        m_items.reverse();
}

void LiteralCandidates::Sort()
{
    m_items.sort([](const Entry& a, const Entry& b) {
        if (a.answered != b.answered)
            return a.answered;
        return IPInfoLess(a.info, b.info);
    });
}

std::vector<IPInfo> LiteralCandidates::Items() const
{
    std::vector<IPInfo> items;
    for (const Entry& entry : m_items)
        items.push_back(entry.info);
    return items;
}

bool LiteralCandidates::HandleReply(const uint8_t* data, int32_t length, const char* sourceText, uint16_t sourcePort,
                                    uint32_t startTick, uint32_t arrivalTick, uint32_t* rtt)
{
    if (length < 16)
        return false;
    uint32_t tick = Little32(data + 8);
    if (Little32(data) != 2 || tick == 0 || arrivalTick - startTick < tick - startTick)
        return false;
    *rtt = arrivalTick - tick;
    // Every request carried the same tick here: the reply answers the candidate
    // not yet answered with its address and port, or else with its address
    // alone, that was given first.
    Entry* answers = nullptr;
    for (Entry& candidate : m_items) {
        if (candidate.answered || !SameAddressText(candidate.info.szIP, sourceText))
            continue;
        const bool onPort = candidate.info.ushPort == sourcePort;
        const bool answersOnPort = answers != nullptr && answers->info.ushPort == sourcePort;
        if (answers == nullptr || (onPort && !answersOnPort) ||
            (onPort == answersOnPort && candidate.given < answers->given))
            answers = &candidate;
    }
    if (answers == nullptr)
        return true;
    answers->info.dwRTT = *rtt;
    answers->answered = true;
    if (length > 16) {
        uint8_t loadBytes[4] = {0, 0, 0, 0};
        for (int32_t i = 0; i < 4 && 16 + i < length; ++i)
            loadBytes[i] = data[16 + i];
        uint32_t load = ((uint32_t)loadBytes[0] << 24) | (loadBytes[1] << 16) | (loadBytes[2] << 8) | loadBytes[3];
        answers->info.dwLoad = load == 0 ? 1 : load;
    }
    return true;
}
