// The probe exchange against a scripted socket and a clock that moves only when
// the test says: what each kind of receive does to a take, the reporting window
// by arrival tick, the pacing of the sends, the bounds of the queue and of one
// notification, the end of a detection across a wrap of the tick, and a nested
// notification inside the sink. The detector's side of a read notification is
// played by carrying out the steps the exchange returns.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ProbeExchange.h"
#include "ProbeProtocol.h"

namespace {

struct ManualClock final : ExchangeClock {
    uint64_t Microseconds() override
    {
        ++reads;
        return now;
    }
    void AtTick(uint64_t tick) { now = tick * 1000; }
    uint64_t now = 0;
    int reads = 0;
};

// What a receive will find: a datagram from the address once the clock reaches
// atUs, or one of the failures.
struct Waiting {
    ReceiveKind kind;
    std::vector<uint8_t> bytes;
    const char* source;
    uint16_t port;
    uint64_t atUs;
};

std::vector<uint8_t> Reply(uint32_t tick, size_t length = 16, uint8_t loadByte = 0)
{
    std::vector<uint8_t> data(length, 0);
    uint8_t wire[kProbeSize];
    EncodeRequest(MakeRequest(1, tick), wire);
    memcpy(data.data(), wire, std::min(length, sizeof wire));
    if (length > 19)
        data[19] = loadByte;
    return data;
}

Waiting Datagram(const char* source, uint32_t tick, size_t length = 16)
{
    return {ReceiveKind::kDatagram, Reply(tick, length), source, 4000, 0};
}

Waiting Failure(ReceiveKind kind) { return {kind, {}, "0.0.0.0", 0, 0}; }

// The socket: sends cost sendUs, receives takeUs and looks lookUs of the clock. While the
// servers answer, each send's echo waits as soon as the send is done.
class ScriptedEndpoint final : public ProbeEndpoint {
public:
    explicit ScriptedEndpoint(ManualClock& clock) : clock(clock) {}

    bool SocketOpen() const override { return open; }
    bool ReceiveReady() const override { return true; }
    SendResult Send(const uint8_t* data, uint32_t, const char* ip, uint16_t port) override
    {
        calls += 'S';
        sends.push_back({clock.now, clock.now + sendUs});
        if (onSend)
            onSend(data, ip, port);
        clock.now += sendUs;
        if (answering) {
            uint32_t tick;
            memcpy(&tick, data + 8, sizeof tick);
            waiting.push_back({ReceiveKind::kDatagram, Reply(tick), ip, port, clock.now});
        }
        return sendResult;
    }
    bool DatagramWaiting() override
    {
        calls += 'L';
        uint64_t began = clock.now;
        clock.now += lookUs;
        return !waiting.empty() && waiting.front().atUs <= began;
    }
    ReceiveResult Receive() override
    {
        calls += 'R';
        uint64_t began = clock.now;
        clock.now += takeUs;
        ReceiveResult result = {ReceiveKind::kNothingWaiting, -1, nullptr, {0, 0, 0, 0}, 0};
        if (waiting.empty() || waiting.front().atUs > began)
            return result;
        current = waiting.front();
        waiting.pop_front();
        result.kind = current.kind;
        result.nCount = current.bytes.empty() ? -1 : (int32_t)current.bytes.size();
        result.pData = current.bytes.data();
        sscanf(current.source, "%hhu.%hhu.%hhu.%hhu", &result.abSource[0], &result.abSource[1], &result.abSource[2],
               &result.abSource[3]);
        result.ushSourcePort = current.port;
        return result;
    }

    ManualClock& clock;
    uint64_t sendUs = 0, takeUs = 0, lookUs = 1;
    bool answering = false, open = true;
    SendResult sendResult = {16, 0};
    std::deque<Waiting> waiting;
    Waiting current;
    std::function<void(const uint8_t* data, const char* ip, uint16_t port)> onSend;
    std::string calls;  // S for a send, L for a look, R for a receive, in order
    struct Span { uint64_t begin, end; };
    std::vector<Span> sends;
};

// The exchange's lines, and the detector's side of a read notification played
// as the detector plays it: every step carried out, in order, as an event.
class RecordingEdge final : public ExchangeLog {
public:
    bool TraceWanted() const override { return true; }
    void TraceLine(const char* format, va_list args) override { Record("T ", format, args); }
    void ErrorLine(const char* format, va_list args) override { Record("E ", format, args); }

