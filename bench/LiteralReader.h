// The probe exchange as first written, for comparison in the same run: every
// request sent in one loop, then one recvfrom per read notification, a receive
// buffer as large as the socket's, and the socket's receive buffer as the system
// sets it. Candidates live in the literal list.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <vector>

#include "LiteralCandidates.h"

class LiteralReader {
public:
    using Report = std::function<void(const char* ip, uint16_t port, uint32_t rtt)>;

    explicit LiteralReader(Report report);
    ~LiteralReader();
    LiteralReader(const LiteralReader&) = delete;
    LiteralReader& operator=(const LiteralReader&) = delete;

    // Places the servers in the literal list and sends each one request.
    void Detect(const std::vector<ServerInfo>& servers);
    // The plain send loop alone: one request to each server in the given order,
    // with nothing placed; replies are still read, and match no candidate.
    void SendLoop(const std::vector<ServerInfo>& servers);
    size_t ReceiveBufferSize() const { return m_buffer.size(); }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void OnRead();
    void SendRequest(const char* ip, uint16_t port);

    Report m_report;
    HWND m_window = nullptr;
    SOCKET m_socket = INVALID_SOCKET;
    std::vector<uint8_t> m_buffer;
    LiteralCandidates m_candidates;
    uint32_t m_startTick = 0;
    uint32_t m_seq = 1;
};
