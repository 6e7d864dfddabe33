// The candidates of one detection: one IPInfo per server, in probing order. New
// candidates go to random positions; the list is ordered best first for the caller
// and written out in the caller's result layout.
//
// A detection may have 65535 candidates, so no operation walks the whole list
// where it need not: a reversal only flips the direction in which the order is
// read, a placement shifts only the ids between the nearer end and its position,
// and a reply finds its candidate through an index by the ticks its requests
// carried. The orders are
// those of a linked list walked from the front and reversed node by node.
#pragma once

#include <stdint.h>

#include <vector>

#include "LinkrateDetector.h"

// The candidate for a server: the address only when it ends within its field and
// fits szIP, otherwise an empty address; round-trip time 5000 and load 100 until a
// reply says otherwise.
IPInfo MakeCandidate(const ServerInfo& server);

// Whether a is the better candidate by its values: both round-trip times 0
// compare the loads, otherwise the smaller product of round-trip time and load
// wins. The list ranks every candidate that answered before every one never
// heard from, and by this rule within each of the two.
bool IPInfoLess(const IPInfo& a, const IPInfo& b);

// ASCII comparison without regard to case; true when equal.
bool SameAddressText(const char* a, const char* b);

// Whether text (at most 16 bytes are read) is an IPv4 address in the canonical
// dotted-decimal form in which a datagram's source is written: four decimal
// numbers up to 255 without leading zeros. Its value, first number in the highest
// byte, goes to address.
bool ParseCanonicalIPv4(const char* text, uint32_t* address);

enum : uint32_t {
    kMaxReprobes = 10,  // requests sent again to one server in a detection, at most
};

// What the probe exchange keeps of one candidate's requests in a detection. Its
// requests carry the server's own ticks (ServerTick), and a reply counts only
// when it echoes one of them exactly: a server cannot make itself look nearer
// by echoing a later tick, nor answer for another server, whose ticks it never
// saw. Each candidate has an origin of its own, so the tick also tells apart
// two candidates of one address, or the same server listed twice. The times are
// the detector's ticks.
struct ProbeState {
    uint32_t dwOrigin;        // the server's random origin
    uint32_t dwFirstRequest;  // tick of its first request
    uint32_t dwLastRequest;   // tick of its latest request
    // Ms from the first request to each one sent again: a re-probe comes
    // within the detection, so 16 bits hold it (CanRequest).
    uint16_t awLaterMs[kMaxReprobes];
    uint16_t wAnswered;       // bit r: request r has had its reply
    uint8_t nRequests;        // requests sent to it
    uint8_t nStanding;        // 1 + the request whose reply set its values; 0 before any

    // Whether one more request can be noted now, with the earlier ones kept.
    bool CanRequest(uint32_t now) const;
    // Notes a request sent now; one that cannot be noted with the earlier ones
    // starts the record afresh.
    void NoteRequest(uint32_t now);
    uint32_t RequestTick(uint32_t request) const;
    bool Answered(uint32_t request) const;
    // The request that carried the server tick, the first still unanswered one
    // when several did (two requests sent within one millisecond); -1 when none did.
    int32_t RequestCarrying(uint32_t serverTick) const;
};

// The candidate whose request a reply echoes.
struct EchoedRequest {
    uint32_t nId;
    IPInfo* pRecord;
    ProbeState* pState;
    uint32_t nRequest;
};

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
    // Best first: candidates that answered before those never heard from, each
    // group by IPInfoLess. Stable: candidates of which neither is better keep
    // their order.
    void Sort();
    // Writes the count and then, per candidate, the address text with its
    // terminator, ushPort, two zero bytes, dwRTT and dwLoad. The bytes after each
    // terminator keep the caller's content. out must hold 4 + 28 * Size().
    void WriteOut(IPInfoArray* out) const;
    uint32_t Size() const { return (uint32_t)records.size(); }

    // Addresses are IPv4 values, first number in the highest byte (as
    // ParseCanonicalIPv4 gives them); no reply matches a candidate whose text is
    // not canonical.
    //
    // The candidate with the address one of whose requests carried the server
    // tick, whatever the port: a responder may answer from another port of its
    // address. Where ticks coincide, a request still unanswered is preferred, and
    // of those one to the port the reply came from, and then the one inserted
    // first. False when none carried it.
    bool FindRequest(uint32_t address, uint16_t port, uint32_t serverTick, EchoedRequest& found);
    // Sets the candidate's round-trip time, and its load when the reply carried
    // one, and marks it as answered.
    void TakeReplyValues(const EchoedRequest& echoed, uint32_t rtt, const uint32_t* load);

    // Visits the candidates first to last with their probe states, which the
    // visitor may change: the tick index is built again when a reply next
    // needs it.
    template <class Visit>
    void WalkProbeStates(Visit visit)
    {
        bTickIndexValid = false;
        for (uint32_t position = 0; position < Size(); ++position) {
            Candidate& candidate = records[IdAt(position)];
            visit(static_cast<const IPInfo&>(candidate.info), candidate.probe);
        }
    }

    // Visits the candidates first to last.
    template <class Visit>
    void Walk(Visit visit) const
    {
        for (uint32_t position = 0; position < Size(); ++position)
            visit(static_cast<const IPInfo&>(records[IdAt(position)].info));
    }

    // Visits the candidates first to last; the visitor may change them, so the
    // index is built again when a reply next needs it.
    template <class Visit>
    void Modify(Visit visit)
    {
        bTickIndexValid = false;
        for (uint32_t position = 0; position < Size(); ++position)
            visit(records[IdAt(position)].info);
    }

private:
    // A candidate with whether a reply has set its values: a silent server
    // keeps values that an answering one can also have (or exceed), so the
    // values cannot tell.
    struct Candidate {
        IPInfo info;
        bool bAnswered;
        ProbeState probe;
    };
    // A slot of the tick index: a tick a request carried and id + 1 of the
    // candidate it went to; 0 for an empty slot.
    struct TickSlot {
        uint32_t dwTick;
        uint32_t nIdPlusOne;
    };

    // The id (index into records) of the candidate at a position in list order.
    uint32_t IdAt(uint32_t position) const
    {
        uint32_t physical = bReversed ? Size() - 1 - position : position;
        return order[(nHead + physical) & (order.size() - 1)];
    }
    uint32_t& OrderSlot(uint32_t physical) { return order[(nHead + physical) & (order.size() - 1)]; }
    bool MakeRoomForOneMore();
    // Builds the tick index afresh from every request of every candidate; false
    // (and no index) without memory.
    bool BuildTickIndex();
    // Visits the ids of the candidates one of whose requests carried the tick,
    // and perhaps others, until the visitor returns false.
    template <class Visit>
    void VisitCarriers(uint32_t serverTick, Visit visit);

    // Candidates in the order they were inserted; an id is an index here.
    std::vector<Candidate> records;
    // The ids in list order, read backwards while bReversed is set: a ring whose
    // size is a power of two, starting at nHead, so that a placement near either
    // end shifts only the ids between that end and the position.
    std::vector<uint32_t> order;
    uint32_t nHead = 0;
    bool bReversed = false;

    // The tick index: an open-addressing table (power-of-two size, at most half
    // full) of the ticks that requests carried. Every request's tick is random
    // to 32 bits, so a reply finds the one candidate it answers at once, however
    // often its address repeats in the list. Built when a reply needs it after
    // the requests or the candidates changed; candidates whose text is not
    // canonical are left out, as no reply can match them. Without memory for it
    // a reply looks at every candidate.
    bool bTickIndexValid = false;
    std::vector<TickSlot> tickTable;
};