    // One read notification: the steps until the exchange has nothing more, or
    // until onReport says the sink released the detector.
    void Read(ProbeExchange& exchange)
    {
        ReadPass pass = {};
        for (;;) {
            const ReadStep step = exchange.NextReadStep(pass);
            switch (step.kind) {
            case ReadStep::Kind::kDone:
                return;
            case ReadStep::Kind::kEndDetection:
                events.push_back("end");
                exchange.DetectionEnded();
                return;
            case ReadStep::Kind::kReadAgainLater:
                ++laterTurns;
                return;
            case ReadStep::Kind::kRefused:
                events.push_back(std::string("refused: ") + RefusalText(step.refusal));
                return;
            case ReadStep::Kind::kReport:
                events.push_back("report " + std::string(step.szIP) + ":" + std::to_string(step.ushPort) + " " +
                                 std::to_string(step.dwRtt));
                ++reports;
                if (onReport)
                    onReport();
                break;
            }
        }
    }

    int reports = 0, laterTurns = 0;
    std::function<void()> onReport;
    std::vector<std::string> events;

private:
    void Record(const char* level, const char* format, va_list args)
    {
        char line[1024];
        vsnprintf(line, sizeof line, format, args);
        events.push_back(level + std::string(line));
    }
};

// Origin 0: the requests carry the exchange's own ticks.
bool ZeroOrigins(uint32_t* origins, uint32_t count)
{
    std::fill(origins, origins + count, 0u);
    return true;
}

// An exchange over `servers` candidates 127.0.0.2, .3, ... on port 4000, with its
// detection started at startTick; unless told otherwise, every candidate was
// sent a request then, which carries startTick.
struct Rig {
    explicit Rig(uint32_t servers = 3, uint64_t startTick = 1000, bool sent = true)
    {
        for (uint32_t i = 0; i < servers; ++i) {
            ServerInfo server = {};
            snprintf(server.szAddr, sizeof server.szAddr, "127.0.%u.%u", (i + 2) / 256, (i + 2) % 256);
            server.ushPort = 4000;
            candidates.InsertServer(server);
        }
        exchange->MarkInitialised();
        EXPECT_TRUE(exchange->ReserveReplyQueue());
        clock.AtTick(startTick);
        EXPECT_TRUE(exchange->PrepareRequests(&ZeroOrigins));
        exchange->StartDetection();
        if (sent) {
            exchange->SendToAll(candidates);
            endpoint.calls.clear();
            endpoint.sends.clear();
            owner.events.clear();
        }
    }

    ManualClock clock;
    ScriptedEndpoint endpoint{clock};
    RecordingEdge owner;
    CandidateList candidates;
    std::unique_ptr<ProbeExchange> exchange{new ProbeExchange(candidates, endpoint, clock, owner)};

