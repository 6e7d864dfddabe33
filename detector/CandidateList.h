// The candidates of one detection: one IPInfo per server, in probing order. New
// candidates go to random positions; the list is ordered best first for the caller
// and written out in the caller's result layout.
#pragma once

#include <stdint.h>

#include <list>

#include "LinkrateDetector.h"

// The candidate for a server: the address only when it ends within its field and
// fits szIP, otherwise an empty address; round-trip time 5000 and load 100 until a
// reply says otherwise.
IPInfo MakeCandidate(const ServerInfo& server);

// Whether a is the better candidate: both round-trip times 0 compare the loads,
// otherwise the smaller product of round-trip time and load wins.
bool IPInfoLess(const IPInfo& a, const IPInfo& b);

class CandidateList {
public:
    void Clear();
    // Inserts a copy at a random position, never after the last candidate of a
    // non-empty list. False, with the list and the generator untouched, when no
    // memory can be had.
    bool InsertRandom(const IPInfo& record);
    // One step of filling the list for a detection: the server's candidate goes in
    // by InsertRandom, then one more draw reverses the whole list when it is odd.
    // False when nothing was inserted.
    bool InsertServer(const ServerInfo& server);
    void Reverse();
    // Stable: candidates of which neither is better keep their order.
    void Sort();
    // Writes the count and then, per candidate, the address text with its
    // terminator, dwRTT and dwLoad. Bytes 16 to 19 of each record and the bytes
    // after each terminator keep the caller's content. out must hold 4 + 28 * Size().
    void WriteOut(IPInfoArray* out) const;
    uint32_t Size() const;

    // Visits the candidates first to last; the visitor may change them.
    template <class Visit>
    void Walk(Visit visit)
    {
        for (IPInfo& info : m_items)
            visit(info);
    }

    template <class Visit>
    void Walk(Visit visit) const
    {
        for (const IPInfo& info : m_items)
            visit(info);
    }

private:
    std::list<IPInfo> m_items;
};
