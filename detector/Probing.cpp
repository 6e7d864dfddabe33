// Requests out, replies in: the detector's side of the probe exchange.
#include "CLinkrateDetector.h"
#include "ProbeProtocol.h"
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

int32_t CLinkrateDetector::SendToAll(CandidateList& candidates)
{
    candidates.Walk([&](const IPInfo& candidate) { SendRequest(candidate.szIP, candidate.ushPort); });
    return 1;
}

int32_t CLinkrateDetector::OnTimeout() { return SendToAll(candidateList); }

void CLinkrateDetector::OnRead(SOCKET, int32_t)
{
    if (hSocket == INVALID_SOCKET || pRecvBuf == nullptr || !bInit || bFinished) {
        Error("%s exit fail", kOnRead);
        return;
    }
    memset(pRecvBuf, 0, (size_t)nRecvBufSize);
    sockaddr_in source = {};
    int sourceLength = sizeof source;
    int32_t count = recvfrom(hSocket, reinterpret_cast<char*>(pRecvBuf), nRecvBufSize, 0,
                             reinterpret_cast<sockaddr*>(&source), &sourceLength);
    uint32_t arrivalTick = LrdTickCount();
    // A datagram larger than the buffer arrives cut to the buffer's size.
    if (count == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE)
        count = nRecvBufSize;

    uint8_t addressBytes[4];
    memcpy(addressBytes, &source.sin_addr, sizeof addressBytes);
    char sourceText[16];
    FormatIPv4(addressBytes, sourceText);
    uint16_t sourcePort = ntohs(source.sin_port);
    Trace("from [%s:%d] recv udp [%d]bytes", sourceText, (int32_t)sourcePort, count);
    if (count == SOCKET_ERROR)
        return;

    ReplyOutcome outcome =
        HandleReply(candidateList, pRecvBuf, count, sourceText, sourcePort, dwStartTick, arrivalTick);
    if (outcome.verdict == ReplyVerdict::kTooShort) {
        Error("pdu size error,not support");
        return;
    }
    if (outcome.verdict != ReplyVerdict::kAccepted)
        return;
    if (TickElapsed(dwStartTick, LrdTickCount()) <= kReportWindowMs && pSink != nullptr && sourcePort != 0) {
        // The sink may release the detector: nothing may touch it after this call.
        pSink->OnIPDetected(sourceText, sourcePort, outcome.rtt);
    }
}