    void Read() { owner.Read(*exchange); }
};

TEST(ProbeExchange, SendRequestLines)
{
    const std::string pdu = "pdu:{dwCmd=2,dwTick=1000,ushSeq=1,dwFillData=1}";
    const struct {
        const char* ip;
        bool open;
        SendResult sent;
        int32_t result;
        std::vector<std::string> lines;
    } cases[] = {
        {nullptr, true, {16, 0}, 0,
         {"E CLinkrateDetector::SendRequest() exit fail", "E CLinkrateDetector::SendRequest() refused: null address"}},
        {"127.0.0.2", false, {16, 0}, 0,
         {"E CLinkrateDetector::SendRequest() exit fail",
          "E CLinkrateDetector::SendRequest() refused: no socket: the detector is not initialised, or finalised"}},
        {"127.0.0.2", true, {16, 0}, 1,
         {"T CLinkrateDetector::SendRequest() exit success",
          "T sent [16] bytes to [127.0.0.2:4000] [success], " + pdu + ",errorcode=[0]"}},
        {"127.0.0.2", true, {8, 0}, 1,
         {"T CLinkrateDetector::SendRequest() exit success",
          "T sent [8] bytes to [127.0.0.2:4000] [success], " + pdu + ",errorcode=[0]"}},
        {"255.255.255.255", true, {kSendFailed, 10013}, 0,
         {"T CLinkrateDetector::SendRequest() exit success",
          "T sent [-1] bytes to [255.255.255.255:4000] [error], " + pdu + ",errorcode=[10013]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.back());
        Rig rig(3, 1000, false);
        rig.endpoint.open = c.open;
        rig.endpoint.sendResult = c.sent;
        ProbeState state = {};
        EXPECT_EQ(rig.exchange->SendRequest(c.ip, 4000, state), c.result);
        EXPECT_EQ(rig.owner.events, c.lines);
        EXPECT_EQ(rig.endpoint.sends.size(), c.lines[0][0] == 'T' ? 1u : 0u) << "nothing sent after a refusal";
    }
}

// One read notification over a scripted socket, at 7 ms after the start: the
// lines, reports and takes in the order they happen.
TEST(ProbeExchange, WhatEachKindOfReceiveDoesToATake)
{
    const std::string recvA = "T from [127.0.0.2:4000] recv udp [16]bytes", reportA = "report 127.0.0.2:4000 7";
    const std::string recvB = "T from [127.0.0.3:4000] recv udp [16]bytes", reportB = "report 127.0.0.3:4000 7";
    const std::string failed = "T from [0.0.0.0:0] recv udp [-1]bytes";
    const uint32_t t = 1000;  // the start tick, echoed by every reply
    std::vector<Waiting> resets(kHandledPerNotification, Failure(ReceiveKind::kPeerUnreachable));
    std::vector<Waiting> tooMany = resets;
    tooMany.push_back(Failure(ReceiveKind::kPeerUnreachable));

    const struct {
        const char* name;
        std::vector<std::vector<Waiting>> script;  // concatenated
        std::vector<std::string> events;
    } cases[] = {
        {"a reset between replies is skipped",
         {{Datagram("127.0.0.2", t), Failure(ReceiveKind::kPeerUnreachable), Datagram("127.0.0.3", t)}},
         {recvA, recvB, reportA, reportB}},
        {"nothing waiting after one datagram ends the notification: a later one raises its own",
         {{Datagram("127.0.0.2", t), Failure(ReceiveKind::kNothingWaiting), Datagram("127.0.0.3", t)}},
         {recvA, reportA}},
        {"after several, the notification takes once more",
         {{Datagram("127.0.0.2", t), Datagram("127.0.0.3", t), Failure(ReceiveKind::kNothingWaiting),
           Datagram("127.0.0.4", t)}},
         {recvA, recvB, reportA, reportB, "T from [127.0.0.4:4000] recv udp [16]bytes", "report 127.0.0.4:4000 7"}},
        {"a failed receive ends the take with its line",
         {{Datagram("127.0.0.2", t), Failure(ReceiveKind::kFailed), Datagram("127.0.0.3", t)}},
         {recvA, failed, reportA, recvB, reportB}},
        {"resets up to the bound are skipped", {resets, {Datagram("127.0.0.2", t)}}, {recvA, reportA}},
        {"one more reset fails the take", {tooMany, {Datagram("127.0.0.2", t)}}, {failed}},
        {"a truncated datagram is handled as its cut",
         {{{ReceiveKind::kTruncated, Reply(t, 1024, 5), "127.0.0.2", 4000, 0}}},
         {"T from [127.0.0.2:4000] recv udp [1024]bytes", reportA}},
        {"a datagram too short for a reply", {{Datagram("127.0.0.2", t, 15)}},
         {"T from [127.0.0.2:4000] recv udp [15]bytes", "E pdu size error,not support"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        for (const auto& part : c.script)
            rig.endpoint.waiting.insert(rig.endpoint.waiting.end(), part.begin(), part.end());
        rig.clock.AtTick(t + 7);
        rig.Read();
        EXPECT_EQ(rig.owner.events, c.events);
    }
    // A lone reply costs one receive that takes it and one that finds nothing,
    // and two readings of the clock: the take's and the one after the datagram.
    {
        Rig rig;
        rig.endpoint.waiting.push_back(Datagram("127.0.0.2", t));
        rig.clock.AtTick(t + 7);
        rig.clock.reads = 0;
        rig.Read();
        EXPECT_EQ(rig.owner.reports, 1);
        EXPECT_EQ(rig.endpoint.calls, "RR");
        EXPECT_EQ(rig.clock.reads, 2);
    }
    // The cut datagram is a long reply: it set the load of its candidate.
    Rig rig;
    rig.endpoint.waiting.push_back({ReceiveKind::kTruncated, Reply(t, 1024, 5), "127.0.0.2", 4000, 0});
    rig.Read();
    rig.candidates.Walk([](const IPInfo& candidate) {
        EXPECT_EQ(candidate.dwLoad, strcmp(candidate.szIP, "127.0.0.2") == 0 ? 5u : 100u) << candidate.szIP;
    });
}

// The window is judged by the tick at which the receive began, also when the
// receive itself takes time, and across a wrap of the tick.
TEST(ProbeExchange, ReportingWindowByArrivalTick)
{
    const struct {
        uint32_t arrivalMs;
        uint64_t takeUs;
        bool reported;
    } cases[] = {{4999, 0, true}, {5000, 0, true}, {4997, 3000, true}, {4998, 3000, false}, {5001, 0, false}};
    for (uint32_t start : {1000u, 0xFFFFF000u}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(start) + " + " + std::to_string(c.arrivalMs));
            Rig rig(3, start);
            rig.endpoint.takeUs = c.takeUs;
            rig.endpoint.waiting.push_back(Datagram("127.0.0.2", start));
            rig.clock.now = (uint64_t)start * 1000 + (uint64_t)c.arrivalMs * 1000;
            rig.Read();
            EXPECT_EQ(rig.owner.reports, c.reported ? 1 : 0);
            // A reply is stamped when its receive returns: it may have come in
            // while the receive ran, never later.
            const uint32_t stampedMs = c.arrivalMs + (uint32_t)(c.takeUs / 1000);
            if (c.reported)
                EXPECT_EQ(rig.owner.events.back(), "report 127.0.0.2:4000 " + std::to_string(stampedMs));
            // Late or not, the reply counts for its candidate.
            rig.candidates.Walk([&](const IPInfo& candidate) {
                if (strcmp(candidate.szIP, "127.0.0.2") == 0)
                    EXPECT_EQ(candidate.dwRTT, stampedMs);
            });
        }
    }
}

// A datagram taken after the notification handled others is stamped when it
// is taken, not when the notification began: the sink's calls take time.
TEST(ProbeExchange, ATakeAfterHandlingIsStampedThen)
{
    Rig rig(2, 1000, false);
    rig.endpoint.answering = true;
    rig.exchange->SendToAll(rig.candidates);  // the first echo is taken between the sends
    rig.owner.onReport = [&] { rig.clock.now += 5000; };
    rig.Read();
    std::vector<std::string> reports;
    for (const std::string& event : rig.owner.events)
        if (event.compare(0, 7, "report ") == 0)
            reports.push_back(event.substr(event.rfind(' ') + 1));
    EXPECT_EQ(reports, (std::vector<std::string>{"0", "5"}));
}

// Between two sends the socket is looked at while replies come in, and the wait
// for replies is held to kPacingPercent of the time of the sends; while none
// come in, or the takes cost more than that allows, it is looked at once in
// kSendsPerQuietLook sends.
TEST(ProbeExchange, PacingOfTheSends)
{
    const uint32_t servers = 64;
    const struct {
        const char* name;
        bool answering;
        uint64_t takeUs;
        bool rareLooks;
    } cases[] = {
        {"quiet", false, 30, true},
        {"replies flow, takes cheaper than sends", true, 5, false},
        {"replies flow, takes dearer than sends", true, 80, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(servers, 1000, false);
        rig.exchange->MakeRoomForReplies(servers);
        rig.endpoint.answering = c.answering;
        rig.endpoint.sendUs = 30;
        rig.endpoint.takeUs = c.takeUs;
        EXPECT_EQ(rig.exchange->SendToAll(rig.candidates), 1);

        // Whether the socket was looked at in each gap between two sends.
        std::vector<bool> looked;
        for (char call : rig.endpoint.calls) {
            if (call == 'S')
                looked.push_back(false);
            else
                looked.back() = true;
        }
        ASSERT_EQ(looked.size(), servers);
        looked.pop_back();  // after the last send
        size_t looks = 0;
        for (size_t gap = 0; gap < looked.size(); ++gap) {
            looks += looked[gap];
            if (c.rareLooks)
                EXPECT_EQ(looked[gap], gap % kSendsPerQuietLook == 0) << gap;
        }
        uint64_t sending = 0, between = 0, longestGap = 0;
        for (size_t i = 0; i < rig.endpoint.sends.size(); ++i) {
            sending += rig.endpoint.sends[i].end - rig.endpoint.sends[i].begin;
            if (i > 0) {
                uint64_t gap = rig.endpoint.sends[i].begin - rig.endpoint.sends[i - 1].end;
                between += gap;
                longestGap = std::max(longestGap, gap);
            }
        }
        if (!c.rareLooks) {
            EXPECT_GE(4 * looks, 3 * looked.size()) << "a look in most gaps";
            EXPECT_LE(100 * between, kPacingPercent * sending + 100 * longestGap);
        }
        // A receive during the sends finds a datagram, as the look before it
        // told; only a backlog is received without looks, and one receive in
        // vain ends each.
        const std::string& calls = rig.endpoint.calls;
        size_t backlogs = 0;
        for (size_t at = calls.find("RR"); at != std::string::npos;
             at = calls.find("RR", calls.find_first_not_of('R', at)))
            ++backlogs;
        EXPECT_EQ((uint32_t)std::count(calls.begin(), calls.end(), 'R'),
                  rig.exchange->LastSendPhases().nTaken + backlogs);
        // Past its first datagrams a take looks no more: each look would delay,
        // and so stamp later, the datagrams behind it.
        EXPECT_EQ(calls.find("LRLRL"), std::string::npos);
        // Replies taken during the sends are reported from the notification only.
        EXPECT_EQ(rig.owner.reports, 0);
        EXPECT_EQ(rig.exchange->RepliesWaiting(), c.answering);
    }
}

// The queue holds what the sends take; what does not fit waits on the socket.
// One notification handles kHandledPerNotification datagrams and, having
// reached that bound, asks for a later turn for whatever may remain. Each is
// reported once, in arrival order.
TEST(ProbeExchange, QueueAndNotificationBounds)
{
    const struct {
        uint32_t waiting;
        bool roomForAll;
        int firstNotification;
    } cases[] = {
        {kInitialReplyQueue + 10, false, kInitialReplyQueue + 10},
        {kHandledPerNotification, true, (int)kHandledPerNotification},
        {kHandledPerNotification + 1, true, (int)kHandledPerNotification},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.waiting);
        Rig rig(c.waiting, 1000, false);
        if (c.roomForAll)
            rig.exchange->MakeRoomForReplies(c.waiting);
        rig.endpoint.answering = true;
        EXPECT_EQ(rig.exchange->SendToAll(rig.candidates), 1);
        size_t taken = c.waiting - rig.endpoint.waiting.size();
        EXPECT_LE(taken, c.roomForAll ? c.waiting : kInitialReplyQueue) << "no take into a full queue";
        EXPECT_TRUE(rig.exchange->RepliesWaiting());

        rig.Read();
        EXPECT_EQ(rig.owner.reports, c.firstNotification);
        EXPECT_EQ(rig.owner.laterTurns, c.firstNotification == (int)kHandledPerNotification ? 1 : 0);
        rig.Read();
        EXPECT_EQ(rig.owner.reports, (int)c.waiting);
        // In the order of the sends, which is the order of the arrivals here.
        std::vector<std::string> expected, reported;
        rig.candidates.Walk([&](const IPInfo& candidate) { expected.push_back(candidate.szIP); });
        for (const std::string& event : rig.owner.events)
            if (event.compare(0, 7, "report ") == 0)
                reported.push_back(event.substr(7, event.find(':') - 7));
        EXPECT_EQ(reported, expected);
    }
}

// One notification takes no more off the socket than it handles, however many
// wait and however much room the queue has, and leaves the rest for a later turn.
TEST(ProbeExchange, OneNotificationTakesABoundedBatch)
{
    const uint32_t waiting = 3 * kHandledPerNotification + 5;
    Rig rig(waiting);
    rig.exchange->MakeRoomForReplies(waiting);
    rig.candidates.Walk([&](const IPInfo& candidate) { rig.endpoint.waiting.push_back(Datagram(candidate.szIP, 1000)); });
    rig.clock.AtTick(1010);
    for (uint32_t notification = 1; notification <= 4; ++notification) {
        SCOPED_TRACE(notification);
        rig.endpoint.calls.clear();
        rig.Read();
        EXPECT_LE(std::count(rig.endpoint.calls.begin(), rig.endpoint.calls.end(), 'R'), kHandledPerNotification + 1);
        EXPECT_EQ(rig.owner.reports, (int)std::min(notification * kHandledPerNotification, waiting));
        EXPECT_EQ(rig.owner.laterTurns, (int)std::min(notification, 3u));
    }
}

// In the one millisecond of every wrap where the clock reads 0, a request carries
// the next tick: a responder refuses tick 0, and the server would read as silent.
TEST(ProbeExchange, NoRequestCarriesTickZero)
{
    const struct {
        uint64_t clockTick;
        const char* wireTick;
    } cases[] = {{0x100000000ull, "dwTick=1,"}, {0x1FFFFFFFFull, "dwTick=4294967295,"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wireTick);
        Rig rig(1, c.clockTick, false);
        rig.endpoint.answering = true;
        rig.exchange->SendToAll(rig.candidates);
        ASSERT_GE(rig.owner.events.size(), 2u);
        EXPECT_NE(rig.owner.events[1].find(c.wireTick), std::string::npos) << rig.owner.events[1];
        rig.Read();
        EXPECT_EQ(rig.owner.reports, 1) << "the echo of the request is taken";
    }
}

TEST(ProbeExchange, EndOfDetectionDueAcrossATickWrap)
{
    const struct {
        uint32_t startTick, limitMs, elapsedMs;
        bool due;
    } cases[] = {
        {1000, 300, 299, false},       {1000, 300, 300, true},       {0xFFFFFF00u, 300, 299, false},
        {0xFFFFFF00u, 300, 300, true}, {0xFFFFFFFFu, 1, 1, true},   {0xFFFFFF00u, 300, 0x80000000u, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.startTick) + " + " + std::to_string(c.elapsedMs));
        Rig rig(3, c.startTick);
        EXPECT_FALSE(rig.exchange->EndOfDetectionDue()) << "no end timer yet";
        rig.exchange->EndTimerStarted(c.limitMs);
        rig.endpoint.waiting.push_back(Datagram("127.0.0.2", c.startTick));
        rig.clock.now = (uint64_t)c.startTick * 1000 + (uint64_t)c.elapsedMs * 1000;
        EXPECT_EQ(rig.exchange->EndOfDetectionDue(), c.due);
        // A notification that comes when the end is due ends the detection and
        // takes nothing.
        rig.Read();
        const std::vector<std::string> handled = {"T from [127.0.0.2:4000] recv udp [16]bytes",
                                                  "report 127.0.0.2:4000 " + std::to_string(c.elapsedMs)};
        EXPECT_EQ(rig.owner.events, c.due ? std::vector<std::string>{"end"} : handled);
        EXPECT_FALSE(rig.exchange->EndOfDetectionDue()) << "once ended";
        if (c.due) {
            rig.Read();
            EXPECT_EQ(rig.owner.events.back(),
                      "refused: the detection has ended: replies after the end timer are dropped");
        }
    }
}

// Re-probing against scripted servers and the injected clock: who is asked again
// and when, and which reply counts. Server k is 127.0.0.(k + 2); it answers the
// requests listed (1 the first, 2 the first sent again, ...) after its delay and
// loses the others. The edge's timer is played by calling Reprobe when it asked
// to be called, the first time kRetryFloorMs after the sends.
TEST(ProbeExchange, RetrySchedule)
{
    struct Server {
        std::vector<uint32_t> answered;
        uint32_t delayMs;
    };
    const struct {
        const char* what;
        uint32_t reprobes, limitMs;
        std::vector<Server> servers;
        std::vector<std::vector<uint32_t>> requestsMs;  // per server, after the start
        std::vector<std::string> reports;
    } cases[] = {
        {"off: one request each", 0, 0, {{{1}, 10}, {{}, 0}}, {{0}, {0}}, {"report 127.0.0.2:4000 10"}},
        {"a 10 ms reply: the slowest reply plus the floor; two re-probes, then none", 2, 0, {{{1}, 10}, {{}, 0}},
         {{0}, {0, 60, 120}}, {"report 127.0.0.2:4000 10"}},
        {"no server is asked again while slower ones still answer", 1, 0,
         {{{1}, 10}, {{1}, 40}, {{1}, 70}, {{}, 0}}, {{0}, {0}, {0}, {0, 120}},
         {"report 127.0.0.2:4000 10", "report 127.0.0.3:4000 40", "report 127.0.0.4:4000 70"}},
        {"before any reply, the initial value", 1, 2000, {{{}, 0}}, {{0, 250}}, {}},
        {"the time limit shared out among the requests caps it", 2, 300, {{{}, 0}}, {{0, 100, 200}}, {}},
        {"a 100 ms reply gives 100 + 4 x 50", 1, 0, {{{1}, 100}, {{}, 0}}, {{0}, {0, 300}},
         {"report 127.0.0.2:4000 100"}},
        {"the time counts from the request answered", 1, 0, {{{1}, 10}, {{2}, 20}}, {{0}, {0, 60}},
         {"report 127.0.0.2:4000 10", "report 127.0.0.3:4000 20"}},
        {"both answers are reported, each with its own request's time", 1, 0, {{{1}, 10}, {{1, 2}, 80}},
         {{0}, {0, 60}}, {"report 127.0.0.2:4000 10", "report 127.0.0.3:4000 80", "report 127.0.0.3:4000 80"}},
    };
    const uint32_t start = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig((uint32_t)c.servers.size(), start, false);
        rig.exchange->SetReprobeCount(c.reprobes);
        std::vector<std::vector<uint32_t>> requests(c.servers.size());
        rig.endpoint.onSend = [&](const uint8_t* data, const char* ip, uint16_t) {
            uint32_t tick;
            memcpy(&tick, data + 8, sizeof tick);
            unsigned a, b, cc, d;
            sscanf(ip, "%u.%u.%u.%u", &a, &b, &cc, &d);
            std::vector<uint32_t>& sent = requests[d - 2];
            sent.push_back(tick - start);
            const Server& server = c.servers[d - 2];
            if (std::count(server.answered.begin(), server.answered.end(), (uint32_t)sent.size()) == 0)
                return;
            Waiting reply = Datagram(ip, tick);
            reply.atUs = (uint64_t)(tick + server.delayMs) * 1000;
            std::deque<Waiting>& waiting = rig.endpoint.waiting;
            waiting.insert(std::upper_bound(waiting.begin(), waiting.end(), reply,
                                            [](const Waiting& x, const Waiting& y) { return x.atUs < y.atUs; }),
                           reply);
        };
        rig.exchange->SendToAll(rig.candidates);
        if (c.limitMs != 0)
            rig.exchange->EndTimerStarted(c.limitMs);
        uint32_t nextCheck = c.reprobes != 0 ? start + kRetryFloorMs : 0;
        for (uint32_t tick = start + 1; tick < start + (c.limitMs != 0 ? c.limitMs : 1000); ++tick) {
            rig.clock.AtTick(tick);
            if (!rig.endpoint.waiting.empty() && rig.endpoint.waiting.front().atUs <= rig.clock.now)
                rig.Read();
            if (tick == nextCheck) {
                uint32_t in = rig.exchange->Reprobe();
                nextCheck = in != 0 ? tick + in : 0;
            }
        }
        EXPECT_EQ(requests, c.requestsMs);
        std::vector<std::string> reports;
        for (const std::string& event : rig.owner.events)
            if (event.compare(0, 7, "report ") == 0)
                reports.push_back(event);
        EXPECT_EQ(reports, c.reports);
        EXPECT_EQ(nextCheck, 0u) << "the re-probes end by themselves";
    }
}

// The sink may pump messages: a nested notification takes and reports what
// waits, and the outer one then finds nothing more; nothing is reported twice
// or out of order, and the exchange keeps nothing of either pass.
TEST(ProbeExchange, ANestedNotificationInsideTheSinkTakesTheRest)
{
    Rig rig;
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4"})
        rig.endpoint.waiting.push_back(Datagram(source, 1000));
    bool inside = false;
    rig.owner.onReport = [&] {
        if (!inside) {
            inside = true;
            rig.Read();
        }
    };
    rig.clock.AtTick(1010);
    rig.Read();
    std::vector<std::string> reports;
    for (const std::string& event : rig.owner.events)
        if (event.compare(0, 7, "report ") == 0)
            reports.push_back(event.substr(7, event.find(':') - 7));
    EXPECT_EQ(reports, (std::vector<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.4"}));
}

}  // namespace
