#include "CandidateList.h"

#include <stddef.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "Random.h"
#include "Tick.h"

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

// Every bit of the key reaches the low bits that pick the slot.
uint32_t Mix(uint32_t x)
{
    x = (x ^ (x >> 16)) * 0x85EBCA6Bu;
    x = (x ^ (x >> 13)) * 0xC2B2AE35u;
    return x ^ (x >> 16);
}


}  // namespace

IPInfo MakeCandidate(const ServerInfo& server)
{
    IPInfo info;
    memset(&info, 0, sizeof info);
    const void* end = memchr(server.szAddr, '\0', sizeof server.szAddr);
    if (end != nullptr) {
        size_t length = (size_t)(static_cast<const char*>(end) - server.szAddr);
        if (length < sizeof info.szIP)
            memcpy(info.szIP, server.szAddr, length + 1);
    }
    info.ushPort = server.ushPort;
    info.dwRTT = 5000;
    info.dwLoad = 100;
    return info;
}

bool IPInfoLess(const IPInfo& a, const IPInfo& b)
{
    if (a.dwRTT == 0 && b.dwRTT == 0)
        return a.dwLoad < b.dwLoad;
    // In 64 bits: a 32-bit product would wrap, and a slow, loaded server such as
    // 65536 ms at load 65536 would come out as 0 and rank first.
    return (uint64_t)a.dwRTT * a.dwLoad < (uint64_t)b.dwRTT * b.dwLoad;
}

bool SameAddressText(const char* a, const char* b)
{
    for (; *a != '\0' && LowerAscii(*a) == LowerAscii(*b); ++a, ++b) {
    }
    return LowerAscii(*a) == LowerAscii(*b);
}

bool ParseCanonicalIPv4(const char* text, uint32_t* address)
{
    // At most "255.255.255.255" and its terminator are read: a fourth digit or a
    // missing dot ends the parse.
    uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *text++ != '.')
            return false;
        const char* first = text;
        uint32_t number = 0;
        while (*text >= '0' && *text <= '9') {
            if (text - first == 3)
                return false;
            number = number * 10 + (uint32_t)(*text++ - '0');
        }
        if (text == first || number > 255 || (text - first > 1 && *first == '0'))
            return false;
        value = (value << 8) | number;
    }
    if (*text != '\0')
        return false;
    *address = value;
    return true;
}

void CandidateList::Clear()
{
    // Swapped out rather than cleared: a detection over many servers should not
    // keep its memory for the life of the detector.
    std::vector<Candidate>().swap(records);
    std::vector<uint32_t>().swap(order);
    nHead = 0;
    bReversed = false;
    bTickIndexValid = false;
    std::vector<TickSlot>().swap(tickTable);
}

