#include "Responder.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "LoadFile.h"
#include "Net.h"
#include "ProbeReply.h"
#include "RateLimiter.h"
#include "SourceCheck.h"

namespace lrdresponder {

namespace {

using Clock = std::chrono::steady_clock;

// Every answer is held for the same time, so answers fall due in the order their
// requests arrived and a first-in, first-out queue is the due-time queue. The cap
// bounds the memory a flood of requests can claim while a long delay holds them.
constexpr size_t kMaxHeld = 100000;
// Datagrams taken from one socket per wake-up, so that a busy port neither
// starves the others nor delays answers that fall due.
constexpr int kReceiveBatch = 64;
// Room for any UDP datagram: the system never has to cut one short.
constexpr size_t kReceiveRoom = 65536;
// How often the load file is read to see whether it changed.
constexpr std::chrono::seconds kLoadFileCheck{1};
// Port ranges named on the start-up line; the rest are only counted.
constexpr size_t kNamedPortRanges = 8;

struct HeldAnswer {
    Clock::time_point due;
    size_t socket;
    net::Endpoint to;
    uint32_t source;
    Reply reply;
};

uint32_t RandomKey()
{
    std::random_device device;
    return device();
}

class Responder {
public:
    Responder(const Options& options, std::vector<net::UdpSocket>& sockets, LoadFile* loadFile, std::ostream& out,
              std::ostream& err)
        : m_options(options),
          m_sockets(sockets),
          m_loadFile(loadFile),
          m_out(out),
          m_err(err),
          m_buffer(kReceiveRoom),
          m_sources(options.bindAddress, options.ports),
          m_limiter(options.rateLimit, options.rateBurst, RandomKey()),
          m_load(loadFile ? std::optional<uint32_t>(loadFile->Load()) : options.load)
    {
        Clock::time_point now = Clock::now();
        m_nextLoadCheck = now + kLoadFileCheck;
        m_nextStats = now + std::chrono::seconds(options.statsIntervalS);
        if (loadFile)
            m_counts.loadFileFaults = 0;
    }

    bool Run(std::string& error)
    {
        error.clear();
        std::vector<bool> readable;
        while (!net::StopRequested()) {
            Clock::time_point now = Clock::now();
            SendDue(now);
            RunChores(now);
            if (!net::Wait(m_sockets, WaitMs(now), readable, error))
                break;
            for (size_t i = 0; i < m_sockets.size(); ++i)
                if (readable[i])
                    ReceiveFrom(i);
        }
        // Requests that arrived before the stop still get judged and counted, and
        // the answers already due still leave.
        for (size_t i = 0; i < m_sockets.size(); ++i)
            ReceiveFrom(i);
        SendDue(Clock::now());
        m_counts.heldAtStop = m_held.size();
        return error.empty();
    }

    Counts Snapshot() const
    {
        Counts counts = m_counts;
        if (net::CountsSystemDrops()) {
            counts.systemDrops = 0;
            for (const net::UdpSocket& socket : m_sockets)
                *counts.systemDrops += socket.SystemDrops();
        }
        return counts;
    }

private:
    void ReceiveFrom(size_t socket)
    {
        size_t size = 0;
        net::Endpoint from;
        uint32_t to = 0;
        for (int n = 0; n < kReceiveBatch && m_sockets[socket].Receive(m_buffer.data(), m_buffer.size(), size, from, to);
             ++n) {
            Reply reply;
            if (Judge(size, from, to, reply)) {
                if (m_held.size() >= kMaxHeld)
                    ++m_counts.tooManyHeld;
                else
                    m_held.push_back({Clock::now() + std::chrono::milliseconds(m_options.delayMs), socket, from, to,
                                      reply});
            }
        }
    }

    // Whether the datagram in the buffer gets `reply`; counts it when not. The
    // cheap checks of the datagram come first, so that only requests that would
    // be answered take a token of their source.
    bool Judge(size_t size, const net::Endpoint& from, uint32_t to, Reply& reply)
    {
        switch (AnswerRequest(m_buffer.data(), size, m_load, reply)) {
        case Verdict::kAnswer:
            break;
        case Verdict::kTooShort:
            ++m_counts.tooShort;
            return false;
        case Verdict::kWrongCommand:
            ++m_counts.wrongCommand;
            return false;
        case Verdict::kZeroTick:
            ++m_counts.zeroTick;
            return false;
        case Verdict::kWrongFillData:
            ++m_counts.wrongFillData;
            return false;
        }
        switch (m_sources.Judge(from, to)) {
        case SourceVerdict::Usable:
            break;
        case SourceVerdict::OwnAddress:
            ++m_counts.ownAddress;
            return false;
        case SourceVerdict::Unusable:
            ++m_counts.unusableSource;
            return false;
        }
        auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch());
        if (!m_limiter.Allow(from.address, uint64_t(now.count()))) {
            ++m_counts.rateLimited;
            return false;
        }
        return true;
    }

    void SendDue(Clock::time_point now)
    {
        while (!m_held.empty() && m_held.front().due <= now) {
            const HeldAnswer& answer = m_held.front();
            // The answer leaves through the socket the request came in on, so it
            // carries the port the request was sent to.
            if (m_sockets[answer.socket].Send(answer.reply.bytes.data(), answer.reply.size, answer.to, answer.source))
                ++m_counts.answered;
            else
                ++m_counts.sendFailed;
            m_held.pop_front();
        }
    }

