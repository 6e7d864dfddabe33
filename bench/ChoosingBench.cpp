#include "ChoosingBench.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "BenchTable.h"
#include "Impairment.h"
#include "MessagePump.h"
#include "ModuleHost.h"
#include "ProbeRanking.h"
#include "RepliesFirstRanking.h"
#include "ScriptedResponder.h"

namespace {

constexpr uint32_t kRounds = 5;           // lrdprobe -c 5: five single detections
constexpr uint32_t kTimeLimitMs = 350;    // beyond the slowest configured answer, 280 ms
constexpr size_t kSlotCapacity = 1024;    // servers in one detection
// True scores (delay in ms times load). The best server's is kBestScore, the
// runner-up's larger by the margin, the others' 5 % to 50 % above the
// runner-up's. Every load divides both first scores, so their delays are exact:
// 30 to 120 ms for the best, 33 to 180 ms for the runner-up.
constexpr unsigned kBestScore = 120;
constexpr uint32_t kLoads[] = {1, 2, 4};
constexpr uint32_t kNoLoad = 100;         // what a candidate's load is until a reply says otherwise

const unsigned kSizes[] = {2, 16, 256};
const unsigned kLosses[] = {0, 1, 5, 20};     // percent
const unsigned kJitters[] = {0, 5, 20};       // ms, the whole width around the delay
// Percent by which the best beats the runner-up; 0: the two are tied, and
// either is a right choice (within lrdprobe's tolerance of the best).
const unsigned kMargins[] = {0, 10, 50};
// Worlds of 8 servers that all lose 20 %: where losses that every server shares
// must not decide.
constexpr unsigned kSharedLossServers = 8;
constexpr unsigned kSharedLossPercent = 20;

// lrdprobe --confidence P -c kConfidenceCap: rounds until the first server's
// confidence reaches P, each world on addresses of its own. The cap lets the
// hardest world (256 servers, runner-up 3 ms behind a best of load 4, 20 ms of
// jitter: 125 to 130 rounds to reach 0.99) reach the highest goal.
const double kGoals[] = {0.9, 0.99};
constexpr size_t kGoalCount = sizeof kGoals / sizeof kGoals[0];
constexpr uint32_t kConfidenceCap = 300;

enum Column { kSingle, kReprobing, kToday, kNew, kColumns };
const char* const kColumnNames[kColumns] = {"single detection", "single detection, re-probing",
                                            "lrdprobe -c 5, today's rule", "lrdprobe -c 5, new rule"};

struct Cell {
    unsigned servers, lossPercent, jitterMs, marginPercent;
    // One of the servers slower than the runner-up lies: it echoes its tick plus
    // its delay less 1 ms, to look 1 ms away.
    bool liar = false;
};

struct WorldServer {
    unsigned delayMs;
    uint32_t load;
    uint64_t seed;
    unsigned lieMs = 0;
    uint64_t Score() const { return uint64_t(delayMs) * load; }
};

// One trial's servers; every world is served three times in the same detection
// (see Layout), each copy with the same draws.
struct World {
    size_t cell;
    std::vector<WorldServer> servers;
    size_t best;
};

World MakeWorld(const Cell& cell, size_t cellIndex, uint64_t seed)
{
    uint64_t state = seed;
    auto below = [&](uint32_t n) { return uint32_t(SplitMix(state) % n); };
    unsigned runnerUp = kBestScore * (100 + cell.marginPercent) / 100;
    World world{cellIndex, {}, 0};
    for (unsigned i = 0; i < cell.servers; ++i) {
        uint32_t load = kLoads[below(3)];
        unsigned delay = i == 0 ? kBestScore / load : i == 1 ? runnerUp / load : 0;
        if (i > 1) {
            double target = runnerUp * (1.05 + 0.45 * below(1000) / 1000.0);
            delay = unsigned(std::ceil(target / load));
        }
        world.servers.push_back(WorldServer{delay, load, uint32_t(SplitMix(state))});
    }
    if (cell.liar && world.servers.size() > 2)
        world.servers[2].lieMs = world.servers[2].delayMs - 1;
    // The best server anywhere in the list, so that no probing order favours it.
    for (size_t i = world.servers.size() - 1; i > 0; --i) {
        size_t j = below(uint32_t(i + 1));
        std::swap(world.servers[i], world.servers[j]);
        if (world.best == i || world.best == j)
            world.best = world.best == i ? j : i;
    }
    return world;
}

// The copies of a world: its servers on addresses of their own, all on one
// address, and on addresses of their own again. The third copy is the control:
// how often two copies that differ in nothing but the moment of their
// measurement choose differently.
enum Layout { kOwn, kShared, kControl, kLayouts };

// One copy of a world in a detection: its servers are the slot's first..first+n-1.
struct Placement {
    size_t world;
    Layout layout;
    size_t first;
};

uint64_t EndpointKey(uint32_t address, uint16_t port) { return uint64_t(address) << 16 | port; }

uint32_t AddressOf(const char* text) { return ntohl(inet_addr(text)); }

// The servers of one detection.
struct Slot {
    std::vector<Placement> placements;
    std::vector<ServerInfo> infos;
    std::vector<ImpairedServer> impaired;
    std::unordered_map<uint64_t, size_t> byEndpoint;

