#include "Responder.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <vector>

#include "Net.h"
#include "ProbeReply.h"

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

struct HeldAnswer {
    Clock::time_point due;
    size_t socket;
    net::Endpoint to;
    uint32_t source;
    Reply reply;
};

class Responder {
public:
    Responder(const Options& options, std::vector<net::UdpSocket>& sockets)
        : m_options(options), m_sockets(sockets), m_buffer(kReceiveRoom)
    {
    }

    bool Run(std::string& error)
    {
        error.clear();
        std::vector<bool> readable;
        while (!net::StopRequested()) {
            SendDue(Clock::now());
            int timeoutMs = -1;
            if (!m_held.empty()) {
                auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_held.front().due - Clock::now());
                timeoutMs = int(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
            }
            if (!net::Wait(m_sockets, timeoutMs, readable, error))
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

    const Counts& counts() const { return m_counts; }

private:
    void ReceiveFrom(size_t socket)
    {
        size_t size = 0;
        net::Endpoint from;
        uint32_t to = 0;
        for (int n = 0; n < kReceiveBatch && m_sockets[socket].Receive(m_buffer.data(), m_buffer.size(), size, from, to);
             ++n) {
            Reply reply;
            switch (AnswerRequest(m_buffer.data(), size, m_options.load, reply)) {
            case Verdict::TooShort:
                ++m_counts.tooShort;
                break;
            case Verdict::WrongCommand:
                ++m_counts.wrongCommand;
                break;
            case Verdict::ZeroTick:
                ++m_counts.zeroTick;
                break;
            case Verdict::Answer:
                if (m_held.size() >= kMaxHeld)
                    ++m_counts.tooManyHeld;
                else
                    m_held.push_back({Clock::now() + std::chrono::milliseconds(m_options.delayMs), socket, from, to,
                                      reply});
                break;
            }
        }
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

    const Options& m_options;
    std::vector<net::UdpSocket>& m_sockets;
    std::vector<uint8_t> m_buffer;
    std::deque<HeldAnswer> m_held;
    Counts m_counts;
};

std::string Describe(const Options& options)
{
    std::string text = "lrdresponder: listening on UDP";
    for (uint16_t port : options.ports)
        text += " " + FormatAddress(options.bindAddress) + ":" + std::to_string(port);
    text += options.load ? ", load " + std::to_string(*options.load) : ", no load";
    return text + ", delay " + std::to_string(options.delayMs) + " ms";
}

}  // namespace

std::string FormatCounts(const Counts& c)
{
    uint64_t ignored = c.tooShort + c.wrongCommand + c.zeroTick;
    uint64_t notSent = c.sendFailed + c.tooManyHeld + c.heldAtStop;
    return "requests answered: " + std::to_string(c.answered) + "\n" +
           "requests ignored: " + std::to_string(ignored) + " (too short " + std::to_string(c.tooShort) +
           ", wrong command " + std::to_string(c.wrongCommand) + ", zero tick " + std::to_string(c.zeroTick) +
           ")\n" + "answers not sent: " + std::to_string(notSent) + " (send failed " + std::to_string(c.sendFailed) +
           ", too many held " + std::to_string(c.tooManyHeld) + ", held at stop " + std::to_string(c.heldAtStop) +
           ")\n";
}

int Serve(const Options& options, std::ostream& out, std::ostream& err)
{
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
    out << Describe(options) << std::endl;

    Responder responder(options, sockets);
    bool served = responder.Run(error);
    if (!served)
        err << "lrdresponder: " << error << std::endl;
    out << "lrdresponder: stopped\n" << FormatCounts(responder.counts()) << std::flush;
    net::StopHandled();
    sockets.clear();
    net::Finish();
    return served ? 0 : 1;
}

}  // namespace lrdresponder
