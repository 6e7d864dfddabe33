#include "ProbeSummary.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
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
std::string LossPercent(const Row& row, uint32_t rounds)
{
    return Fixed(rounds == 0 ? 0.0 : 100.0 * double(rounds - row.replies) / double(rounds), 1);
}

bool AnyName(const std::vector<Row>& rows)
{
    return std::any_of(rows.begin(), rows.end(), [](const Row& row) { return !row.server.name.empty(); });
}

}  // namespace

Summary::Summary(std::vector<Server> servers) : m_servers(std::move(servers)), m_tallies(m_servers.size())
{
    for (size_t i = 0; i < m_servers.size(); ++i)
        m_byEndpoint[EndpointKey(m_servers[i].address, m_servers[i].port)].push_back(i);
}

void Summary::AddRound(const std::vector<IPInfo>& sorted, const std::vector<Reply>& replies)
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
        if (heard[i] == nullptr) {
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

std::vector<Row> Summary::Ranked() const
{
    std::vector<ServerRounds> inOrder;
    for (size_t i : m_firstOrder)
        inOrder.push_back(m_tallies[i]);
    double pooled = PooledLoss(inOrder);
    std::vector<Row> rows;
    for (size_t r : RankServers(inOrder)) {
        size_t i = m_firstOrder[r];
        Row row;
        row.server = m_servers[i];
        row.samples = m_tallies[i].samples;
        row.standing = Assess(m_tallies[i], pooled);
        row.replies = row.standing.replies;
        if (row.Answered()) {
            row.rttMin = UINT32_MAX;
            for (uint32_t sample : row.samples)
                if (sample != kLost) {
                    row.rttMin = std::min(row.rttMin, sample);
                    row.rttMax = std::max(row.rttMax, sample);
                }
            row.rttMedian = row.standing.medianMs;
            row.load = m_tallies[i].load;
        }
        rows.push_back(row);
    }
    return rows;
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

std::string FormatTable(const std::vector<Row>& rows, uint32_t rounds)
{
    bool names = AnyName(rows);
    std::vector<std::vector<std::string>> cells = {{"rank", "address", "port",
                                                    rounds == 1 ? "rtt ms" : "rtt ms min/med/max", "expect ms",
                                                    "load", "score", "replies", "loss"}};
    if (names)
        cells[0].push_back("name");
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        cells.push_back({std::to_string(i + 1), row.server.address, std::to_string(row.server.port),
                         RttText(row, rounds), row.Answered() ? Fixed(row.standing.expectedMs, 1) : "-",
                         row.Answered() ? std::to_string(row.load) : "-", row.Answered() ? Fixed(row.Score(), 0) : "-",
                         std::to_string(row.replies) + "/" + std::to_string(rounds), LossPercent(row, rounds) + "%"});
        if (names)
            cells.back().push_back(row.server.name);
    }
    std::vector<size_t> widths(cells[0].size(), 0);
    for (const auto& line : cells)
        for (size_t c = 0; c < line.size(); ++c)
            widths[c] = std::max(widths[c], line[c].size());
    std::string out;
    for (const auto& line : cells) {
        std::string text;
        for (size_t c = 0; c < line.size(); ++c) {
            // Address and name read best flush left, the numbers flush right.
            std::string pad(widths[c] - line[c].size(), ' ');
            bool left = c == 1 || (names && c + 1 == line.size());
            text += (left ? line[c] + pad : pad + line[c]) + (c + 1 < line.size() ? "  " : "");
        }
        out += text.substr(0, text.find_last_not_of(' ') + 1) + "\n";
    }
    return out;
}

std::string FormatCsv(const std::vector<Row>& rows, uint32_t rounds)
{
    std::ostringstream out;
    out << "rank,address,port,answered,rtt_min_ms,rtt_median_ms,rtt_max_ms,load,score,replies,rounds,loss_percent,"
           "name,expected_ms\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        out << i + 1 << "," << row.server.address << "," << row.server.port << ",";
        if (row.Answered())
            out << "true," << row.rttMin << "," << Ms(row.rttMedian) << "," << row.rttMax << "," << row.load << ","
                << Fixed(row.Score(), 0);
        else
            out << "false,,,,,";
        out << "," << row.replies << "," << rounds << "," << LossPercent(row, rounds) << "," << row.server.name << ","
            << (row.Answered() ? Fixed(row.standing.expectedMs, 1) : "") << "\n";
    }
    return out.str();
}

std::string FormatJson(const std::vector<Row>& rows, uint32_t rounds, uint32_t timeLimitMs)
{
    std::ostringstream out;
    out << "{\n  \"rounds\": " << rounds << ",\n  \"time_limit_ms\": " << timeLimitMs << ",\n  \"servers\": [";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        // Host names hold letters, digits, hyphens and dots only: nothing to escape.
        out << (i == 0 ? "\n" : ",\n") << "    {\"rank\": " << i + 1 << ", \"address\": \"" << row.server.address
            << "\", \"port\": " << row.server.port << ", \"name\": "
            << (row.server.name.empty() ? "null" : "\"" + row.server.name + "\"")
            << ", \"answered\": " << (row.Answered() ? "true" : "false");
        if (row.Answered())
            out << ", \"rtt_ms\": {\"min\": " << row.rttMin << ", \"median\": " << Ms(row.rttMedian)
                << ", \"max\": " << row.rttMax << "}, \"expected_ms\": " << Fixed(row.standing.expectedMs, 1)
                << ", \"load\": " << row.load << ", \"score\": " << Fixed(row.Score(), 0);
        else
            out << ", \"rtt_ms\": null, \"expected_ms\": null, \"load\": null, \"score\": null";
        out << ", \"replies\": " << row.replies << ", \"loss_percent\": " << LossPercent(row, rounds) << "}";
    }
    out << "\n  ]\n}\n";
    return out.str();
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