    // Addresses 127.77.x.y, one per server of a world on addresses of its own and
    // one per shared world, whose servers listen on port, port + 1, ...
    void Lay(const std::vector<World>& worlds, const Cell* cells, uint16_t port)
    {
        infos.clear();
        impaired.clear();
        byEndpoint.clear();
        uint32_t next = 0;
        auto address = [&] {
            uint32_t a = next++;
            return 0x7F4D0000u | (a / 250) << 8 | (1 + a % 250);
        };
        for (Placement& placement : placements) {
            const World& world = worlds[placement.world];
            const Cell& cell = cells[world.cell];
            placement.first = infos.size();
            // The shared address, or the first server's own.
            uint32_t first = address();
            for (size_t k = 0; k < world.servers.size(); ++k) {
                const WorldServer& w = world.servers[k];
                ImpairedServer s;
                bool shared = placement.layout == kShared;
                s.address = shared || k == 0 ? first : address();
                s.port = uint16_t(shared ? port + k : port);
                s.load = w.load;
                s.delayMs = w.delayMs;
                s.jitterMs = cell.jitterMs;
                s.loss = cell.lossPercent / 100.0;
                s.seed = w.seed;
                s.lieMs = w.lieMs;
                ServerInfo info = {};
                in_addr a;
                a.s_addr = htonl(s.address);
                snprintf(info.szAddr, sizeof info.szAddr, "%s", inet_ntoa(a));
                info.ushPort = s.port;
                byEndpoint[EndpointKey(s.address, s.port)] = infos.size();
                infos.push_back(info);
                impaired.push_back(s);
            }
        }
    }
};

// What one detection gave: the last round-trip time each server was heard with
// (none when it was not), and the module's result array.
struct Round {
    std::vector<std::optional<uint32_t>> rtts;
    std::vector<IPInfo> records;
};

class RoundSink : public ILinkrateDetectorSink {
public:
    RoundSink(const Slot& slot, Round& round) : m_slot(slot), m_round(round) {}
    void LRD_THISCALL OnIPDetected(const char* ip, uint16_t port, uint32_t rtt) override
    {
        auto found = m_slot.byEndpoint.find(EndpointKey(AddressOf(ip), port));
        if (found == m_slot.byEndpoint.end())
            return;
        heard += !m_round.rtts[found->second].has_value();
        m_round.rtts[found->second] = rtt;
    }
    void LRD_THISCALL OnDetectFinished() override { finished = true; }

