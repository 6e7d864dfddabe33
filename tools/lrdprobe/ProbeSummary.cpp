#include "ProbeSummary.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <sstream>

namespace lrdprobe {

namespace {

// What a candidate's load is until a long reply says otherwise.
constexpr uint32_t kUnansweredLoad = 100;

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

uint32_t Median(std::vector<uint32_t> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    if (n % 2 == 1)
        return values[n / 2];
    return uint32_t(((uint64_t)values[n / 2 - 1] + values[n / 2]) / 2);
}

bool Better(const Row& a, const Row& b)
{
    if (a.replies != b.replies)
        return a.replies > b.replies;
    if (!a.Answered())
        return false;
    if (a.Score() != b.Score())
        return a.Score() < b.Score();
    return a.load < b.load;
}

std::string RttText(const Row& row, uint32_t rounds)
{
    if (!row.Answered())
        return "no reply";
    if (rounds == 1)
        return std::to_string(row.rttMedian);
    return std::to_string(row.rttMin) + "/" + std::to_string(row.rttMedian) + "/" + std::to_string(row.rttMax);
}

uint32_t LossPercent(const Row& row, uint32_t rounds)
{
    return rounds == 0 ? 0 : uint32_t(((uint64_t)(rounds - row.replies) * 100 + rounds / 2) / rounds);
}

bool AnyName(const std::vector<Row>& rows)
{
    return std::any_of(rows.begin(), rows.end(), [](const Row& row) { return !row.server.name.empty(); });
}

// Servers taken in the order given, skipping those already taken.
struct Queue {
    std::vector<size_t> items;
    size_t next = 0;

    size_t Take(const std::vector<bool>& taken)
    {
        while (next < items.size() && taken[items[next]])
            ++next;
        return next < items.size() ? items[next++] : SIZE_MAX;
    }
};

// The servers of one address, as candidates for that address's records.
struct AddressPool {
    std::unordered_map<uint32_t, Queue> heardByRtt;  // by the time of their reply
    Queue silent;
    Queue all;
};

}  // namespace

Summary::Summary(std::vector<Server> servers) : m_servers(std::move(servers)), m_tallies(m_servers.size())
{
    for (size_t i = 0; i < m_servers.size(); ++i) {
        m_byEndpoint[EndpointKey(m_servers[i].address, m_servers[i].port)].push_back(i);
        m_byAddress[AddressNumber(m_servers[i].address)].push_back(i);
    }
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

    // Each record goes to a server of its address: preferably one whose reply
    // showed the record's time, else one that was not heard from, else any left.
    // A short reply sets the time of every record of its address, so with several
    // servers on one address this is the best guess the records allow; it decides
    // only which load a server gets and the order of equal servers.
    std::vector<bool> taken(m_servers.size(), false);
    std::vector<const IPInfo*> recordOf(m_servers.size(), nullptr);
    std::vector<size_t> order;
    std::unordered_map<uint32_t, AddressPool> pools;
    for (const IPInfo& record : sorted) {
        auto servers = m_byAddress.find(AddressNumber(record.szIP, strnlen(record.szIP, sizeof record.szIP)));
        if (servers == m_byAddress.end())
            continue;
        // The common case, one server on the address, needs no pool.
        if (servers->second.size() == 1) {
            size_t only = servers->second.front();
            if (!taken[only]) {
                taken[only] = true;
                recordOf[only] = &record;
                order.push_back(only);
            }
            continue;
        }
        auto made = pools.try_emplace(servers->first);
        AddressPool& pool = made.first->second;
        if (made.second) {
            pool.all.items = servers->second;
            for (size_t i : servers->second)
                (heard[i] != nullptr ? pool.heardByRtt[heard[i]->rtt] : pool.silent).items.push_back(i);
        }
        size_t chosen = SIZE_MAX;
        auto sameTime = pool.heardByRtt.find(record.dwRTT);
        if (sameTime != pool.heardByRtt.end())
            chosen = sameTime->second.Take(taken);
        if (chosen == SIZE_MAX)
            chosen = pool.silent.Take(taken);
        if (chosen == SIZE_MAX)
            chosen = pool.all.Take(taken);
        if (chosen == SIZE_MAX)
            continue;
        taken[chosen] = true;
        recordOf[chosen] = &record;
        order.push_back(chosen);
    }
    for (size_t i = 0; i < m_servers.size(); ++i) {
        if (heard[i] == nullptr)
            continue;
        m_tallies[i].rtts.push_back(heard[i]->rtt);
        m_tallies[i].load = recordOf[i] != nullptr ? recordOf[i]->dwLoad : kUnansweredLoad;
    }
    if (m_rounds == 1) {
        for (size_t i = 0; i < m_servers.size(); ++i)
            if (!taken[i])
                order.push_back(i);
        m_firstOrder = order;
    }
}

bool Summary::AnyAnswered() const
{
    return std::any_of(m_tallies.begin(), m_tallies.end(), [](const Tally& t) { return !t.rtts.empty(); });
}

bool Summary::Listed(const Reply& reply) const
{
    return m_byEndpoint.count(EndpointKey(reply.address, reply.port)) != 0;
}

std::vector<Row> Summary::Ranked() const
{
    std::vector<Row> rows;
    for (size_t i : m_firstOrder) {
        Row row;
        row.server = m_servers[i];
        const Tally& tally = m_tallies[i];
        row.replies = uint32_t(tally.rtts.size());
        if (row.Answered()) {
            row.rttMin = *std::min_element(tally.rtts.begin(), tally.rtts.end());
            row.rttMax = *std::max_element(tally.rtts.begin(), tally.rtts.end());
            row.rttMedian = Median(tally.rtts);
            row.load = tally.load;
        }
        rows.push_back(row);
    }
    std::stable_sort(rows.begin(), rows.end(), Better);
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
                                                    rounds == 1 ? "rtt ms" : "rtt ms min/med/max", "load", "score",
                                                    "replies", "loss"}};
    if (names)
        cells[0].push_back("name");
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        cells.push_back({std::to_string(i + 1), row.server.address, std::to_string(row.server.port),
                         RttText(row, rounds), row.Answered() ? std::to_string(row.load) : "-",
                         row.Answered() ? std::to_string(row.Score()) : "-",
                         std::to_string(row.replies) + "/" + std::to_string(rounds),
                         std::to_string(LossPercent(row, rounds)) + "%"});
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
           "name\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        out << i + 1 << "," << row.server.address << "," << row.server.port << ",";
        if (row.Answered())
            out << "true," << row.rttMin << "," << row.rttMedian << "," << row.rttMax << "," << row.load << ","
                << row.Score();
        else
            out << "false,,,,,";
        out << "," << row.replies << "," << rounds << "," << LossPercent(row, rounds) << "," << row.server.name
            << "\n";
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
            out << ", \"rtt_ms\": {\"min\": " << row.rttMin << ", \"median\": " << row.rttMedian
                << ", \"max\": " << row.rttMax << "}, \"load\": " << row.load << ", \"score\": " << row.Score();
        else
            out << ", \"rtt_ms\": null, \"load\": null, \"score\": null";
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
