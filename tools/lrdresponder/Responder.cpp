#include "Responder.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "LoadFile.h"
#include "Log.h"
#include "Net.h"
#include "ProbeReply.h"
#include "RateLimiter.h"
#include "ResponderVersion.h"
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
// Descriptors beside the sockets: standard streams, the wake pipe, epoll, the
// load file, the metrics file, and some to spare.
constexpr size_t kOtherDescriptors = 32;

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
    Responder(const Options& options, std::vector<net::UdpSocket>& sockets, LoadFile* loadFile, Log& log)
        : m_options(options),
          m_sockets(sockets),
          m_loadFile(loadFile),
          m_log(log),
          m_buffer(kReceiveRoom),
          m_sources(options.bindAddress, options.ports),
          m_limiter(options.rateLimit, options.rateBurst, RandomKey()),
          m_load(loadFile ? std::optional<uint32_t>(loadFile->Load()) : options.load),
          m_loggedLoad(m_load),
          m_startTime(std::time(nullptr)),
          m_answeredByPort(sockets.size()),
          // Keep-alives at half the watchdog time, as the service manager asks.
          m_watchdogInterval(std::chrono::microseconds(net::WatchdogUsec() / 2))
    {
        Clock::time_point now = Clock::now();
        m_nextLoadCheck = now + kLoadFileCheck;
        m_nextStats = now + std::chrono::seconds(options.statsIntervalS);
        m_nextMetrics = now + std::chrono::seconds(options.metricsIntervalS);
        m_nextWatchdog = now + m_watchdogInterval;
        if (loadFile)
            m_counts.loadFileFaults = 0;
    }

    bool Run(std::string& error)
    {
        error.clear();
        net::Poller poller;
        if (!poller.Watch(m_sockets, error))
            return false;
        WriteMetrics();
        net::NotifyServiceManager("READY=1");
        std::vector<size_t> ready;
        while (!net::StopRequested()) {
            Clock::time_point now = Clock::now();
            SendDue(now);
            RunChores(now);
            if (!poller.Wait(WaitMs(now), ready, error))
                break;
            // Only the sockets that have something: a wake costs the same with one
            // port as with a thousand.
            for (size_t i : ready)
                ReceiveFrom(i);
        }
        // Requests that arrived before the stop still get judged and counted, and
        // the answers already due still leave.
        for (size_t i = 0; i < m_sockets.size(); ++i)
            ReceiveFrom(i);
        SendDue(Clock::now());
        m_counts.heldAtStop = m_held.size();
        WriteMetrics();
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
        for (size_t i = 0; i < m_sockets.size(); ++i) {
            PortCounts port{m_options.ports[i], m_answeredByPort[i], std::nullopt};
            if (counts.systemDrops)
                port.systemDrops = m_sockets[i].SystemDrops();
            counts.ports.push_back(port);
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
            if (m_sockets[answer.socket].Send(answer.reply.bytes.data(), answer.reply.size, answer.to, answer.source)) {
                ++m_counts.answered;
                ++m_answeredByPort[answer.socket];
            } else {
                ++m_counts.sendFailed;
            }
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
        bool asked = net::TakeCountsRequest();
        bool due = m_options.statsIntervalS != 0 && now >= m_nextStats;
        if (asked || due)
            m_log.Write(Priority::Info, "lrdresponder: counts " + FormatCountsLine(UtcTimeStamp(), Snapshot(), m_load));
        // A stalled process prints one line late rather than several at once.
        while (due && m_nextStats <= now)
            m_nextStats += std::chrono::seconds(m_options.statsIntervalS);
        if (!m_options.metricsFile.empty() && now >= m_nextMetrics) {
            WriteMetrics();
            while (m_nextMetrics <= now)
                m_nextMetrics += std::chrono::seconds(m_options.metricsIntervalS);
        }
        if (m_watchdogInterval.count() != 0 && now >= m_nextWatchdog) {
            net::NotifyServiceManager("WATCHDOG=1");
            m_nextWatchdog = now + m_watchdogInterval;
        }
    }

    void WriteMetrics()
    {
        if (m_options.metricsFile.empty())
            return;
        std::string error;
        std::string text = FormatMetrics(Snapshot(), m_load, int64_t(m_startTime), LRDRESPONDER_VERSION,
                                         FormatAddress(m_options.bindAddress));
        if (net::ReplaceFileAtomically(m_options.metricsFile, text, error)) {
            m_metricsError.clear();
        } else if (error != m_metricsError) {
            // Once for each new reason, not at every write.
            m_metricsError = error;
            m_log.Write(Priority::Warning, "lrdresponder: metrics file: " + error);
        }
    }

    // Whether a new load is worth a line: a load that follows a busy measure may
    // change every second, which the metrics file carries without a line each.
    bool WorthALine(uint32_t load) const
    {
        if (m_options.quietLoad)
            return false;
        if (!m_loggedLoad)
            return true;
        uint32_t change = load > *m_loggedLoad ? load - *m_loggedLoad : *m_loggedLoad - load;
        return change >= m_options.loadLogStep;
    }

    void ReadLoadFile()
    {
        switch (m_loadFile->Read()) {
        case LoadFile::Change::None:
            break;
        case LoadFile::Change::NewLoad:
            m_load = m_loadFile->Load();
            if (WorthALine(*m_load)) {
                m_loggedLoad = m_load;
                m_log.Write(Priority::Debug,
                            "lrdresponder: load " + std::to_string(*m_load) + " from " + m_loadFile->Path());
            }
            break;
        case LoadFile::Change::Fault:
            ++*m_counts.loadFileFaults;
            m_log.Write(Priority::Warning, "lrdresponder: load file " + m_loadFile->Path() + ": " +
                                               m_loadFile->Fault() + "; load stays " + std::to_string(*m_load));
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
        if (!m_options.metricsFile.empty())
            consider(m_nextMetrics);
        if (m_watchdogInterval.count() != 0)
            consider(m_nextWatchdog);
        if (!next)
            return -1;
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
        return int(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
    }

    const Options& m_options;
    std::vector<net::UdpSocket>& m_sockets;
    LoadFile* m_loadFile;
    Log& m_log;
    std::vector<uint8_t> m_buffer;
    SourceCheck m_sources;
    RateLimiter m_limiter;
    std::optional<uint32_t> m_load;
    std::optional<uint32_t> m_loggedLoad;  // the last load a line told
    std::time_t m_startTime;
    std::vector<uint64_t> m_answeredByPort;  // in the order of the sockets
    std::chrono::microseconds m_watchdogInterval;  // 0: no keep-alives
    std::string m_metricsError;  // the last reason a write failed, told once
    std::deque<HeldAnswer> m_held;
    Counts m_counts;
    Clock::time_point m_nextLoadCheck;
    Clock::time_point m_nextStats;
    Clock::time_point m_nextMetrics;
    Clock::time_point m_nextWatchdog;
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
                       DescribePorts(options.ports) + "\nlrdresponder: version " LRDRESPONDER_VERSION ", ";
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
    if (!options.user.empty())
        text += ", user " + options.user;
    return text;
}

// Opens one socket per port with its receive queue. Says what went wrong in
// `error`.
bool OpenSockets(const Options& options, std::vector<net::UdpSocket>& sockets, Log& log, std::string& error)
{
    size_t limit = net::RaiseDescriptorLimit(options.ports.size() + kOtherDescriptors);
    sockets = std::vector<net::UdpSocket>(options.ports.size());
    bool queueTold = false;
    for (size_t i = 0; i < sockets.size(); ++i) {
        std::string why;
        if (!sockets[i].Open({options.bindAddress, options.ports[i]}, why)) {
            error = "cannot listen on " + FormatAddress(options.bindAddress) + ":" +
                    std::to_string(options.ports[i]) + ": " + why;
            if (options.ports.size() + kOtherDescriptors > limit)
                error += " (" + std::to_string(options.ports.size()) + " ports and the limit of open files is " +
                         std::to_string(limit) + ": raise it, as LimitNOFILE= does in a unit)";
            return false;
        }
        int granted = 0;
        if (options.receiveBuffer != 0) {
            if (!sockets[i].SetReceiveBuffer(int(options.receiveBuffer), granted, why)) {
                error = "--rcvbuf: " + why;
                return false;
            }
            if (uint32_t(granted) < options.receiveBuffer && !queueTold) {
                // The queue is still there, only shorter: a warning, once.
                queueTold = true;
                log.Write(Priority::Warning, "lrdresponder: --rcvbuf " + std::to_string(options.receiveBuffer) +
                                                 ": the system gave " + std::to_string(granted) +
                                                 " bytes (on Linux at most net.core.rmem_max unless the program "
                                                 "has CAP_NET_ADMIN)");
            }
        }
    }
    return true;
}

}  // namespace

int Serve(const Options& options, std::ostream& out, std::ostream& err)
{
    Log log(out, err, net::IsJournalStream(1), net::IsJournalStream(2));
    std::string error;
    if (!net::Start(error)) {
        log.Write(Priority::Error, "lrdresponder: " + error);
        return 1;
    }
    std::vector<net::UdpSocket> sockets;
    bool ready = OpenSockets(options, sockets, log, error);
    // Root is needed no longer once the ports are bound (below 1024 among them).
    if (ready && !options.user.empty())
        ready = net::DropPrivileges(options.user, error);
    // Read first as the user that reads it from now on: a file that only root
    // could read would otherwise give one load and then never another.
    std::unique_ptr<LoadFile> loadFile;
    if (ready && !options.loadFile.empty()) {
        loadFile = std::make_unique<LoadFile>(options.loadFile);
        if (loadFile->Read() != LoadFile::Change::NewLoad) {
            ready = false;
            error = "load file " + options.loadFile + ": " + loadFile->Fault();
        }
    }
    if (!ready) {
        log.Write(Priority::Error, "lrdresponder: " + error);
        sockets.clear();
        net::Finish();
        return 1;
    }
    log.Write(Priority::Notice, Describe(options, loadFile.get()));
    if (options.user.empty() && net::RunningAsRoot())
        log.Write(Priority::Warning, "lrdresponder: running as root: --user NAME drops to that user once the ports "
                                     "are bound");

    Responder responder(options, sockets, loadFile.get(), log);
    bool served = responder.Run(error);
    net::NotifyServiceManager("STOPPING=1");
    if (!served)
        log.Write(Priority::Error, "lrdresponder: " + error);
    log.Write(Priority::Notice, "lrdresponder: stopped\n" + FormatCounts(responder.Snapshot()));
    net::StopHandled();
    sockets.clear();
    net::Finish();
    return served ? 0 : 1;
}

}  // namespace lrdresponder
