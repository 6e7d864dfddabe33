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

// The longest time between two requests to one server: ten a second keep a
// check of several ports of one address within a responder's default rate
// limit (100 a second, bursts of 200).
constexpr std::chrono::milliseconds kProbeInterval{100};

const char* const kStatusWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

struct Sent {
    uint32_t tick;
    Clock::time_point when;
    bool answered = false;
};

struct Target {
    net::Endpoint server;
    std::string name;   // ADDRESS:PORT
    std::string label;  // ADDRESS_PORT, for the performance data
    std::vector<Sent> sent;
    std::vector<double> rttMs;     // of each answer
    std::optional<uint32_t> load;  // of the last long reply

    double LossPercent(unsigned probes) const { return 100.0 * double(probes - rttMs.size()) / double(probes); }
    double AverageRttMs() const
    {
        double sum = 0;
        for (double rtt : rttMs)
            sum += rtt;
        return sum / double(rttMs.size());
    }
};

// The millisecond tick of the requests, as the detector sends it; only this
// program compares it, so it is also what tells the requests apart: it never
// repeats within a check and is never 0, which no request may carry.
uint32_t NextTick(uint32_t last)
{
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    uint32_t tick = std::max(uint32_t(ms), last + 1);
    return tick ? tick : 1;
}

// The verdict on one server and what raised it, as "round-trip time 130 ms and
// loss 40%".
CheckStatus Judge(const Target& target, const Options& options, std::string& why)
{
    if (target.rttMs.empty()) {
        why = "no answer";
        return kCheckCritical;
    }
    double rtt = target.AverageRttMs(), loss = target.LossPercent(options.probes);
    std::string rttWhy = "round-trip time " + FormatDecimal(rtt) + " ms",
                lossWhy = "loss " + FormatDecimal(loss) + "%";
    auto reasons = [&](const ThresholdRange& rttRange, const ThresholdRange& lossRange) {
        std::string text = rttRange.Alerts(rtt) ? rttWhy : "";
        if (lossRange.Alerts(loss))
            text += (text.empty() ? "" : " and ") + lossWhy;
        return text;
    };
    if (!(why = reasons(options.criticalRtt, options.criticalLoss)).empty())
        return kCheckCritical;
    if (!(why = reasons(options.warningRtt, options.warningLoss)).empty())
        return kCheckWarning;
    return kCheckOk;
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
        target.label = FormatAddress(address) + "_" + std::to_string(port);
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

    // Every request is sent within the first half of the time limit, so that
    // even the last one has time to be answered.
    auto timeout = std::chrono::seconds(options.timeoutS);
    auto interval = std::min<Clock::duration>(kProbeInterval, Clock::duration(timeout) / (2 * options.probes));
    Clock::time_point start = Clock::now(), deadline = start + timeout, nextRound = start;
    unsigned rounds = 0;
    uint32_t tick = 0;
    std::vector<bool> readable;
    auto done = [&] {
        return rounds == options.probes && std::all_of(targets.begin(), targets.end(), [&](const Target& t) {
                   return t.rttMs.size() == options.probes;
               });
    };
    while (!done() && !net::StopRequested()) {
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            break;
        if (rounds < options.probes && now >= nextRound) {
            for (Target& target : targets) {
                uint8_t wire[kProbeSize];
                tick = NextTick(tick);
                EncodeRequest(MakeRequest(rounds + 1, tick), wire);
                // A failed send is as good as a lost datagram: the request stays
                // unanswered and counts as lost.
                sockets[0].Send(wire, sizeof wire, target.server, 0);
                target.sent.push_back({tick, Clock::now()});
            }
            ++rounds;
            nextRound += interval;
        }
        Clock::time_point until = rounds < options.probes ? std::min(nextRound, deadline) : deadline;
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
        if (!net::Wait(sockets, int(std::max<long long>(wait.count(), 0)), readable, error)) {
            net::Finish();
            return Unknown(out, error);
        }
        uint8_t buffer[2048];
        size_t size = 0;
        net::Endpoint from;
        uint32_t to = 0;
        while (sockets[0].Receive(buffer, sizeof buffer, size, from, to)) {
            Clock::time_point arrival = Clock::now();
            LRDReply reply;
            if (!DecodeReply(buffer, size, reply) || reply.dwCmd != kProbeCommand)
                continue;
            // Only the first answer to a request this check sent, from the very
            // address and port it was sent to.
            for (Target& target : targets) {
                if (target.server.address != from.address || target.server.port != from.port)
                    continue;
                auto request = std::find_if(target.sent.begin(), target.sent.end(),
                                            [&](const Sent& s) { return s.tick == reply.dwTick; });
                if (request == target.sent.end() || request->answered)
                    continue;
                request->answered = true;
                target.rttMs.push_back(std::chrono::duration<double, std::milli>(arrival - request->when).count());
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
    double highestRtt = 0, highestLoss = 0;
    std::string perfData, details, failed[kCheckUnknown];
    for (const Target& target : targets) {
        std::string why;
        CheckStatus verdict = Judge(target, options, why);
        status = std::max<int>(status, verdict);
        std::string word = kStatusWords[verdict];
        std::transform(word.begin(), word.end(), word.begin(), [](char c) { return char(c - 'A' + 'a'); });
        if (verdict != kCheckOk)
            failed[verdict] += (failed[verdict].empty() ? "" : ", ") + target.name + " (" + why + ")";

        // Performance data holds numbers only: a server that never answered has
        // no round-trip time to give, and its loss of 100% tells why.
        double loss = target.LossPercent(options.probes);
        highestLoss = std::max(highestLoss, loss);
        details += target.name + " " + word + ": ";
        if (!target.rttMs.empty()) {
            ++replies;
            double rtt = target.AverageRttMs();
            highestRtt = std::max(highestRtt, rtt);
            perfData += " rtt_" + target.label + "=" + FormatDecimal(rtt) + "ms;" + options.warningRtt.text + ";" +
                        options.criticalRtt.text + ";0";
            details += "round-trip time " + FormatDecimal(rtt) + " ms (average of " +
                       std::to_string(target.rttMs.size()) + "), loss " + FormatDecimal(loss) + "%, " +
                       (target.load ? "load " + std::to_string(*target.load) : std::string("no load")) + "\n";
        } else {
            details += "no answer to " + std::to_string(options.probes) + " requests within " +
                       std::to_string(options.timeoutS) + " s\n";
        }
        perfData += " loss_" + target.label + "=" + FormatDecimal(loss) + "%;" + options.warningLoss.text + ";" +
                    options.criticalLoss.text + ";0;100";
        if (target.load)
            perfData += " load_" + target.label + "=" + std::to_string(*target.load) + ";;;0";
    }
    out << "LRDRESPONDER " << kStatusWords[status] << " - " << replies << " of " << targets.size() << " answered";
    if (status == kCheckOk)
        out << ", round-trip time up to " << FormatDecimal(highestRtt) << " ms, loss up to "
            << FormatDecimal(highestLoss) << "%";
    for (int verdict : {kCheckCritical, kCheckWarning})
        if (!failed[verdict].empty())
            out << "; " << (verdict == kCheckCritical ? "critical: " : "warning: ") << failed[verdict];
    out << " |" << perfData << "\n" << details;
    return status;
}

}  // namespace lrdresponder
