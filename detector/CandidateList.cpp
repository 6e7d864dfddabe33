#include "CandidateList.h"

#include <stddef.h>
#include <string.h>

#include <new>

#include "Random.h"

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

void CandidateList::Clear()
{
    m_items.clear();
}

bool CandidateList::InsertRandom(const IPInfo& record)
{
    // The node is made before anything is drawn, so that a failed allocation
    // leaves both the list and the generator's sequence as they were.
    std::list<IPInfo> node;
    try {
        node.push_back(record);
    } catch (const std::bad_alloc&) {
        return false;
    }

    std::list<IPInfo>::iterator position = m_items.begin();
    uint32_t count = (uint32_t)m_items.size();
    if (count != 0) {
        // A fresh draw per step; r is at most count - 1, so the walk ends at the
        // last candidate at the latest.
        for (uint32_t step = 0;; ++step) {
            uint32_t r = (uint32_t)DrawRandom() % count;
            if (r <= step)
                break;
            ++position;
        }
    }
    m_items.splice(position, node);
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
    m_items.reverse();
}

void CandidateList::Sort()
{
    m_items.sort(IPInfoLess);
}

void CandidateList::WriteOut(IPInfoArray* out) const
{
    // Byte offsets rather than out->info[k]: the caller's array is longer than the
    // one record the declaration shows.
    unsigned char* base = reinterpret_cast<unsigned char*>(out);
    uint32_t count = (uint32_t)m_items.size();
    memcpy(base + offsetof(IPInfoArray, dwCount), &count, sizeof count);

    unsigned char* record = base + offsetof(IPInfoArray, info);
    for (const IPInfo& info : m_items) {
        // Candidates come from MakeCandidate and always end within szIP; a record
        // that did not would be written as an empty address.
        const void* end = memchr(info.szIP, '\0', sizeof info.szIP);
        size_t length = end != nullptr ? (size_t)(static_cast<const char*>(end) - info.szIP) : 0;
        memcpy(record + offsetof(IPInfo, szIP), info.szIP, length);
        record[offsetof(IPInfo, szIP) + length] = '\0';
        memcpy(record + offsetof(IPInfo, dwRTT), &info.dwRTT, sizeof info.dwRTT);
        memcpy(record + offsetof(IPInfo, dwLoad), &info.dwLoad, sizeof info.dwLoad);
        record += sizeof(IPInfo);
    }
}

uint32_t CandidateList::Size() const
{
    return (uint32_t)m_items.size();
}