bool CandidateList::MakeRoomForOneMore()
{
    try {
        if (records.size() == records.capacity())
            records.reserve(std::max<size_t>(16, 2 * records.size()));
        if (Size() == order.size()) {
            std::vector<uint32_t> larger(std::max<size_t>(16, 2 * order.size()));
            for (uint32_t physical = 0; physical < Size(); ++physical)
                larger[physical] = OrderSlot(physical);
            order.swap(larger);
            nHead = 0;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CandidateList::InsertRandom(const IPInfo& record)
{
    // Room is made before anything is drawn, so that a failed allocation leaves
    // both the list and the generator's sequence as they were.
    if (!MakeRoomForOneMore())
        return false;

    uint32_t count = Size();
    uint32_t position = 0;
    if (count != 0) {
        // A fresh draw per step; r is at most count - 1, so the walk ends at the
        // last candidate at the latest.
        for (;; ++position) {
            uint32_t r = (uint32_t)DrawRandom() % count;
            if (r <= position)
                break;
        }
    }

    uint32_t id = count;
    records.push_back(Candidate{record, false, ProbeState{}});
    bTickIndexValid = false;
    // Before the candidate at `position` in list order; read backwards, that is
    // after it in the ring.
    uint32_t physical = bReversed ? count - position : position;
    if (physical < count - physical) {
        nHead = (nHead - 1) & ((uint32_t)order.size() - 1);
        for (uint32_t i = 0; i < physical; ++i)
            OrderSlot(i) = OrderSlot(i + 1);
    } else {
        for (uint32_t i = count; i > physical; --i)
            OrderSlot(i) = OrderSlot(i - 1);
    }
    OrderSlot(physical) = id;
    return true;
}

bool CandidateList::InsertServer(const ServerInfo& server)
{
    if (!InsertRandom(MakeCandidate(server)))
        return false;
    if ((DrawRandom() & 1) != 0)
        Reverse();
    return true;
}

void CandidateList::Reverse()
{
    bReversed = !bReversed;
}

void CandidateList::Sort()
{
    if (Size() < 2)
        return;
    // Lay the ids out in list order from the ring's start, then sort them in place.
    std::rotate(order.begin(), order.begin() + nHead, order.end());
    nHead = 0;
    if (bReversed) {
        std::reverse(order.begin(), order.begin() + Size());
        bReversed = false;
    }
    // A server that never answered must not outrank one that did, whatever the
    // values say: by the product alone, its 5000 ms at load 100 would beat a
    // reply of 5 ms at load 200000.
    std::stable_sort(order.begin(), order.begin() + Size(), [this](uint32_t a, uint32_t b) {
        const Candidate& first = records[a];
        const Candidate& second = records[b];
        if (first.bAnswered != second.bAnswered)
            return first.bAnswered;
        return IPInfoLess(first.info, second.info);
    });
}

void CandidateList::WriteOut(IPInfoArray* out) const
{
    // Byte offsets rather than out->info[k]: the caller's array is longer than the
    // one record the declaration shows.
    unsigned char* base = reinterpret_cast<unsigned char*>(out);
    uint32_t count = Size();
    memcpy(base + offsetof(IPInfoArray, dwCount), &count, sizeof count);

    unsigned char* record = base + offsetof(IPInfoArray, info);
    Walk([&](const IPInfo& info) {
        // Candidates come from MakeCandidate and always end within szIP; a record
        // that did not would be written as an empty address.
        const void* end = memchr(info.szIP, '\0', sizeof info.szIP);
        size_t length = end != nullptr ? (size_t)(static_cast<const char*>(end) - info.szIP) : 0;
        memcpy(record + offsetof(IPInfo, szIP), info.szIP, length);
        record[offsetof(IPInfo, szIP) + length] = '\0';
        // The port tells apart records of servers that share an address; the two
        // bytes after it are zeroed so that no stale buffer content reads as data.
        const uint16_t spare = 0;
        memcpy(record + offsetof(IPInfo, ushPort), &info.ushPort, sizeof info.ushPort);
        memcpy(record + offsetof(IPInfo, ushUnused), &spare, sizeof spare);
        memcpy(record + offsetof(IPInfo, dwRTT), &info.dwRTT, sizeof info.dwRTT);
        memcpy(record + offsetof(IPInfo, dwLoad), &info.dwLoad, sizeof info.dwLoad);
        record += sizeof(IPInfo);
    });
}

bool CandidateList::BuildTickIndex()
{
    uint32_t requests = 0;
    for (const Candidate& candidate : records)
        requests += candidate.probe.nRequests;
    size_t tableSize = 16;
    while (tableSize < 2 * (size_t)requests)
        tableSize *= 2;
    try {
        tickTable.assign(tableSize, TickSlot{0, 0});
    } catch (const std::bad_alloc&) {
        std::vector<TickSlot>().swap(tickTable);
        bTickIndexValid = false;
        return false;
    }
    const uint32_t mask = (uint32_t)tableSize - 1;
    for (uint32_t id = 0; id < Size(); ++id) {
        const ProbeState& probe = records[id].probe;
        uint32_t address;
        if (!ParseCanonicalIPv4(records[id].info.szIP, &address))
            continue;
        for (uint32_t request = 0; request < probe.nRequests; ++request) {
            const uint32_t tick = ServerTick(probe.dwOrigin, probe.RequestTick(request));
            uint32_t position = Mix(tick) & mask;
            while (tickTable[position].nIdPlusOne != 0)
                position = (position + 1) & mask;
            tickTable[position] = TickSlot{tick, id + 1};
        }
    }
    bTickIndexValid = true;
    return true;
}

template <class Visit>
void CandidateList::VisitCarriers(uint32_t serverTick, Visit visit)
{
    if (bTickIndexValid || BuildTickIndex()) {
        const uint32_t mask = (uint32_t)tickTable.size() - 1;
        for (uint32_t position = Mix(serverTick) & mask; tickTable[position].nIdPlusOne != 0;
             position = (position + 1) & mask)
            if (tickTable[position].dwTick == serverTick && !visit(tickTable[position].nIdPlusOne - 1))
                return;
        return;
    }
    for (uint32_t id = 0; id < Size(); ++id)
        if (!visit(id))
            return;
}

bool CandidateList::FindRequest(uint32_t address, uint16_t port, uint32_t serverTick, EchoedRequest& found)
{
    // Each candidate's ticks start at a random origin of its own, so one
    // candidate carried the tick. Only where ticks coincide (a test's fixed
    // origins, or 1 in 2^32) does the preference for an unanswered request, then
    // for the reply's own port, and then for the candidate inserted first
    // decide: the index lists a tick's candidates in the order of their ids.
    int rank = -1;  // 0 answered already, 1 unanswered from another port, 2 unanswered from its port
    VisitCarriers(serverTick, [&](uint32_t id) {
        Candidate& candidate = records[id];
        uint32_t candidateAddress;
        if (!ParseCanonicalIPv4(candidate.info.szIP, &candidateAddress) || candidateAddress != address)
            return true;
        int32_t request = candidate.probe.RequestCarrying(serverTick);
        if (request < 0)
            return true;
        int candidateRank = candidate.probe.Answered((uint32_t)request) ? 0 : candidate.info.ushPort == port ? 2 : 1;
        if (candidateRank > rank) {
            rank = candidateRank;
            found = EchoedRequest{id, &candidate.info, &candidate.probe, (uint32_t)request};
        }
        return rank < 2;
    });
    return rank >= 0;
}

void CandidateList::TakeReplyValues(const EchoedRequest& echoed, uint32_t rtt, const uint32_t* load)
{
    Candidate& candidate = records[echoed.nId];
    candidate.info.dwRTT = rtt;
    if (load != nullptr)
        candidate.info.dwLoad = *load;
    candidate.bAnswered = true;
}

bool ProbeState::CanRequest(uint32_t now) const
{
    return nRequests == 0 || (nRequests <= kMaxReprobes && TickElapsed(dwFirstRequest, now) <= UINT16_MAX);
}

void ProbeState::NoteRequest(uint32_t now)
{
    // Only the window timer's resends, which nothing in the module arms, can
    // come past the re-probes' bounds: the server's earlier requests are then
    // forgotten, and the new one counts as its first.
    if (!CanRequest(now)) {
        nRequests = nStanding = 0;
        wAnswered = 0;
    }
    if (nRequests == 0)
        dwFirstRequest = now;
    else
        awLaterMs[nRequests - 1] = (uint16_t)TickElapsed(dwFirstRequest, now);
    dwLastRequest = now;
    ++nRequests;
}

uint32_t ProbeState::RequestTick(uint32_t request) const
{
    return request == 0 ? dwFirstRequest : dwFirstRequest + awLaterMs[request - 1];
}

bool ProbeState::Answered(uint32_t request) const { return (wAnswered >> request & 1) != 0; }

int32_t ProbeState::RequestCarrying(uint32_t serverTick) const
{
    int32_t carrying = -1;
    for (uint32_t request = 0; request < nRequests; ++request) {
        if (ServerTick(dwOrigin, RequestTick(request)) != serverTick)
            continue;
        if (!Answered(request))
            return (int32_t)request;
        if (carrying < 0)
            carrying = (int32_t)request;
    }
    return carrying;
}
