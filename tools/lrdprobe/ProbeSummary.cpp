#include "ProbeSummary.h"

#include <string.h>

#include <algorithm>
#include <sstream>

#include "CandidateList.h"

namespace lrdprobe {

namespace {

// What a candidate holds until a reply says otherwise.
constexpr uint32_t kUnansweredRtt = 5000;
constexpr uint32_t kUnansweredLoad = 100;

const Reply* LastReplyFrom(const std::vector<Reply>& replies, const Server& server)
{
    const Reply* found = nullptr;
    for (const Reply& reply : replies)
        if (reply.port == server.port && reply.address == server.address)
            found = &reply;
    return found;
}

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
    if (a.Answered() != b.Answered())
        return a.Answered();
    if (!a.Answered())
        return false;
    IPInfo x = {}, y = {};
    x.dwRTT = a.rttMedian;
    x.dwLoad = a.load;
    y.dwRTT = b.rttMedian;
    y.dwLoad = b.load;
    return IPInfoLess(x, y);
}

std::string RttText(const Row& row, uint32_t rounds)
{
    if (!row.Answered())
        return "no reply";
    if (rounds == 1)
        return std::to_string(row.rttMedian);
    return std::to_string(row.rttMin) + "/" + std::to_string(row.rttMedian) + "/" + std::to_string(row.rttMax);
}

}  // namespace

Summary::Summary(std::vector<Server> servers) : m_servers(std::move(servers)), m_tallies(m_servers.size()) {}

void Summary::AddRound(const std::vector<IPInfo>& sorted, const std::vector<Reply>& replies)
{
    ++m_rounds;
    // The result array carries no ports: each record goes to a server of its
    // address, preferably one whose own reply showed the record's time, else, for
    // a record no reply touched, one that was not heard from.
    std::vector<bool> taken(m_servers.size(), false);
    std::vector<size_t> order;
    for (const IPInfo& record : sorted) {
        std::string address(record.szIP, strnlen(record.szIP, sizeof record.szIP));
        bool untouched = record.dwRTT == kUnansweredRtt && record.dwLoad == kUnansweredLoad;
        size_t chosen = m_servers.size();
        int bestScore = -1;
        for (size_t i = 0; i < m_servers.size(); ++i) {
            if (taken[i] || m_servers[i].address != address)
                continue;
            const Reply* heard = LastReplyFrom(replies, m_servers[i]);
            int score = (heard != nullptr && heard->rtt == record.dwRTT) ? 2 : (heard == nullptr && untouched) ? 1 : 0;
            if (score > bestScore) {
                bestScore = score;
                chosen = i;
            }
        }
        if (chosen == m_servers.size())
            continue;
        taken[chosen] = true;
        order.push_back(chosen);
        // A reply after the sink's reporting window still updates the record, and
        // a reply may measure exactly 5000 ms: either sign counts.
        if (!untouched || LastReplyFrom(replies, m_servers[chosen]) != nullptr) {
            m_tallies[chosen].rtts.push_back(record.dwRTT);
            m_tallies[chosen].load = record.dwLoad;
        }
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
    return std::any_of(m_servers.begin(), m_servers.end(),
                       [&](const Server& s) { return s.port == reply.port && s.address == reply.address; });
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

std::string FormatTable(const std::vector<Row>& rows, uint32_t rounds)
{
    std::vector<std::vector<std::string>> cells = {
        {"rank", "address", "port", rounds == 1 ? "rtt ms" : "rtt ms min/med/max", "load", "replies"}};
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        cells.push_back({std::to_string(i + 1), row.server.address, std::to_string(row.server.port),
                         RttText(row, rounds), row.Answered() ? std::to_string(row.load) : "-",
                         std::to_string(row.replies) + "/" + std::to_string(rounds)});
    }
    std::vector<size_t> widths(cells[0].size(), 0);
    for (const auto& line : cells)
        for (size_t c = 0; c < line.size(); ++c)
            widths[c] = std::max(widths[c], line[c].size());
    std::string out;
    for (const auto& line : cells) {
        std::string text;
        for (size_t c = 0; c < line.size(); ++c) {
            // The address reads best flush left, the numbers flush right.
            std::string pad(widths[c] - line[c].size(), ' ');
            text += (c == 1 ? line[c] + pad : pad + line[c]) + (c + 1 < line.size() ? "  " : "");
        }
        out += text.substr(0, text.find_last_not_of(' ') + 1) + "\n";
    }
    return out;
}

std::string FormatCsv(const std::vector<Row>& rows, uint32_t rounds)
{
    std::ostringstream out;
    out << "rank,address,port,answered,rtt_min_ms,rtt_median_ms,rtt_max_ms,load,replies,rounds\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        out << i + 1 << "," << row.server.address << "," << row.server.port << ",";
        if (row.Answered())
            out << "true," << row.rttMin << "," << row.rttMedian << "," << row.rttMax << "," << row.load;
        else
            out << "false,,,,";
        out << "," << row.replies << "," << rounds << "\n";
    }
    return out.str();
}

std::string FormatJson(const std::vector<Row>& rows, uint32_t rounds, uint32_t timeLimitMs)
{
    std::ostringstream out;
    out << "{\n  \"rounds\": " << rounds << ",\n  \"time_limit_ms\": " << timeLimitMs << ",\n  \"servers\": [";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        out << (i == 0 ? "\n" : ",\n") << "    {\"rank\": " << i + 1 << ", \"address\": \"" << row.server.address
            << "\", \"port\": " << row.server.port << ", \"answered\": " << (row.Answered() ? "true" : "false");
        if (row.Answered())
            out << ", \"rtt_ms\": {\"min\": " << row.rttMin << ", \"median\": " << row.rttMedian
                << ", \"max\": " << row.rttMax << "}, \"load\": " << row.load;
        else
            out << ", \"rtt_ms\": null, \"load\": null";
        out << ", \"replies\": " << row.replies << "}";
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
