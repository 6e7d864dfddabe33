#include "ProbeSummary.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace lrdprobe {

namespace {

// Canonical dotted text as a number; 0, which no listed server has, for any
// other text. Every text here is canonical: lrdprobe wrote the servers', the
// detector the replies' and the records'.
uint32_t AddressNumber(const char* text, size_t length)
{
    uint32_t address = 0, part = 0;
    int dots = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '.') {
            address = address << 8 | part;
            part = 0;
            ++dots;
        } else if (text[i] >= '0' && text[i] <= '9' && part < 256) {
            part = part * 10 + uint32_t(text[i] - '0');
        } else {
            return 0;
        }
    }
    return dots == 3 && part < 256 ? address << 8 | part : 0;
}

uint32_t AddressNumber(const std::string& text) { return AddressNumber(text.data(), text.size()); }

uint64_t EndpointKey(const std::string& address, uint16_t port) { return (uint64_t)AddressNumber(address) << 16 | port; }

std::string Fixed(double value, int decimals)
{
    char text[48];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Whole milliseconds as such, a median between two of them with its half.
std::string Ms(double value) { return Fixed(value, value == double(uint64_t(value)) ? 0 : 1); }

std::string RttText(const Row& row, uint32_t rounds)
{
    if (!row.Answered())
        return "no reply";
    if (rounds == 1)
        return Ms(row.rttMedian);
    return std::to_string(row.rttMin) + "/" + Ms(row.rttMedian) + "/" + std::to_string(row.rttMax);
}

// The share of rounds lost, in percent with one decimal: one lost reply in a
// thousand rounds shows.
std::string LossText(const Row& row) { return Fixed(row.LossPercent(), 1); }

bool AnyName(const std::vector<Row>& rows)
{
    return std::any_of(rows.begin(), rows.end(), [](const Row& row) { return !row.server.name.empty(); });
}

// Characters as a terminal shows them: UTF-8 continuation bytes take no room.
size_t Width(const std::string& text)
{
    return size_t(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// One bar per round on the scale of all rows, so that servers compare; a gap
// for a round without its reply.
std::string Bars(const Row& row, const TimeScale& scale)
{
    static const char* const kLevels[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                          "\u2585", "\u2586", "\u2587", "\u2588"};
    size_t first = row.samples.size() > kBarRounds ? row.samples.size() - kBarRounds : 0;
    std::string bars;
    for (size_t r = first; r < row.samples.size(); ++r) {
        uint32_t sample = row.samples[r];
        if (sample == kLost)
            bars += ' ';
        else if (sample > scale.high)
            bars += "\u25B2";
        else
            bars += kLevels[std::min(7, int(scale.Level(sample) * 8))];
    }
    return bars;
}

// Rounded down, so that a figure shown never reads as a goal it missed.
std::string FloorFixed(double value, int decimals)
{
    double scale = std::pow(10.0, decimals);
    return Fixed(std::floor(value * scale + 1e-9) / scale, decimals);
}

// A share as a percentage, as short as it goes: "5%", "99.5%".
std::string ShareText(double share)
{
    char text[32];
    snprintf(text, sizeof text, "%g%%", 100 * share);
    return text;
}

std::string ConfidenceShare(const RunInfo& run) { return run.confidence < 0 ? "" : FloorFixed(run.confidence, 4); }

double Quantile(const std::vector<uint32_t>& sorted, double p)
{
    double at = p * double(sorted.size() - 1);
    size_t below = size_t(at);
    if (below + 1 >= sorted.size())
        return sorted.back();
    return sorted[below] + (at - double(below)) * (double(sorted[below + 1]) - double(sorted[below]));
}

std::string SamplesText(const Row& row)
{
    std::string text;
    for (uint32_t sample : row.samples)
        text += (text.empty() ? "" : " ") + (sample == kLost ? std::string("-") : std::to_string(sample));
    return text;
}

}  // namespace

const char kLoadDefaultNote[] =
    "100*: no load in the replies, or a load of 100, which the detector does not tell apart; counted as 100";

std::string LoadText(const Row& row) { return std::to_string(row.load) + (row.LoadDefault() ? "*" : ""); }

Summary::Summary(std::vector<Server> servers, double tolerance)
    : m_servers(std::move(servers)), m_tallies(m_servers.size()), m_droppedAfter(m_servers.size(), 0),
      m_tolerance(tolerance)
{
    for (size_t i = 0; i < m_servers.size(); ++i)
        m_byEndpoint[EndpointKey(m_servers[i].address, m_servers[i].port)].push_back(i);
}

void Summary::AddRound(const std::vector<IPInfo>& sorted, const std::vector<Reply>& replies, bool cutInTime)
{
    ++m_rounds;
    std::vector<const Reply*> heard(m_servers.size(), nullptr);
    for (const Reply& reply : replies) {
        auto found = m_byEndpoint.find(EndpointKey(reply.address, reply.port));
        if (found != m_byEndpoint.end())
            for (size_t i : found->second)
                heard[i] = &reply;
    }

    // Each record carries its server's address and port; servers listed more
    // than once take that endpoint's records in turn.
    std::vector<const IPInfo*> recordOf(m_servers.size(), nullptr);
    std::unordered_map<uint64_t, size_t> nextOfEndpoint;
    std::vector<size_t> order;
    for (const IPInfo& record : sorted) {
        uint64_t key = (uint64_t)AddressNumber(record.szIP, strnlen(record.szIP, sizeof record.szIP)) << 16 |
                       record.ushPort;
        auto servers = m_byEndpoint.find(key);
        if (servers == m_byEndpoint.end())
            continue;
        size_t& next = nextOfEndpoint[key];
        if (next == servers->second.size())
            continue;
        size_t i = servers->second[next++];
        recordOf[i] = &record;
        order.push_back(i);
    }
    for (size_t i = 0; i < m_servers.size(); ++i) {
        ServerRounds& tally = m_tallies[i];
        if (m_droppedAfter[i] != 0)
            continue;
        if (heard[i] == nullptr) {
            if (!cutInTime)
                tally.samples.push_back(kLost);
            continue;
        }
        // A reply the sink reports within 5000 ms is never kLost's value.
        tally.samples.push_back(heard[i]->rtt);
        tally.load = recordOf[i] != nullptr ? recordOf[i]->dwLoad : kDefaultLoad;
    }
    if (m_rounds == 1) {
        for (size_t i = 0; i < m_servers.size(); ++i)
            if (recordOf[i] == nullptr)
                order.push_back(i);
        m_firstOrder = order;
    }
}

bool Summary::AnyAnswered() const
{
    return std::any_of(m_tallies.begin(), m_tallies.end(), [](const ServerRounds& tally) {
        return std::any_of(tally.samples.begin(), tally.samples.end(), [](uint32_t s) { return s != kLost; });
    });
}

bool Summary::Listed(const Reply& reply) const
{
    return m_byEndpoint.count(EndpointKey(reply.address, reply.port)) != 0;
}

std::vector<ServerRounds> Summary::InFirstOrder() const
{
    std::vector<ServerRounds> inOrder;
    for (size_t i : m_firstOrder)
        inOrder.push_back(m_tallies[i]);
    return inOrder;
}

std::vector<Row> Summary::Ranked() const
{
    std::vector<ServerRounds> inOrder = InFirstOrder();
    LossPrior prior = FitLossPrior(inOrder);
    std::vector<Row> rows;
    for (size_t r : RankServers(inOrder)) {
        size_t i = m_firstOrder[r];
        Row row;
        row.server = m_servers[i];
        row.samples = m_tallies[i].samples;
        row.standing = Assess(m_tallies[i], prior);
        row.replies = row.standing.replies;
        row.droppedAfter = m_droppedAfter[i];
        if (row.Answered()) {
            row.rttMin = UINT32_MAX;
            for (uint32_t sample : row.samples)
                if (sample != kLost) {
                    row.rttMin = std::min(row.rttMin, sample);
                    row.rttMax = std::max(row.rttMax, sample);
                }
            row.rttMedian = row.standing.medianMs;
            row.load = m_tallies[i].load;
            row.tied = !rows.empty() && rows.front().Answered() &&
                       WithinTolerance(row.Score(), rows.front().Score(), m_tolerance);
        }
        row.rank = uint32_t(rows.size() + 1);
        rows.push_back(row);
    }
    return rows;
}

double Summary::Confidence(std::vector<double>* contending) const
{
    std::vector<ServerRounds> inOrder = InFirstOrder();
    if (inOrder.empty())
        return -1;
    std::vector<double> inFirstOrder;
    double confidence = lrdprobe::Confidence(inOrder, RankServers(inOrder).front(), m_tolerance,
                                             contending != nullptr ? &inFirstOrder : nullptr);
    if (contending != nullptr) {
        contending->assign(m_servers.size(), 0);
        for (size_t r = 0; r < inFirstOrder.size(); ++r)
            (*contending)[m_firstOrder[r]] = inFirstOrder[r];
    }
    return confidence;
}

void Summary::DropHopeless(const std::vector<double>& contending)
{
    std::vector<ServerRounds> inOrder = InFirstOrder();
    if (inOrder.empty())
        return;
    size_t first = m_firstOrder[RankServers(inOrder).front()];
    for (size_t i = 0; i < m_servers.size() && i < contending.size(); ++i)
        if (i != first && m_droppedAfter[i] == 0 && contending[i] < kDropBelow)
            m_droppedAfter[i] = m_rounds;
}

std::vector<Server> Summary::Contenders() const
{
    std::vector<Server> servers;
    for (size_t i = 0; i < m_servers.size(); ++i)
        if (m_droppedAfter[i] == 0)
            servers.push_back(m_servers[i]);
    return servers;
}

RoundProgress::RoundProgress(const std::vector<Server>& servers)
{
    for (const Server& server : servers)
        m_endpoints.emplace(EndpointKey(server.address, server.port), false);
}

bool RoundProgress::Heard(const Reply& reply)
{
    auto found = m_endpoints.find(EndpointKey(reply.address, reply.port));
    if (found == m_endpoints.end())
        return false;
    if (!found->second) {
        found->second = true;
        ++m_answered;
    }
    return true;
}

double TimeScale::Level(double ms) const
{
    if (ms >= high)
        return 1;
    if (!logarithmic)
        return std::max(0.0, ms / high);
    return std::max(0.0, std::log(std::max(ms, low) / low) / std::log(high / low));
}

std::string TimeScale::Text() const
{
    return (logarithmic ? "log, " + Ms(low) : std::string("0")) + " to " + Ms(high) + " ms";
}

TimeScale ScaleOf(const std::vector<Row>& rows)
{
    TimeScale scale;
    double fastest = -1, slowest = 0;
    for (const Row& row : rows) {
        std::vector<uint32_t> times;
        for (uint32_t sample : row.samples)
            if (sample != kLost)
                times.push_back(sample);
        if (times.empty())
            continue;
        std::sort(times.begin(), times.end());
        double q1 = Quantile(times, 0.25), q3 = Quantile(times, 0.75);
        double fence = std::max(q3 + 3 * (q3 - q1), 2 * q3);
        for (uint32_t time : times)
            if (time <= fence)
                slowest = std::max(slowest, double(time));
        fastest = fastest < 0 ? times.front() : std::min(fastest, double(times.front()));
    }
    scale.high = std::max(slowest, 1.0);
    double floor = std::max(fastest, 1.0);
    if (scale.high >= kLogRange * floor) {
        scale.logarithmic = true;
        scale.low = floor / 2;
    }
    return scale;
}

std::vector<Row> Select(const std::vector<Row>& rows, bool onlyAnswering, bool onlySilent)
{
    std::vector<Row> kept;
    for (const Row& row : rows)
        if (!(onlyAnswering && !row.Answered()) && !(onlySilent && row.Answered()))
            kept.push_back(row);
    return kept;
}

std::string FormatTable(const std::vector<Row>& rows, const RunInfo& run, bool samples)
{
    uint32_t rounds = run.roundsDone;
    bool names = AnyName(rows);
    bool bars = rounds >= 5;
    bool dropped = std::any_of(rows.begin(), rows.end(), [](const Row& row) { return row.droppedAfter != 0; });
    std::vector<std::vector<std::string>> cells = {{"rank", "address", "port",
                                                    rounds == 1 ? "rtt ms" : "rtt ms min/med/max", "expect ms",
                                                    "load", "score", "replies", "loss"}};
    if (bars)
        cells[0].push_back(rounds > kBarRounds ? "last " + std::to_string(kBarRounds) + " rounds" : "rounds");
    if (dropped)
        cells[0].push_back("dropped");
    if (names)
        cells[0].push_back("name");
    TimeScale scale = ScaleOf(rows);
    for (const Row& row : rows) {
        cells.push_back({std::to_string(row.rank), row.server.address, std::to_string(row.server.port),
                         RttText(row, rounds), row.Answered() ? Fixed(row.standing.expectedMs, 1) : "-",
                         row.Answered() ? LoadText(row) : "-", row.Answered() ? Fixed(row.Score(), 0) : "-",
                         std::to_string(row.replies) + "/" + std::to_string(row.samples.size()),
                         LossText(row) + "%"});
        if (bars)
            cells.back().push_back(Bars(row, scale));
        if (dropped)
            cells.back().push_back(row.droppedAfter != 0 ? "after " + std::to_string(row.droppedAfter) : "");
        if (names)
            cells.back().push_back(row.server.name);
    }
    std::vector<size_t> widths(cells[0].size(), 0);
    for (const auto& line : cells)
        for (size_t c = 0; c < line.size(); ++c)
            widths[c] = std::max(widths[c], Width(line[c]));
    std::string out;
    for (const auto& line : cells) {
        std::string text;
        for (size_t c = 0; c < line.size(); ++c) {
            // Address, bars and name read best flush left, the numbers flush right.
            std::string pad(widths[c] - Width(line[c]), ' ');
            bool left = c == 1 || c >= 9;
            text += (left ? line[c] + pad : pad + line[c]) + (c + 1 < line.size() ? "  " : "");
        }
        out += text.substr(0, text.find_last_not_of(' ') + 1) + "\n";
    }
    if (samples) {
        // fping -C's form: the endpoint, a colon, the times.
        size_t width = 0;
        for (const Row& row : rows)
            width = std::max(width, row.server.address.size() + 1 + std::to_string(row.server.port).size());
        for (const Row& row : rows) {
            std::string endpoint = row.server.address + ":" + std::to_string(row.server.port);
            out += endpoint + std::string(width - endpoint.size(), ' ') + " : " + SamplesText(row) + "\n";
        }
    }
    // One server that answered is the best for sure: the line would say nothing.
    auto answered = std::count_if(rows.begin(), rows.end(), [](const Row& row) { return row.Answered(); });
    if (run.confidence >= 0 && (answered >= 2 || run.confidenceGoal > 0))
        out += ConfidenceText(run) + "\n";
    std::string tied = TiedText(rows, run);
    if (!tied.empty())
        out += tied + "\n";
    if (std::any_of(rows.begin(), rows.end(), [](const Row& row) { return row.LoadDefault(); }))
        out += std::string(kLoadDefaultNote) + "\n";
    if (run.interrupted)
        out += InterruptText(run) + "\n";
    return out;
}

std::string FormatCsv(const std::vector<Row>& rows, const RunInfo& run)
{
    std::ostringstream out;
    out << "rank,address,port,answered,rtt_min_ms,rtt_median_ms,rtt_max_ms,load,score,replies,rounds,loss_percent,"
           "name,expected_ms,rounds_asked,interrupted,rtts_ms,confidence,tied,dropped_after_round,load_default\n";
    for (const Row& row : rows) {
        out << row.rank << "," << row.server.address << "," << row.server.port << ",";
        if (row.Answered())
            out << "true," << row.rttMin << "," << Ms(row.rttMedian) << "," << row.rttMax << "," << row.load << ","
                << Fixed(row.Score(), 0);
        else
            out << "false,,,,,";
        out << "," << row.replies << "," << row.samples.size() << "," << LossText(row) << "," << row.server.name
            << "," << (row.Answered() ? Fixed(row.standing.expectedMs, 1) : "") << "," << run.roundsAsked << ","
            << (run.interrupted ? "true" : "false") << "," << SamplesText(row) << "," << ConfidenceShare(run) << ","
            << (row.tied ? "true" : "false") << "," << (row.droppedAfter != 0 ? std::to_string(row.droppedAfter) : "")
            << "," << (row.LoadDefault() ? "true" : "false") << "\n";
    }
    return out.str();
}

std::string FormatJson(const std::vector<Row>& rows, const RunInfo& run)
{
    std::ostringstream out;
    out << "{\n  \"rounds\": " << run.roundsDone << ",\n  \"rounds_asked\": " << run.roundsAsked
        << ",\n  \"interrupted\": " << (run.interrupted ? "true" : "false")
        << ",\n  \"last_round_cut\": " << (run.lastRoundCut ? "true" : "false")
        << ",\n  \"confidence\": " << (run.confidence < 0 ? "null" : ConfidenceShare(run))
        << ",\n  \"confidence_goal\": " << (run.confidenceGoal > 0 ? Fixed(run.confidenceGoal, 4) : "null")
        << ",\n  \"confidence_reached\": "
        << (run.confidenceGoal > 0 ? (run.Reached() ? "true" : "false") : "null")
        << ",\n  \"tolerance\": " << Fixed(run.tolerance, 4)
        << ",\n  \"time_limit_ms\": " << run.timeLimitMs << ",\n  \"period_ms\": "
        << (run.roundTimes.size() > 1 ? std::to_string(run.periodMs) : "null")
        << ",\n  \"period_asked_ms\": " << run.periodAskedMs << ",\n  \"round_times\": [";
    for (size_t r = 0; r < run.roundTimes.size(); ++r)
        out << (r == 0 ? "\n" : ",\n") << "    {\"round\": " << r + 1 << ", \"start\": \"" << run.roundTimes[r].start
            << "\", \"duration_ms\": " << run.roundTimes[r].durationMs << "}";
    out << (run.roundTimes.empty() ? "" : "\n  ") << "],\n  \"servers\": [";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        // Host names hold letters, digits, hyphens and dots only: nothing to escape.
        out << (i == 0 ? "\n" : ",\n") << "    {\"rank\": " << row.rank << ", \"address\": \"" << row.server.address
            << "\", \"port\": " << row.server.port << ", \"name\": "
            << (row.server.name.empty() ? "null" : "\"" + row.server.name + "\"")
            << ", \"answered\": " << (row.Answered() ? "true" : "false");
        if (row.Answered())
            out << ", \"rtt_ms\": {\"min\": " << row.rttMin << ", \"median\": " << Ms(row.rttMedian)
                << ", \"max\": " << row.rttMax << "}, \"expected_ms\": " << Fixed(row.standing.expectedMs, 1)
                << ", \"load\": " << row.load << ", \"load_default\": " << (row.LoadDefault() ? "true" : "false")
                << ", \"score\": " << Fixed(row.Score(), 0);
        else
            out << ", \"rtt_ms\": null, \"expected_ms\": null, \"load\": null, \"load_default\": false, "
                   "\"score\": null";
        out << ", \"tied\": " << (row.tied ? "true" : "false") << ", \"dropped_after_round\": "
            << (row.droppedAfter != 0 ? std::to_string(row.droppedAfter) : "null");
        out << ", \"replies\": " << row.replies << ", \"loss_percent\": " << LossText(row) << ", \"samples_ms\": [";
        for (size_t r = 0; r < row.samples.size(); ++r)
            out << (r == 0 ? "" : ", ") << (row.samples[r] == kLost ? "null" : std::to_string(row.samples[r]));
        out << "]}";
    }
    out << (rows.empty() ? "" : "\n  ") << "]\n}\n";
    return out.str();
}

std::string InterruptText(const RunInfo& run)
{
    return "interrupted after " + std::to_string(run.roundsDone) + " of " + std::to_string(run.roundsAsked) +
           " rounds" + (run.lastRoundCut ? ", the last cut short" : "");
}

std::string ConfidenceText(const RunInfo& run)
{
    if (run.confidence < 0)
        return {};
    std::string figure = run.confidence > 0.999 ? "> 99.9" : FloorFixed(100 * run.confidence, 1);
    std::string text = "confidence " + figure + "% that rank 1 is " +
                       (run.tolerance > 0 ? "within " + ShareText(run.tolerance) + " of the best" : "the best");
    if (run.confidenceGoal <= 0)
        return text;
    std::string rounds = std::to_string(run.roundsDone) + (run.roundsDone == 1 ? " round" : " rounds");
    return text + ": --confidence " + ShareText(run.confidenceGoal) + (run.Reached() ? " reached after " : " not reached in ") +
           rounds;
}

std::string TiedText(const std::vector<Row>& rows, const RunInfo& run)
{
    std::string names;
    size_t tied = 0;
    for (const Row& row : rows) {
        if (!row.tied)
            continue;
        if (++tied <= kTiedNamed)
            names += (names.empty() ? "" : ", ") + row.server.address + ":" + std::to_string(row.server.port);
    }
    if (tied == 0)
        return {};
    if (tied > kTiedNamed)
        names += " and " + std::to_string(tied - kTiedNamed) + " more";
    return "tied with rank 1 within " + ShareText(run.tolerance) + ": " + names;
}

std::string FormatStats(const std::vector<Row>& rows, const RunInfo& run, uint32_t unresolved, uint32_t elapsedMs)
{
    auto answered = unsigned(std::count_if(rows.begin(), rows.end(), [](const Row& row) { return row.Answered(); }));
    auto servers = unsigned(rows.size());
    char text[512];
    snprintf(text, sizeof text,
             "%9u servers\n%9u answered\n%9u silent\n%9u unresolved\n%9u rounds done of %u%s\n%9.3f s elapsed\n",
             servers, answered, servers - answered, unresolved, run.roundsDone, run.roundsAsked,
             run.interrupted ? " (interrupted)" : "", elapsedMs / 1000.0);
    return text;
}

std::string LiveLine(const Reply& reply, bool listed, uint32_t round, uint32_t rounds)
{
    std::string line;
    if (rounds > 1)
        line = "round " + std::to_string(round) + "/" + std::to_string(rounds) + ": ";
    line += reply.address + ":" + std::to_string(reply.port) + " answered in " + std::to_string(reply.rtt) + " ms";
    if (!listed)
        line += " (not a listed server)";
    return line + "\n";
}

}  // namespace lrdprobe
