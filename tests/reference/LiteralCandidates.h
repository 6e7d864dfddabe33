// The candidate list and the reply matching as first written, kept as the
// reference that the module's faster list is measured and checked against: a
// linked list walked from the front for every placement and reversed node by
// node after an odd coin, and a walk over every candidate for every reply, which
// sets the one candidate it answers. The
// ordering is the mended one: every candidate that answered before every one
// never heard from, each group by the product rule.
#pragma once

#include <stdint.h>

#include <list>
#include <vector>

#include "LinkrateDetector.h"

class LiteralCandidates {
public:
    // InsertRandom's walk with a fresh draw per step, then one more draw that
    // reverses the whole list when odd.
    void InsertServer(const ServerInfo& server);
    void Sort();
    // The checks of a reply, then every candidate compared by text, with every
    // request taken to carry the same tick. Returns
    // whether the reply was accepted; its round-trip time goes to rtt.
    bool HandleReply(const uint8_t* data, int32_t length, const char* sourceText, uint16_t sourcePort,
                     uint32_t startTick, uint32_t arrivalTick, uint32_t* rtt);
    std::vector<IPInfo> Items() const;

private:
    struct Entry {
        IPInfo info;
        bool answered;  // a reply has set its values
        uint32_t given;  // its place in the caller's list of servers
    };
    std::list<Entry> m_items;
};