    void RunChores(Clock::time_point now)
    {
        bool reload = net::TakeReloadRequest();
        if (m_loadFile && (reload || now >= m_nextLoadCheck)) {
            ReadLoadFile();
            m_nextLoadCheck = now + kLoadFileCheck;
        }
        if (net::TakeCountsRequest())
            m_out << "lrdresponder: counts at " << UtcTimeStamp() << "\n" << FormatCounts(Snapshot()) << std::flush;
        if (m_options.statsIntervalS != 0 && now >= m_nextStats) {
            m_out << "lrdresponder: " << FormatCountsLine(UtcTimeStamp(), Snapshot()) << std::endl;
            // A stalled process prints one line late rather than several at once.
            while (m_nextStats <= now)
                m_nextStats += std::chrono::seconds(m_options.statsIntervalS);
        }
    }

    void ReadLoadFile()
    {
        switch (m_loadFile->Read()) {
        case LoadFile::Change::None:
            break;
        case LoadFile::Change::NewLoad:
            m_load = m_loadFile->Load();
            m_out << "lrdresponder: load " << *m_load << " from " << m_loadFile->Path() << std::endl;
            break;
        case LoadFile::Change::Fault:
            ++*m_counts.loadFileFaults;
            m_err << "lrdresponder: load file " << m_loadFile->Path() << ": " << m_loadFile->Fault() << "; load stays "
                  << *m_load << std::endl;
            break;
        }
    }

    // Until the next answer falls due or the next chore, without limit when
    // there is neither.
    int WaitMs(Clock::time_point now) const
    {
        std::optional<Clock::time_point> next;
        auto consider = [&](Clock::time_point when) { next = next ? std::min(*next, when) : when; };
        if (!m_held.empty())
            consider(m_held.front().due);
        if (m_loadFile)
            consider(m_nextLoadCheck);
        if (m_options.statsIntervalS != 0)
            consider(m_nextStats);
        if (!next)
            return -1;
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
        return int(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
    }

    const Options& m_options;
    std::vector<net::UdpSocket>& m_sockets;
    LoadFile* m_loadFile;
    std::ostream& m_out;
    std::ostream& m_err;
    std::vector<uint8_t> m_buffer;
    SourceCheck m_sources;
    RateLimiter m_limiter;
    std::optional<uint32_t> m_load;
    std::deque<HeldAnswer> m_held;
    Counts m_counts;
    Clock::time_point m_nextLoadCheck;
    Clock::time_point m_nextStats;
};

// "5000-5002, 6000": the ports in ascending order, runs of neighbours as ranges.
std::string DescribePorts(std::vector<uint16_t> ports)
{
    std::sort(ports.begin(), ports.end());
    std::vector<std::string> ranges;
    for (size_t first = 0, last = 0; first < ports.size(); first = ++last) {
        while (last + 1 < ports.size() && ports[last + 1] == ports[last] + 1)
            ++last;
        ranges.push_back(std::to_string(ports[first]) +
                         (last > first ? "-" + std::to_string(ports[last]) : std::string()));
    }
    std::string text = ports.size() == 1 ? "port " : "ports ";
    for (size_t i = 0; i < ranges.size() && i < kNamedPortRanges; ++i)
        text += (i ? ", " : "") + ranges[i];
    if (ranges.size() > kNamedPortRanges)
        text += " and " + std::to_string(ranges.size() - kNamedPortRanges) + " more ranges";
    if (ranges.size() > 1 || ports.size() > 1)
        text += " (" + std::to_string(ports.size()) + " in all)";
    return text;
}

// Two short lines whatever the number of ports: where, then how.
std::string Describe(const Options& options, const LoadFile* loadFile)
{
    std::string text = "lrdresponder: listening on UDP " + FormatAddress(options.bindAddress) + " " +
                       DescribePorts(options.ports) + "\nlrdresponder: ";
    if (loadFile)
        text += "load " + std::to_string(loadFile->Load()) + " from " + loadFile->Path();
    else
        text += options.load ? "load " + std::to_string(*options.load) : "no load";
    text += ", delay " + std::to_string(options.delayMs) + " ms, ";
    text += options.rateLimit ? "rate limit " + std::to_string(options.rateLimit) + "/s burst " +
                                    std::to_string(options.rateBurst)
                              : std::string("no rate limit");
    if (options.statsIntervalS)
        text += ", counts every " + std::to_string(options.statsIntervalS) + " s";
    return text;
}

}  // namespace

int Serve(const Options& options, std::ostream& out, std::ostream& err)
{
    std::unique_ptr<LoadFile> loadFile;
    if (!options.loadFile.empty()) {
        loadFile = std::make_unique<LoadFile>(options.loadFile);
        if (loadFile->Read() != LoadFile::Change::NewLoad) {
            err << "lrdresponder: load file " << options.loadFile << ": " << loadFile->Fault() << std::endl;
            return 1;
        }
    }
    std::string error;
    if (!net::Start(error)) {
        err << "lrdresponder: " << error << std::endl;
        return 1;
    }
    std::vector<net::UdpSocket> sockets(options.ports.size());
    for (size_t i = 0; i < sockets.size(); ++i) {
        if (!sockets[i].Open({options.bindAddress, options.ports[i]}, error)) {
            err << "lrdresponder: cannot listen on " << FormatAddress(options.bindAddress) << ":" << options.ports[i]
                << ": " << error << std::endl;
            sockets.clear();
            net::Finish();
            return 1;
        }
    }
    out << Describe(options, loadFile.get()) << std::endl;

    Responder responder(options, sockets, loadFile.get(), out, err);
    bool served = responder.Run(error);
    if (!served)
        err << "lrdresponder: " << error << std::endl;
    out << "lrdresponder: stopped\n" << FormatCounts(responder.Snapshot()) << std::flush;
    net::StopHandled();
    sockets.clear();
    net::Finish();
    return served ? 0 : 1;
}

}  // namespace lrdresponder
