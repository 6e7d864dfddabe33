// What lrdprobe makes of the detector's results: every round's result array
// matched back to the servers given, the servers ranked over all rounds, and the
// summary and live lines it prints. No platform header.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "LinkrateDetector.h"
#include "ProbeOptions.h"

namespace lrdprobe {

// A reply as the detector's sink reports it.
struct Reply {
    std::string address;
    uint16_t port;
    uint32_t rtt;
};

// One server over all rounds.
struct Row {
    Server server;
    uint32_t replies = 0;  // rounds in which it answered
    uint32_t rttMin = 0, rttMedian = 0, rttMax = 0;  // over those rounds, in ms
    uint32_t load = 0;     // from the last round in which it answered
    bool Answered() const { return replies > 0; }
    // What the ranking weighs among servers that answered as many rounds.
    uint64_t Score() const { return (uint64_t)rttMedian * load; }
};

class Summary {
public:
    explicit Summary(std::vector<Server> servers);

    // One round: the result array of GetSortedIPArray, best first, and the replies
    // the sink heard during the round. A server answered the round when a reply
    // came from its own address and port; its time is that reply's (the last, if
    // it sent several). The result array carries no ports and is used for the
    // loads and for the order of equal servers.
    void AddRound(const std::vector<IPInfo>& sorted, const std::vector<Reply>& replies);

    uint32_t Rounds() const { return m_rounds; }
    bool AnyAnswered() const;

    // Ranked best first: more rounds answered first; among equals, the smaller
    // score (median round-trip time times last load), then the smaller load;
    // servers that never answered last. Equal servers keep the detector's order
    // of the first round.
    std::vector<Row> Ranked() const;

    // Whether a reply's source is one of the servers given.
    bool Listed(const Reply& reply) const;

private:
    struct Tally {
        std::vector<uint32_t> rtts;
        uint32_t load = 0;
    };

    std::vector<Server> m_servers;
    std::vector<Tally> m_tallies;
    // Server indexes by address and port, and by address, in the order given.
    std::unordered_map<uint64_t, std::vector<size_t>> m_byEndpoint;
    std::unordered_map<uint32_t, std::vector<size_t>> m_byAddress;
    std::vector<size_t> m_firstOrder;  // server indexes as the first round ranked them
    uint32_t m_rounds = 0;
};

// Watches one round's replies for the moment every listed server has answered.
class RoundProgress {
public:
    explicit RoundProgress(const std::vector<Server>& servers);
    // Returns whether the reply came from a listed server.
    bool Heard(const Reply& reply);
    bool AllAnswered() const { return m_answered == m_endpoints.size(); }

private:
    std::unordered_map<uint64_t, bool> m_endpoints;  // address and port -> answered
    size_t m_answered = 0;
};

std::string FormatTable(const std::vector<Row>& rows, uint32_t rounds);
// A header line, then one line per server.
std::string FormatCsv(const std::vector<Row>& rows, uint32_t rounds);
std::string FormatJson(const std::vector<Row>& rows, uint32_t rounds, uint32_t timeLimitMs);

// The live line of a reply; the round is shown when there are several.
std::string LiveLine(const Reply& reply, bool listed, uint32_t round, uint32_t rounds);

}  // namespace lrdprobe
