#include "Check.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Net.h"
#include "ProbeWire.h"

namespace lrdresponder {

namespace {

using Clock = std::chrono::steady_clock;

// A server that has not answered is probed again this many times in all, spread
// over the critical time, so that one lost datagram is not a critical.
constexpr int kProbesPerServer = 3;

const char* const kStatusWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

struct Target {
    net::Endpoint server;
    std::string name;             // ADDRESS:PORT
    std::vector<uint32_t> ticks;  // of the requests sent to it
    int probes = 0;
    std::optional<uint32_t> rttMs;
    std::optional<uint32_t> load;  // in a long reply
};

// The millisecond tick of the requests: any monotonic count serves, since only
// this program compares it. Never 0, which no request may carry.
uint32_t Tick()
{
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    uint32_t tick = uint32_t(ms);
    return tick ? tick : 1;
}

CheckStatus Judge(const Target& target, const Options& options)
{
    if (!target.rttMs || *target.rttMs >= options.criticalMs)
        return kCheckCritical;
    return *target.rttMs >= options.warningMs ? kCheckWarning : kCheckOk;
}

int Unknown(std::ostream& out, const std::string& why)
{
    out << "LRDRESPONDER UNKNOWN - " << why << "\n";
    return kCheckUnknown;
}

}  // namespace

int RunCheck(const Options& options, std::ostream& out)
{
    std::vector<Target> targets;
    for (const auto& [address, port] : options.checkServers) {
        Target target;
        target.server = {address, port};
        target.name = FormatAddress(address) + ":" + std::to_string(port);
        targets.push_back(target);
    }

    std::string error;
    if (!net::Start(error))
        return Unknown(out, error);
    std::vector<net::UdpSocket> sockets(1);
    if (!sockets[0].Open({0, 0}, error)) {
        net::Finish();
        return Unknown(out, error);
    }

    Clock::time_point start = Clock::now(), deadline = start + std::chrono::milliseconds(options.criticalMs);
    auto interval = std::chrono::milliseconds(std::max(1u, options.criticalMs / kProbesPerServer));
    Clock::time_point nextRound = start;
    uint32_t seq = 1;
    std::vector<bool> readable;
    auto answered = [&] {
        return std::all_of(targets.begin(), targets.end(), [](const Target& t) { return t.rttMs.has_value(); });
    };
    while (!answered() && !net::StopRequested()) {
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            break;
        if (now >= nextRound) {
            for (Target& target : targets) {
                if (target.rttMs || target.probes == kProbesPerServer)
                    continue;
                uint8_t wire[kProbeSize];
                LRDPdu request = MakeRequest(seq++, Tick());
                EncodeRequest(request, wire);
                // A failed send is as good as a lost datagram: the server stays
                // unanswered, and the next round tries again.
                sockets[0].Send(wire, sizeof wire, target.server, 0);
                target.ticks.push_back(request.dwTick);
                ++target.probes;
            }
            nextRound += interval;
        }
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::min(nextRound, deadline) - now);
        if (!net::Wait(sockets, int(std::max<long long>(wait.count(), 0)), readable, error)) {
            net::Finish();
            return Unknown(out, error);
        }
        uint8_t buffer[2048];
        size_t size = 0;
        net::Endpoint from;
        uint32_t to = 0;
        while (sockets[0].Receive(buffer, sizeof buffer, size, from, to)) {
            uint32_t arrival = Tick();
            LRDReply reply;
            if (!DecodeReply(buffer, size, reply) || reply.dwCmd != kProbeCommand)
                continue;
            // Only an answer from the very address and port probed, to a request
            // this check sent there.
            for (Target& target : targets) {
                if (target.rttMs || target.server.address != from.address || target.server.port != from.port ||
                    std::find(target.ticks.begin(), target.ticks.end(), reply.dwTick) == target.ticks.end())
                    continue;
                target.rttMs = arrival - reply.dwTick;
                if (reply.bLong)
                    target.load = reply.dwLoad;
            }
        }
    }
    bool interrupted = net::StopRequested();
    sockets.clear();
    net::Finish();
    if (interrupted)
        return Unknown(out, "interrupted");

    int status = kCheckOk;
    size_t replies = 0;
    uint32_t highest = 0;
    std::string perfData, details;
    for (const Target& target : targets) {
        CheckStatus verdict = Judge(target, options);
        status = std::max<int>(status, verdict);
        std::string thresholds = ";" + std::to_string(options.warningMs) + ";" + std::to_string(options.criticalMs) + ";0";
        perfData += " 'rtt " + target.name + "'=" + (target.rttMs ? std::to_string(*target.rttMs) + "ms" : "U") +
                    thresholds;
        if (target.load)
            perfData += " 'load " + target.name + "'=" + std::to_string(*target.load) + ";;;0";
        std::string word = kStatusWords[verdict];
        std::transform(word.begin(), word.end(), word.begin(), [](char c) { return char(c - 'A' + 'a'); });
        details += target.name + " " + word + ": ";
        if (target.rttMs) {
            ++replies;
            highest = std::max(highest, *target.rttMs);
            details += "round-trip time " + std::to_string(*target.rttMs) + " ms, " +
                       (target.load ? "load " + std::to_string(*target.load) : std::string("no load")) + "\n";
        } else {
            details += "no answer within " + std::to_string(options.criticalMs) + " ms\n";
        }
    }
    out << "LRDRESPONDER " << kStatusWords[status] << " - " << replies << " of " << targets.size() << " answered";
    if (replies)
        out << ", highest round-trip time " << highest << " ms";
    out << " |" << perfData << "\n" << details;
    return status;
}

}  // namespace lrdresponder
