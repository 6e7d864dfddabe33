// The candidates of one detection: one IPInfo per server, in probing order. New
// candidates go to random positions; the list is ordered best first for the caller
// and written out in the caller's result layout.
//
// A detection may have 65535 candidates, so no operation walks the whole list
// where it need not: a reversal only flips the direction in which the order is
// read, a placement shifts only the ids between the nearer end and its position,
// and a reply finds its candidates through an index by address. The orders are
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
// saw. The times are the detector's ticks.
struct ProbeState {
    uint32_t dwOrigin;        // the server's random origin
    uint32_t dwFirstRequest;  // tick of its first request
    uint32_t dwLastRequest;   // tick of its latest request
    // Ms from the first request to each one sent again: a re-probe comes
    // within the detection, so 16 bits hold it (CanRequest).
    uint16_t awLaterMs[kMaxReprobes];
    uint8_t nRequests;        // requests sent to it
    uint8_t nAnswered;        // 1 + the request whose reply set its values; 0 before any
    bool bHeard;              // a reply came from its own address and port

    // Whether one more request can be noted now, with the earlier ones kept.
    bool CanRequest(uint32_t now) const;
    // Notes a request sent now; one that cannot be noted with the earlier ones
    // starts the record afresh.
    void NoteRequest(uint32_t now);
    uint32_t RequestTick(uint32_t request) const
    {
        return request == 0 ? dwFirstRequest : dwFirstRequest + awLaterMs[request - 1];
    }
    // The request that carried the server tick, or -1 when none did.
    int32_t RequestCarrying(uint32_t serverTick) const;
};

// The candidate whose request a reply echoes.
struct EchoedRequest {
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
    // The candidate with the address and port one of whose requests carried the
    // server tick; false when none did.
    bool FindRequest(uint32_t address, uint16_t port, uint32_t serverTick, EchoedRequest& found);
    // What an accepted reply does: a short one sets the round-trip time of every
    // candidate with the address, a long one round-trip time and load of those
    // that also have the port. Either marks them as answered.
    void SetRtt(uint32_t address, uint32_t rtt);
    void SetRttAndLoad(uint32_t address, uint16_t port, uint32_t rtt, uint32_t load);
    // Marks the candidates with the address and port as heard from their own server.
    void MarkHeard(uint32_t address, uint16_t port);

    // Visits the candidates first to last with their probe states, which the
    // visitor may change.
    template <class Visit>
    void WalkProbeStates(Visit visit)
    {
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
        bIndexValid = false;
        for (uint32_t position = 0; position < Size(); ++position)
            visit(records[IdAt(position)].info);
    }

private:
    // A candidate with what the index needs of it: the value of its address
    // text (when canonical) and the links to the next candidates of its keys;
    // and whether a reply has set its values. A silent server keeps values that
    // an answering one can also have (or exceed), so the values cannot tell.
    struct Candidate {
        IPInfo info;
        uint32_t dwAddress;
        uint32_t dwNextSameAddress;   // id + 1 of the next, 0 at the end
        uint32_t dwNextSameEndpoint;
        bool bAnswered;
        ProbeState probe;
    };
    // A table slot: the high 16 bits of a key's hash above id + 1 of its first
    // candidate; 0 for an empty slot. Four bytes a slot keep the tables of the
    // largest list a detection can have (65535 candidates) at 512 KiB each;
    // longer lists are not indexed.
    using Slot = uint32_t;

    // The id (index into records) of the candidate at a position in list order.
    uint32_t IdAt(uint32_t position) const
    {
        uint32_t physical = bReversed ? Size() - 1 - position : position;
        return order[(nHead + physical) & (order.size() - 1)];
    }
    uint32_t& OrderSlot(uint32_t physical) { return order[(nHead + physical) & (order.size() - 1)]; }
    bool MakeRoomForOneMore();
    // Builds the index afresh with tables for at least `capacity` candidates;
    // false (and no index) without memory.
    bool BuildIndex(uint32_t capacity);
    void AddToIndex(uint32_t id);
    void DropIndex();
    // id + 1 of the first candidate with the address (and port), 0 when none.
    uint32_t FindAddress(uint32_t address) const;
    uint32_t FindEndpoint(uint32_t address, uint16_t port) const;
    // Visits the candidates with the address (and port), through the index.
    template <class Visit>
    void VisitAddress(uint32_t address, Visit visit);
    template <class Visit>
    void VisitEndpoint(uint32_t address, uint16_t port, Visit visit);

    // Candidates in the order they were inserted; an id is an index here.
    std::vector<Candidate> records;
    // The ids in list order, read backwards while bReversed is set: a ring whose
    // size is a power of two, starting at nHead, so that a placement near either
    // end shifts only the ids between that end and the position.
    std::vector<uint32_t> order;
    uint32_t nHead = 0;
    bool bReversed = false;

    // The index: open-addressing tables (power-of-two sizes, at most half full)
    // by address and by address and port, kept up to date by every insertion.
    // Candidates whose text is not canonical are in neither: no reply can match
    // them. A visitor that may have changed addresses leaves the index invalid
    // until a reply next needs it; so does a failed allocation for its tables.
    bool bIndexValid = true;
    std::vector<Slot> addressTable;
    std::vector<Slot> endpointTable;
};