    size_t heard = 0;
    bool finished = false;

private:
    const Slot& m_slot;
    Round& m_round;
};

// The re-probes a silent server gets in the re-probing column. One is enough at
// these loss shares (both requests of the best server lost: 1 in 400 at 5 %),
// and the time limit shared out between the two requests leaves the second
// 175 ms for its answer, more than the slowest best server's 120 ms.
constexpr uint32_t kReprobes = 1;

// A framework configuration file that turns the module's re-probing on, in the
// temporary folder for the life of the benchmark.
class ReprobeConfig {
public:
    ReprobeConfig()
    {
        char folder[MAX_PATH] = {0};
        char path[MAX_PATH] = {0};
        DWORD length = GetTempPathA(sizeof folder, folder);
        if (length == 0 || length >= sizeof folder || GetTempFileNameA(folder, "lrb", 0, path) == 0 ||
            !WritePrivateProfileStringA("39", "ReprobeCount", std::to_string(kReprobes).c_str(), path))
            throw std::runtime_error("cannot write a configuration file in the temporary folder");
        m_path = path;
    }
    ~ReprobeConfig() { DeleteFileA(m_path.c_str()); }
    ReprobeConfig(const ReprobeConfig&) = delete;
    ReprobeConfig& operator=(const ReprobeConfig&) = delete;
    const char* Path() const { return m_path.c_str(); }

private:
    std::string m_path;
};

// The requests the network has taken, and its answers that left late, since it
// started serving.
struct NetworkCounts {
    uint64_t requests = 0, late = 0;
};
NetworkCounts CountsSoFar(ResponderProcess& network)
{
    std::string counts = network.Command("counts");
    auto field = [&](const char* name) {
        size_t at = counts.find(name);
        return at == std::string::npos ? 0 : std::strtoull(counts.c_str() + at + strlen(name), nullptr, 10);
    };
    return NetworkCounts{field("requests="), field(" late=")};
}

// One detection as the module makes it, over every server of the slot; it ends
// at the time limit, or as soon as every server has answered. A detector reads
// the framework's configuration file when it is made: with `config`, the one
// that turns re-probing on, and the host's default file again afterwards.
Round DetectOnce(ModuleHost& host, const Slot& slot, const ReprobeConfig* config)
{
    Round round;
    round.rtts.resize(slot.infos.size());
    RoundSink sink(slot, round);
    std::vector<uint8_t> list = ServerListBytes(slot.infos);
    if (config != nullptr)
        host.module.SetDLLRegistry(config->Path());
    ILinkrateDetector* detector = host.NewDetector();
    if (config != nullptr)
        host.module.SetDLLRegistry(nullptr);
    detector->Initialize(&sink);
    detector->Detect(reinterpret_cast<ServerList*>(list.data()), kTimeLimitMs);
    PumpUntil([&] { return sink.finished || sink.heard == slot.infos.size(); }, kTimeLimitMs + 30000);
    // Zeroed, so that a record whose port the module leaves unwritten reads port 0.
    std::vector<uint8_t> out(4 + sizeof(IPInfo) * slot.infos.size(), 0);
    detector->GetSortedIPArray(reinterpret_cast<IPInfoArray*>(out.data()));
    round.records.resize(slot.infos.size());
    memcpy(round.records.data(), out.data() + 4, sizeof(IPInfo) * slot.infos.size());
    detector->Finalize();
    detector->Release(0);
    return round;
}

Round SingleRound(ModuleHost& host, const Slot& slot) { return DetectOnce(host, slot, nullptr); }

// A single detection with the module's re-probing on, as a host turns it on in
// the framework's configuration file.
Round ReprobingRound(ModuleHost& host, const Slot& slot, const ReprobeConfig& config)
{
    return DetectOnce(host, slot, &config);
}

// The slot's server behind each record, best first: the record's address and
// port name it.
std::vector<size_t> RecordOwners(const Slot& slot, const Round& round)
{
    std::vector<size_t> owners;
    for (const IPInfo& record : round.records) {
        auto owner = slot.byEndpoint.find(EndpointKey(AddressOf(record.szIP), record.ushPort));
        if (owner != slot.byEndpoint.end())
            owners.push_back(owner->second);
    }
    return owners;
}

// The world's servers (by their index in the world) in the order of the records.
std::vector<size_t> WorldOrder(const Placement& placement, size_t n, const std::vector<size_t>& owners)
{
    std::vector<size_t> order;
    std::vector<bool> seen(n, false);
    for (size_t owner : owners) {
        if (owner >= placement.first && owner < placement.first + n) {
            order.push_back(owner - placement.first);
            seen[owner - placement.first] = true;
        }
    }
    for (size_t k = 0; k < n; ++k)
        if (!seen[k])
            order.push_back(k);
    return order;
}

// A choice is right when its true score is within lrdprobe's tolerance of the
// best's: the best itself where the runner-up is 10 % or more behind, either of
// two tied servers.
bool Right(const World& world, size_t choice)
{
    return lrdprobe::WithinTolerance(double(world.servers[choice].Score()), double(world.servers[world.best].Score()),
                                     lrdprobe::kDefaultTolerance);
}

struct Tally {
    uint32_t trials = 0, chosen = 0;
    double regret = 0, worst = 1;
    void Add(const World& world, size_t choice)
    {
        double r = double(world.servers[choice].Score()) / double(world.servers[world.best].Score());
        ++trials;
        chosen += Right(world, choice);
        regret += r;
        worst = std::max(worst, r);
    }
    double Rate() const { return trials == 0 ? 0 : double(chosen) / trials; }
    std::string Text() const
    {
        if (trials == 0)
            return "not built";
        return Format("%.1f%% (%.3f, worst %.2f)", 100 * Rate(), regret / trials, worst);
    }
};

// lrdprobe's rounds of one copy of a world: every round's time of each server,
// and the load it reports (the records carry it; the configured load stands in),
// in the order of the first round, which equal servers keep.
std::vector<lrdprobe::ServerRounds> WorldRounds(const Placement& placement, const World& world,
                                                const std::vector<Round>& rounds, const std::vector<size_t>& firstOrder)
{
    std::vector<lrdprobe::ServerRounds> servers(firstOrder.size());
    for (size_t i = 0; i < firstOrder.size(); ++i) {
        size_t k = firstOrder[i];
        for (const Round& round : rounds) {
            const std::optional<uint32_t>& rtt = round.rtts[placement.first + k];
            servers[i].samples.push_back(rtt ? *rtt : lrdprobe::kLost);
            if (rtt)
                servers[i].load = world.servers[k].load;
        }
    }
    return servers;
}

// Where lrdprobe --confidence P stopped for one world: the rounds it took,
// whether the confidence reached P (else the cap ended it), what it chose and
// the requests its servers were sent.
struct Stop {
    bool done = false, reached = false;
    uint32_t rounds = 0;
    size_t choice = 0;
    uint64_t requests = 0;
};

struct GoalTally {
    Tally tally;
    uint64_t rounds = 0, requests = 0;
    uint32_t worst = 0, reached = 0, reachedRight = 0;
    void Add(const World& world, const Stop& stop)
    {
        tally.Add(world, stop.choice);
        rounds += stop.rounds;
        requests += stop.requests;
        worst = std::max(worst, stop.rounds);
        reached += stop.reached;
        reachedRight += stop.reached && Right(world, stop.choice);
    }
    double RequestsPerDecision() const { return tally.trials == 0 ? 0 : double(requests) / tally.trials; }
    std::string Text() const
    {
        if (tally.trials == 0)
            return "not built";
        return tally.Text() + Format(", rounds mean %.1f, worst %u, requests %.0f", double(rounds) / tally.trials,
                                     worst, RequestsPerDecision());
    }
};

// lrdprobe --confidence P over the rounds of one world, asking every server in
// every round (--all-rounds) or only the contenders: each server's samples end
// with the round after which the rounds so far left it out, as lrdprobe would
// not have asked it again.
enum Asking { kAllRounds, kContenders, kAskings };
struct Trajectory {
    std::vector<uint32_t> droppedAfter;  // per server of the first order; 0 while asked
    std::array<Stop, kGoalCount> stops;
};

// The choices of one copy of a world, column by column (several for the single
// detections, one a round).
using Choices = std::vector<size_t>[kColumns];

void Choose(const Slot& slot, const Placement& placement, const World& world, const std::vector<Round>& rounds,
            const std::vector<Round>& reprobed, Choices& choices)
{
    size_t n = world.servers.size();
    std::vector<size_t> firstOrder;
    for (size_t r = 0; r < rounds.size(); ++r) {
        std::vector<size_t> order = WorldOrder(placement, n, RecordOwners(slot, rounds[r]));
        choices[kSingle].push_back(order.front());
        if (r == 0)
            firstOrder = order;
    }
    for (const Round& round : reprobed)
        choices[kReprobing].push_back(WorldOrder(placement, n, RecordOwners(slot, round)).front());
    std::vector<lrdprobe::ServerRounds> servers = WorldRounds(placement, world, rounds, firstOrder);
    choices[kToday].push_back(firstOrder[RankRepliesFirst(servers).front()]);
    choices[kNew].push_back(firstOrder[lrdprobe::RankServers(servers).front()]);
}

std::string Percent(double share) { return Format("%.1f%%", 100 * share); }

}  // namespace

