// Requests out, replies in: the detector's side of the probe exchange.
#include "CLinkrateDetector.h"

#include <algorithm>

#include "ProbeProtocol.h"
#include "SystemClock.h"
#include "Tick.h"

namespace {

const char kSendRequest[] = "CLinkrateDetector::SendRequest()";
const char kOnRead[] = "CLinkrateDetector::OnRead()";

}  // namespace

int32_t CLinkrateDetector::SendRequest(const char* ip, uint16_t port)
{
    if (ip == nullptr || hSocket == INVALID_SOCKET) {
        Error("%s exit fail", kSendRequest);
        return 0;
    }
    Trace("%s exit success", kSendRequest);

    LRDPdu pdu = MakeRequest(dwSeq++, LrdTickCount());
    uint8_t wire[kProbeSize];
    EncodeRequest(pdu, wire);

    sockaddr_in destination = {};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    // Text that does not convert is not refused: its failure value, the
    // broadcast address, becomes the destination and the send reports the error.
    destination.sin_addr.s_addr = inet_addr(ip);

    int32_t sent = sendto(hSocket, reinterpret_cast<const char*>(wire), kProbeSize, 0,
                          reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    uint32_t errorCode = (uint32_t)WSAGetLastError();
    Trace("sent [%d] bytes to [%s:%d] [%s], pdu:{dwCmd=%u,dwTick=%u,ushSeq=%u,dwFillData=%u},errorcode=[%u]", sent, ip,
          (int32_t)port, sent != SOCKET_ERROR ? "success" : "error", pdu.dwCmd, pdu.dwTick, (uint32_t)pdu.ushSeq,
          pdu.dwFillData, errorCode);
    return sent != SOCKET_ERROR ? 1 : 0;
}

int32_t CLinkrateDetector::SendToAll(const CandidateList& candidates)
{
    // Replies that arrive while requests still go out are taken between the
    // sends, so that their arrival ticks are not those of the end of the loop; the
    // sink hears of them only from the read notification.
    //
    // While replies come in, the socket is looked at between every two sends, and
    // requests go out no faster than replies can be taken: servers at similar
    // distances answer as densely as the requests went out, and where a take
    // costs more than a send (under Wine two to three times as much) the replies
    // would pile up on the socket and be stamped the later the more came before
    // them. The wait between two sends is spent taking replies.
    //
    // While nothing comes in, nothing is waited for, and the socket is looked at
    // once in kSendsPerQuietLook sends only, since a look costs about as much as
    // a send: a list of silent servers goes out at nearly the pace of a plain
    // send loop. The caller is blocked meanwhile, and on a busy machine every
    // wait stretches, so the time between the sends is held to kPacingPercent of
    // the time of the sends themselves; beyond it the looks are as rare as when
    // nothing comes in. What a look finds is taken in any case: the socket's
    // buffer is the only other place for it. Until a request has gone out the
    // socket may have no address, and a receive would only fail.
    bool sent = false;
    uint32_t untilLook = 1;  // sends until the socket is looked at
    uint64_t sending = 0;    // microseconds spent in the sends
    uint64_t between = 0;    // microseconds spent taking and waiting between them
    uint64_t lastSend = 0, sendEnd = 0;
    auto inBudget = [&](uint64_t now) { return 100 * (between + (now - sendEnd)) < kPacingPercent * sending; };
    candidates.Walk([&](const IPInfo& candidate) {
        if (sent && --untilLook == 0) {
            uint32_t queued = replyQueue.Size();
            TakeReplies();
            bool flowing = replyQueue.Size() != queued;
            // With the queue full nothing more is taken, and waiting is no use.
            while (flowing && !replyQueue.Full() && LrdMicroseconds() - lastSend < nTakeCostUs &&
                   inBudget(LrdMicroseconds()))
                TakeReplies();
            untilLook = flowing && inBudget(LrdMicroseconds()) ? 1u : (uint32_t)kSendsPerQuietLook;
        }
        lastSend = LrdMicroseconds();
        if (sent)
            between += lastSend - sendEnd;
        sent = SendRequest(candidate.szIP, candidate.ushPort) != 0 || sent;
        sendEnd = LrdMicroseconds();
        sending += sendEnd - lastSend;
    });
    // What arrives from now on raises a notification of its own.
    if (!replyQueue.Empty())
        PostReadNotification();
    return 1;
}

int32_t CLinkrateDetector::OnTimeout() { return SendToAll(candidateList); }

bool CLinkrateDetector::AcceptingReplies() const
{
    return hSocket != INVALID_SOCKET && pRecvBuf != nullptr && bInit && !bFinished;
}

void CLinkrateDetector::TakeReplies()
{
    if (hSocket == INVALID_SOCKET || pRecvBuf == nullptr)
        return;
    uint32_t resets = 0;
    while (!replyQueue.Full()) {
        sockaddr_in source = {};
        int sourceLength = sizeof source;
        // A datagram that this receive finds was there when the receive began:
        // that is its arrival tick, closer to the truth than the end of the call.
        uint64_t began = LrdMicroseconds();
        int32_t count = recvfrom(hSocket, reinterpret_cast<char*>(pRecvBuf), nRecvBufSize, 0,
                                 reinterpret_cast<sockaddr*>(&source), &sourceLength);
        if (count != SOCKET_ERROR) {
            // A stall of the system must not hold the sends back for long.
            uint64_t cost = std::min<uint64_t>(LrdMicroseconds() - began, 4 * kAssumedTakeCostUs);
            nTakeCostUs = (uint32_t)((3 * (uint64_t)nTakeCostUs + cost) / 4);
        } else {
            int32_t error = WSAGetLastError();
            // Nothing waiting is no receive: the notification of a datagram that
            // was taken earlier finds the socket empty.
            if (error == WSAEWOULDBLOCK)
                return;
            // The report of an ICMP error for an earlier request (Windows makes
            // these unless SIO_UDP_CONNRESET is off): no datagram was lost, and
            // the next one may be waiting. Bounded, so that a socket that reports
            // nothing else cannot hold the thread.
            if ((error == WSAECONNRESET || error == WSAENETRESET) && ++resets <= kHandledPerNotification)
                continue;
            // A datagram larger than the buffer arrives cut to the buffer's size.
            if (error == WSAEMSGSIZE)
                count = nRecvBufSize;
        }

        uint8_t addressBytes[4];
        memcpy(addressBytes, &source.sin_addr, sizeof addressBytes);
        char sourceText[16];
        FormatIPv4(addressBytes, sourceText);
        uint16_t sourcePort = ntohs(source.sin_port);
        Trace("from [%s:%d] recv udp [%d]bytes", sourceText, (int32_t)sourcePort, count);
        if (count == SOCKET_ERROR)
            return;

        TakenDatagram& datagram = replyQueue.Push();
        datagram.arrivalTick = TickAt(began);
        datagram.length = (uint8_t)std::min<int32_t>(count, kReplyExaminedSize);
        memcpy(datagram.source, addressBytes, sizeof datagram.source);
        datagram.sourcePort = sourcePort;
        // Missing bytes of a short datagram read as zero.
        memset(datagram.head, 0, sizeof datagram.head);
        memcpy(datagram.head, pRecvBuf, datagram.length);
    }
}

void CLinkrateDetector::PostReadNotification()
{
    PostMessageA(hWnd, WM_LRD_SOCKET, (WPARAM)hSocket, WSAMAKESELECTREPLY(FD_READ, 0));
}

void CLinkrateDetector::OnRead(SOCKET, int32_t)
{
    // The system makes a WM_TIMER only when no posted message waits, so a steady
    // stream of read notifications would hold the end of the detection back for
    // as long as it lasts. The end is taken here as soon as it is due instead.
    if (EndOfDetectionDue()) {
        OnDetectTimer();  // the sink may release the detector: nothing after this
        return;
    }
    if (!AcceptingReplies()) {
        Error("%s exit fail", kOnRead);
        return;
    }
    ReadScope scope = {false, pReadScopes};
    pReadScopes = &scope;
    // Every datagram waiting is handled, each as if it had come with a
    // notification of its own; it keeps the tick at which it was taken.
    for (uint32_t handled = 0;; ++handled) {
        if (replyQueue.Empty())
            TakeReplies();
        if (replyQueue.Empty())
            break;
        if (handled == kHandledPerNotification) {
            PostReadNotification();
            break;
        }
        if (!HandleDatagram(replyQueue.Pop(), scope))
            return;
        // The sink may have finalised the detector or ended its detection.
        if (!AcceptingReplies())
            break;
    }
    pReadScopes = scope.outer;
}

bool CLinkrateDetector::HandleDatagram(const TakenDatagram& datagram, const ReadScope& scope)
{
    char sourceText[16];
    FormatIPv4(datagram.source, sourceText);
    ReplyOutcome outcome =
        HandleReply(candidateList, datagram.head, datagram.length, sourceText, datagram.sourcePort, dwStartTick,
                    datagram.arrivalTick);
    if (outcome.verdict == ReplyVerdict::kTooShort) {
        Error("pdu size error,not support");
        return true;
    }
    if (outcome.verdict != ReplyVerdict::kAccepted)
        return true;
    // The reporting window is judged by the reply's arrival: replies taken while a
    // long list still went out are handled only after Detect has returned.
    if (TickElapsed(dwStartTick, datagram.arrivalTick) <= kReportWindowMs && pSink != nullptr &&
        datagram.sourcePort != 0) {
        pSink->OnIPDetected(sourceText, datagram.sourcePort, outcome.rtt);
        // The sink may have released the detector: then nothing of it may be
        // touched, not even to look at its state.
        if (scope.detectorGone)
            return false;
    }
    return true;
}
