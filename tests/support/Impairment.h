// An impaired network for one server: what lrd_impaired_net does to the
// requests that reach one of its listening addresses and ports, and the text
// form in which tests and the benchmark describe it. No platform header: the
// native program and the Wine test hosts share it.
//
// A server in text, fields separated by commas, no blanks:
//   127.0.0.2:9600,load=10,delay=20,jitter=10,loss=0.05,spike=0.01/200,dup=0.02,reorder=0.05/30,seed=7,relay=127.0.0.1:47810
// and two servers that cheat: lie=MS (a liar) and forge=ADDRESS:PORT/GUESSES (a
// forger).
// Only the address and port are required.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ImpairedServer {
    uint32_t address = 0;  // host byte order, 127.x.y.z
    uint16_t port = 0;
    // Answers carry this load (long replies); without one they are short.
    std::optional<uint32_t> load;
    // Delay before an answer leaves: uniform in delay ± jitter/2 (never below
    // 0), so that the median delay is `delayMs` whatever the jitter.
    unsigned delayMs = 0;
    unsigned jitterMs = 0;
    double loss = 0;           // share of requests never answered
    double spike = 0;          // share of answers delayed by a heavy-tailed extra time
    unsigned spikeMs = 0;      // the least such extra time (Pareto scale, shape 1.5)
    double duplicate = 0;      // share of answers sent twice
    double reorder = 0;        // share of answers held back, so that later ones overtake them
    unsigned reorderMs = 0;    // how long they are held back
    // The draws of this server (0 to 4294967295): the same seed gives the same
    // fate to its n-th request, wherever the server listens. Without one it comes
    // from the program's seed and the server's place in the list.
    std::optional<uint32_t> seed;
    // Requests go on to this responder (a real lrdresponder) and its answers come
    // back impaired; without one the program answers itself.
    std::optional<uint32_t> relayAddress;
    uint16_t relayPort = 0;
    // A liar: its answers echo the request's tick plus this many ms, so that it
    // looks that much nearer.
    unsigned lieMs = 0;
    // A forger: with each of its own answers it answers for the server at this
    // address and port (another server of the same program), GUESSES times, with
    // ticks around the one its own request carried and a load of 100000.
    std::optional<uint32_t> forgeAddress;
    uint16_t forgePort = 0;
    unsigned forgeGuesses = 0;
};

std::string FormatImpairedServer(const ImpairedServer& server);
// False, with the reason in `error`, for anything malformed or out of range
// (shares outside 0..1, an address outside 127.0.0.0/8, port 0).
bool ParseImpairedServer(const std::string& text, ImpairedServer& server, std::string& error);

// What happens to one request.
struct ImpairedFate {
    bool lost = false;
    double delayMs = 0;                     // before the answer leaves
    std::optional<double> copyDelayMs;      // a duplicate, after this long
    bool spiked = false;
    bool reordered = false;
};

// The seeded draws of one server. Every request takes the same number of draws
// whatever is switched on, so one setting does not shift the fate of another.
class ImpairmentDraws {
public:
    ImpairmentDraws(const ImpairedServer& server, uint64_t seed);
    ImpairedFate Next();

private:
    double Uniform();  // in [0, 1)

    ImpairedServer m_server;
    uint64_t m_state;
};

// The next of a seeded sequence of draws (splitmix64): what every impairment
// and the choosing benchmark's worlds draw from.
uint64_t SplitMix(uint64_t& state);

// The seed a server draws from when it names none.
uint64_t ServerSeed(const ImpairedServer& server, uint64_t programSeed, size_t place);