void RunChoosingBench(bool quick, uint64_t seed)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    auto started = std::chrono::steady_clock::now();
    std::vector<Cell> cells;
    for (unsigned n : kSizes)
        for (unsigned loss : kLosses)
            for (unsigned jitter : kJitters)
                for (unsigned margin : kMargins)
                    cells.push_back(Cell{n, loss, jitter, margin});
    for (unsigned jitter : kJitters)
        for (unsigned margin : kMargins)
            cells.push_back(Cell{kSharedLossServers, kSharedLossPercent, jitter, margin});
    cells.push_back(Cell{16, 0, 0, 50, true});
    auto trialsOf = [&](unsigned n) {
        return (n == 2 ? 32u : n == kSharedLossServers ? 16u : n == 16 ? 8u : 2u) / (quick ? 4 : 1);
    };

    std::vector<World> worlds;
    std::vector<Slot> slots(1);
    for (size_t c = 0; c < cells.size(); ++c) {
        for (unsigned t = 0; t < std::max(1u, trialsOf(cells[c].servers)); ++t) {
            // Seed 0 gives the worlds of the runs before --seed existed.
            uint64_t state = (uint64_t(c) << 32 | t) ^ SplitMix(seed);
            if (seed == 0)
                state = uint64_t(c) << 32 | t;
            worlds.push_back(MakeWorld(cells[c], c, SplitMix(state)));
            size_t used = 0;
            for (const Placement& p : slots.back().placements)
                used += worlds[p.world].servers.size();
            if (used + kLayouts * cells[c].servers > kSlotCapacity)
                slots.emplace_back();
            for (Layout layout : {kOwn, kShared, kControl})
                slots.back().placements.push_back(Placement{worlds.size() - 1, layout, 0});
        }
    }

    std::vector<Tally> tallies(cells.size() * 2 * kColumns);
    auto tally = [&](size_t cell, bool shared, int column) -> Tally& {
        return tallies[(cell * 2 + shared) * kColumns + column];
    };
    std::vector<uint32_t> compared(kColumns, 0), differed(kColumns, 0), controlDiffered(kColumns, 0);
    std::vector<std::array<std::array<Stop, kGoalCount>, kAskings>> stopsOf(worlds.size());
    uint32_t confidenceRounds = 0;
    // How far the measured times of servers without jitter stray from their
    // delays: the machine's own noise, which no rule can see through.
    // Kept apart for the re-probing column, whose extra requests share the
    // thread and the network with the replies they do not wait for.
    std::vector<int64_t> strays, reprobedStrays;
    // Requests that reached the network in each column: what re-probing adds;
    // and the answers the network sent late, for strays that are its own.
    uint64_t singleRequests = 0, reprobedRequests = 0, singleLate = 0, reprobedLate = 0;
    {
        ModuleHost host;
        ReprobeConfig reprobeConfig;
        ResponderProcess network(LRD_IMPAIRED_NET_PATH);
        uint32_t rounds = 0;
        // A port that some other program holds on one of the addresses fails
        // the whole slot: lay it out again on another port. Ports stay below
        // Linux's ephemeral range (from 32768), where every socket bound to any
        // address would clash, and each attempt takes another one: attempts
        // follow each other within the same millisecond.
        auto serve = [&](Slot& slot, size_t seed) {
            for (int attempt = 0;; ++attempt) {
                slot.Lay(worlds, cells.data(), uint16_t(20000 + (GetTickCount() + 4099u * attempt) % 12000));
                try {
                    // A few hundred servers a command, so that each fits in a datagram.
                    std::string command = "serve " + std::to_string(seed);
                    for (size_t i = 0; i < slot.impaired.size(); ++i) {
                        command += " " + FormatImpairedServer(slot.impaired[i]);
                        if (i % 256 == 255 || i + 1 == slot.impaired.size()) {
                            network.Command(command);
                            command = "add";
                        }
                    }
                    return;
                } catch (const std::runtime_error&) {
                    if (attempt == 5)
                        throw;
                }
            }
        };
        for (size_t s = 0; s < slots.size(); ++s) {
            Slot& slot = slots[s];
            serve(slot, s);
            std::vector<Round> single, reprobed;
            // Both columns of a round meet the same fates, request for request:
            // each server's first request in the single detection and in the
            // re-probing one is lost or delayed alike, and only the re-probes
            // draw fates of their own. Without this, the columns met different
            // draws of the same seeds, and the same lucky or unlucky draws came
            // back in every run.
            for (uint32_t r = 0; r < kRounds; ++r) {
                network.Command("rewind " + std::to_string(r));
                NetworkCounts before = CountsSoFar(network);
                single.push_back(SingleRound(host, slot));
                network.Command("rewind " + std::to_string(r));
                NetworkCounts between = CountsSoFar(network);
                reprobed.push_back(ReprobingRound(host, slot, reprobeConfig));
                NetworkCounts after = CountsSoFar(network);
                singleRequests += between.requests - before.requests;
                reprobedRequests += after.requests - between.requests;
                singleLate += between.late - before.late;
                reprobedLate += after.late - between.late;
                ++rounds;
            }
            for (const Placement& placement : slot.placements) {
                const World& world = worlds[placement.world];
                if (cells[world.cell].jitterMs != 0)
                    continue;
                for (size_t k = 0; k < world.servers.size(); ++k) {
                    for (const Round& round : single)
                        if (const std::optional<uint32_t>& rtt = round.rtts[placement.first + k])
                            strays.push_back(int64_t(*rtt) - world.servers[k].delayMs);
                    for (const Round& round : reprobed)
                        if (const std::optional<uint32_t>& rtt = round.rtts[placement.first + k])
                            reprobedStrays.push_back(int64_t(*rtt) - world.servers[k].delayMs);
                }
            }
            // The copies of a world are neighbours in the slot, in Layout order.
            for (size_t p = 0; p + kLayouts <= slot.placements.size(); p += kLayouts) {
                const World& world = worlds[slot.placements[p].world];
                Choices choices[kLayouts];
                for (int layout = 0; layout < kLayouts; ++layout)
                    Choose(slot, slot.placements[p + layout], world, single, reprobed, choices[layout]);
                for (int column = 0; column < kColumns; ++column) {
                    for (int shared = 0; shared < 2; ++shared)
                        for (size_t choice : choices[shared][column])
                            tally(world.cell, shared, column).Add(world, choice);
                    for (size_t i = 0; i < choices[kOwn][column].size(); ++i) {
                        ++compared[column];
                        differed[column] += choices[kOwn][column][i] != choices[kShared][column][i];
                        controlDiffered[column] += choices[kOwn][column][i] != choices[kControl][column][i];
                    }
                }
            }
            fprintf(stderr, "choosing: %u of %u detections\r", rounds, unsigned(slots.size() * kRounds));
        }
        fprintf(stderr, "\n");

        // lrdprobe --confidence: the worlds again, each on addresses of its own,
        // the hardest (most jitter, smallest margin) together, so that the
        // detections a slot goes on with serve few worlds that are done. A
        // slot's rounds go on until every world in it reached the highest goal
        // or the cap; each world's stop for each goal is where lrdprobe would
        // have stopped, its rounds being the same.
        std::vector<size_t> byDifficulty(worlds.size());
        for (size_t w = 0; w < worlds.size(); ++w)
            byDifficulty[w] = w;
        std::stable_sort(byDifficulty.begin(), byDifficulty.end(), [&](size_t a, size_t b) {
            const Cell& x = cells[worlds[a].cell];
            const Cell& y = cells[worlds[b].cell];
            return std::make_pair(y.jitterMs, x.marginPercent) < std::make_pair(x.jitterMs, y.marginPercent);
        });
        std::vector<Slot> confidenceSlots(1);
        size_t used = 0;
        for (size_t w : byDifficulty) {
            if (used + worlds[w].servers.size() > kSlotCapacity) {
                confidenceSlots.emplace_back();
                used = 0;
            }
            confidenceSlots.back().placements.push_back(Placement{w, kOwn, 0});
            used += worlds[w].servers.size();
        }
        for (size_t s = 0; s < confidenceSlots.size(); ++s) {
            Slot& slot = confidenceSlots[s];
            serve(slot, slots.size() + s);
            std::vector<Round> taken;
            std::vector<std::vector<size_t>> firstOrders(slot.placements.size());
            std::vector<std::array<Trajectory, kAskings>> paths(slot.placements.size());
            for (uint32_t r = 1; r <= kConfidenceCap; ++r) {
                taken.push_back(SingleRound(host, slot));
                ++confidenceRounds;
                // The network ends after a minute without commands; a slot's
                // rounds can take longer.
                network.Command("counts");
                bool pending = false;
                for (size_t p = 0; p < slot.placements.size(); ++p) {
                    const Placement& placement = slot.placements[p];
                    const World& world = worlds[placement.world];
                    if (r == 1) {
                        firstOrders[p] = WorldOrder(placement, world.servers.size(), RecordOwners(slot, taken[0]));
                        for (Trajectory& path : paths[p])
                            path.droppedAfter.assign(world.servers.size(), 0);
                    }
                    std::vector<lrdprobe::ServerRounds> all = WorldRounds(placement, world, taken, firstOrders[p]);
                    for (int asking = 0; asking < kAskings; ++asking) {
                        Trajectory& path = paths[p][asking];
                        if (path.stops[kGoalCount - 1].done)
                            continue;
                        std::vector<lrdprobe::ServerRounds> servers = all;
                        uint64_t requests = 0;
                        for (size_t i = 0; i < servers.size(); ++i) {
                            if (path.droppedAfter[i] != 0)
                                servers[i].samples.resize(path.droppedAfter[i]);
                            requests += servers[i].samples.size();
                        }
                        size_t first = lrdprobe::RankServers(servers).front();
                        std::vector<double> contending;
                        double confidence = lrdprobe::Confidence(servers, first, lrdprobe::kDefaultTolerance,
                                                                 asking == kContenders ? &contending : nullptr);
                        for (size_t g = 0; g < kGoalCount; ++g) {
                            if (path.stops[g].done)
                                continue;
                            bool reached = confidence >= kGoals[g];
                            if (reached || r == kConfidenceCap)
                                path.stops[g] = Stop{true, reached, r, firstOrders[p][first], requests};
                        }
                        for (size_t i = 0; i < contending.size(); ++i)
                            if (i != first && path.droppedAfter[i] == 0 && contending[i] < lrdprobe::kDropBelow)
                                path.droppedAfter[i] = r;
                        pending |= !path.stops[kGoalCount - 1].done;
                    }
                }
                fprintf(stderr, "choosing, --confidence: slot %u of %u, round %u  \r", unsigned(s + 1),
                        unsigned(confidenceSlots.size()), r);
                if (!pending)
                    break;
            }
            for (size_t p = 0; p < slot.placements.size(); ++p)
                for (int asking = 0; asking < kAskings; ++asking)
                    stopsOf[slot.placements[p].world][asking] = paths[p][asking].stops;
        }
        fprintf(stderr, "\nchoosing, --confidence: %u detections\n", confidenceRounds);
        network.Quit();
        fprintf(stderr, "\n");
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    printf("\nChoosing: %u detections of up to %u servers a column, time limit %u ms, %.0f s; re-probing with "
           "[39] ReprobeCount=%u. Per cell: rate the best was chosen (mean regret, worst regret); single detections "
           "count each of the %u rounds.\n\n",
           unsigned(slots.size() * kRounds), unsigned(kSlotCapacity), kTimeLimitMs, seconds, kReprobes, kRounds);
    auto printStrays = [](std::vector<int64_t>& strays, const char* column) {
        std::sort(strays.begin(), strays.end());
        if (!strays.empty())
            printf("Measured round-trip time minus configured delay, servers without jitter, %s: median %lld ms, "
                   "95th percentile %lld ms, 99th percentile %lld ms, worst %lld ms (%u replies).\n\n",
                   column, (long long)strays[strays.size() / 2], (long long)strays[strays.size() * 95 / 100],
                   (long long)strays[strays.size() * 99 / 100], (long long)strays.back(), unsigned(strays.size()));
    };
    printStrays(strays, "single detections");
    printStrays(reprobedStrays, "single detections with re-probing");
    printf("Requests that reached the network: %llu in the single detections, %llu with re-probing (%+.1f%%). "
           "Answers it sent more than 2 ms after their time: %llu and %llu.\n\n",
           (unsigned long long)singleRequests, (unsigned long long)reprobedRequests,
           singleRequests == 0 ? 0.0 : 100.0 * (double(reprobedRequests) / double(singleRequests) - 1),
           (unsigned long long)singleLate, (unsigned long long)reprobedLate);
    printf("| servers | loss | jitter | best better by | addresses | trials | %s | %s | %s | %s |\n",
           kColumnNames[0], kColumnNames[1], kColumnNames[2], kColumnNames[3]);
    printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (size_t c = 0; c < cells.size(); ++c) {
        for (int shared = 0; shared < 2; ++shared) {
            const Cell& cell = cells[c];
            std::string servers = Format(cell.liar ? "%u, one liar" : "%u", cell.servers);
            printf("| %s | %u%% | %u ms | %u%% | %s | %u | %s | %s | %s | %s |\n", servers.c_str(), cell.lossPercent,
                   cell.jitterMs, cell.marginPercent, shared ? "shared" : "own", tally(c, shared, kToday).trials,
                   tally(c, shared, kSingle).Text().c_str(), tally(c, shared, kReprobing).Text().c_str(),
                   tally(c, shared, kToday).Text().c_str(), tally(c, shared, kNew).Text().c_str());
        }
    }

    std::vector<std::array<std::array<GoalTally, kGoalCount>, kAskings>> goalTallies(cells.size());
    for (size_t w = 0; w < worlds.size(); ++w)
        for (int asking = 0; asking < kAskings; ++asking)
            for (size_t g = 0; g < kGoalCount; ++g)
                goalTallies[worlds[w].cell][asking][g].Add(worlds[w], stopsOf[w][asking][g]);
    printf("\nlrdprobe --confidence P -c %u --tolerance %.2f, each world on addresses of its own (%u detections of "
           "up to %u servers): rate a right server was chosen (the best, or either of two tied; mean regret, worst "
           "regret), rounds taken (mean, worst), requests to the world's servers (mean). Asking only the contenders "
           "takes the same detections and leaves out each server's answers after the round after which lrdprobe "
           "would have stopped asking it.\n\n",
           kConfidenceCap, lrdprobe::kDefaultTolerance, confidenceRounds, unsigned(kSlotCapacity));
    printf("| servers | loss | jitter | best better by | trials | --confidence 0.9 --all-rounds | --confidence 0.99 "
           "--all-rounds | --confidence 0.99, contenders only |\n");
    printf("|---|---|---|---|---|---|---|---|\n");
    for (size_t c = 0; c < cells.size(); ++c) {
        const Cell& cell = cells[c];
        printf("| %u | %u%% | %u ms | %u%% | %u | %s | %s | %s |\n", cell.servers, cell.lossPercent, cell.jitterMs,
               cell.marginPercent, goalTallies[c][kAllRounds][0].tally.trials,
               goalTallies[c][kAllRounds][0].Text().c_str(), goalTallies[c][kAllRounds][1].Text().c_str(),
               goalTallies[c][kContenders][1].Text().c_str());
    }
    // Calibration: among the runs whose confidence reached P, the share that
    // chose a right server, for worlds of one best server and of two tied.
    printf("\n| goal P | asking | worlds | runs | reached P | of those, a right server chosen | capped at %u rounds "
           "| target: at least P - 2 points |\n|---|---|---|---|---|---|---|---|\n",
           kConfidenceCap);
    bool calibrated = true;
    for (int asking = 0; asking < kAskings; ++asking) {
        for (size_t g = 0; g < kGoalCount; ++g) {
            for (int tied = 0; tied < 2; ++tied) {
                uint32_t runs = 0, reached = 0, right = 0;
                for (size_t c = 0; c < cells.size(); ++c) {
                    if ((cells[c].marginPercent == 0) != (tied == 1))
                        continue;
                    runs += goalTallies[c][asking][g].tally.trials;
                    reached += goalTallies[c][asking][g].reached;
                    right += goalTallies[c][asking][g].reachedRight;
                }
                double share = reached == 0 ? 0 : double(right) / reached;
                bool met = share >= kGoals[g] - 0.02;
                calibrated &= met;
                printf("| %.2f | %s | %s | %u | %u | %s | %u | %s |\n", kGoals[g],
                       asking == kAllRounds ? "all rounds" : "contenders only", tied ? "two tied" : "one best", runs,
                       reached, Percent(share).c_str(), runs - reached, met ? "met" : "NOT met");
            }
        }
    }
    // Requests per decision at the highest goal, by the size of the worlds.
    printf("\n| servers | requests per decision at --confidence 0.99, all rounds | contenders only | share |\n"
           "|---|---|---|---|\n");
    double largestShare = 0;
    for (unsigned n : {2u, kSharedLossServers, 16u, 256u}) {
        uint64_t requests[kAskings] = {0, 0};
        uint32_t trials = 0;
        for (size_t c = 0; c < cells.size(); ++c) {
            if (cells[c].servers != n)
                continue;
            trials += goalTallies[c][kAllRounds][kGoalCount - 1].tally.trials;
            for (int asking = 0; asking < kAskings; ++asking)
                requests[asking] += goalTallies[c][asking][kGoalCount - 1].requests;
        }
        if (trials == 0)
            continue;
        double share = requests[kAllRounds] == 0 ? 0 : double(requests[kContenders]) / double(requests[kAllRounds]);
        if (n == 256)
            largestShare = share;
        printf("| %u | %.0f | %.0f | %s |\n", n, double(requests[kAllRounds]) / trials,
               double(requests[kContenders]) / trials, Percent(share).c_str());
    }

    // The targets, each over every row it names.
    auto least = [&](unsigned loss, unsigned jitter, unsigned margin, int column) {
        double rate = 1;
        uint32_t trials = 0;
        for (size_t c = 0; c < cells.size(); ++c) {
            const Cell& cell = cells[c];
            if (cell.lossPercent != loss || (jitter != ~0u && cell.jitterMs != jitter) || cell.marginPercent != margin)
                continue;
            for (int shared = 0; shared < 2; ++shared) {
                rate = std::min(rate, tally(c, shared, column).Rate());
                trials += tally(c, shared, column).trials;
            }
        }
        return std::make_pair(rate, trials);
    };
    printf("\n| target | measure | result |\n|---|---|---|\n");
    auto single = least(5, ~0u, 50, kReprobing);
    printf("| single detection with re-probing: the best in at least 99%% at 5%% loss, best 50%% better | %s | %s |\n",
           single.second == 0 ? "not built" : ("least row " + Percent(single.first)).c_str(),
           single.second == 0 ? "not met: not built" : single.first >= 0.99 ? "met" : "NOT met");
    auto asSpecified = least(5, ~0u, 50, kSingle);
    printf("| (for comparison) single detection without re-probing, same rows | least row %s | |\n",
           Percent(asSpecified.first).c_str());
    for (int column : {kToday, kNew}) {
        auto probe = least(5, 20, 10, column);
        printf("| %s: the best in at least 99%% at 5%% loss, 20 ms jitter, best 10%% better | least row %s | %s |\n",
               kColumnNames[column], Percent(probe.first).c_str(), probe.first >= 0.99 ? "met" : "NOT met");
    }
    auto sharedLoss = [&](unsigned margin) {
        double rate = 1;
        for (size_t c = 0; c < cells.size(); ++c)
            if (cells[c].servers == kSharedLossServers && cells[c].marginPercent == margin)
                for (int shared = 0; shared < 2; ++shared)
                    rate = std::min(rate, tally(c, shared, kNew).Rate());
        return rate;
    };
    printf("| lrdprobe -c 5, new rule: the best in at least 95%% with 8 servers at a uniform 20%% loss, best 50%% "
           "better | least row %s | %s |\n",
           Percent(sharedLoss(50)).c_str(), sharedLoss(50) >= 0.95 ? "met" : "NOT met");
    // One column against the single detection over the rows of the cells that
    // `take` keeps: the rows below, and the rate and mean regret over all of
    // them together, which a row of a few trials cannot show.
    auto versusSingle = [&](int column, const char* target, auto take) {
        uint32_t below = 0, rows = 0;
        Tally pooled[2];
        for (size_t c = 0; c < cells.size(); ++c) {
            if (!take(cells[c]))
                continue;
            for (int shared = 0; shared < 2; ++shared) {
                ++rows;
                below += tally(c, shared, column).Rate() < tally(c, shared, kSingle).Rate();
                for (int side = 0; side < 2; ++side) {
                    const Tally& t = tally(c, shared, side == 0 ? column : kSingle);
                    pooled[side].trials += t.trials;
                    pooled[side].chosen += t.chosen;
                    pooled[side].regret += t.regret;
                    pooled[side].worst = std::max(pooled[side].worst, t.worst);
                }
            }
        }
        printf("| %s | %u of %u rows below (%s); all rows %s against %s | %s |\n", target, below, rows,
               Percent(rows == 0 ? 0 : double(below) / rows).c_str(),
               pooled[0].Text().c_str(), pooled[1].Text().c_str(), below == 0 ? "met" : "NOT met");
    };
    versusSingle(kNew, "lrdprobe -c 5, new rule: never below a single detection", [](const Cell&) { return true; });
    versusSingle(kReprobing, "single detection with re-probing: at 0% loss never below a single detection",
                 [](const Cell& cell) { return cell.lossPercent == 0; });
    double leastGoal = 1;
    for (const auto& tallies : goalTallies)
        if (tallies[kAllRounds][1].tally.trials != 0)
            leastGoal = std::min(leastGoal, tallies[kAllRounds][1].tally.Rate());
    printf("| lrdprobe --confidence 0.99: a right server in at least 99%% in every row | least row %s | %s |\n",
           Percent(leastGoal).c_str(), leastGoal >= 0.99 ? "met" : "NOT met");
    printf("| lrdprobe --confidence calibrated within 2 points for worlds of one best and of two tied, asking every "
           "server or the contenders | the calibration table above | %s |\n",
           calibrated ? "met" : "NOT met");
    printf("| lrdprobe --confidence 0.99, contenders only: at most half the requests in the 256-server worlds | %s "
           "| %s |\n",
           Percent(largestShare).c_str(), largestShare <= 0.5 ? "met" : "NOT met");
    for (int column = 0; column < kColumns; ++column) {
        if (compared[column] == 0)
            continue;
        printf("| shared addresses never change the choice: %s | %u of %u paired choices differ (control, own "
               "addresses both: %u) | %s |\n",
               kColumnNames[column], differed[column], compared[column], controlDiffered[column],
               differed[column] == 0 ? "met" : "NOT met");
    }
    fflush(stdout);
    WSACleanup();
}
