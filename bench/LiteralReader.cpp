#include "LiteralReader.h"

#include "ProbeProtocol.h"
#include "UdpEndpoint.h"
#include "Tick.h"

namespace {

const char kWindowClass[] = "LrdBenchLiteralReader";
const UINT kSocketMessage = WM_APP + 1;

}  // namespace

LiteralReader::LiteralReader(Report report) : m_report(std::move(report))
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);  // fails harmlessly once registered
    m_window = CreateWindowExA(0, kWindowClass, kWindowClass, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    SetWindowLongPtrA(m_window, GWLP_USERDATA, (LONG_PTR)this);
    m_socket = socket(AF_INET, SOCK_DGRAM, 0);
    u_long nonBlocking = 1;
    ioctlsocket(m_socket, FIONBIO, &nonBlocking);
    int size = 1024;
    int length = sizeof size;
    getsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &length);
    m_buffer.resize((size_t)size);
    WSAAsyncSelect(m_socket, m_window, kSocketMessage, FD_READ);
}

LiteralReader::~LiteralReader()
{
    closesocket(m_socket);
    DestroyWindow(m_window);
}

void LiteralReader::Detect(const std::vector<ServerInfo>& servers)
{
    for (const ServerInfo& server : servers)
        m_candidates.InsertServer(server);
    m_startTick = LrdTickCount();
    for (const IPInfo& candidate : m_candidates.Items())
        SendRequest(candidate.szIP, candidate.ushPort);
}

void LiteralReader::SendLoop(const std::vector<ServerInfo>& servers)
{
    m_startTick = LrdTickCount();
    for (const ServerInfo& server : servers)
        SendRequest(server.szAddr, server.ushPort);
}

void LiteralReader::SendRequest(const char* ip, uint16_t port)
{
    uint8_t wire[kProbeSize];
    EncodeRequest(MakeRequest(m_seq++, LrdTickCount()), wire);
    sockaddr_in destination = {};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    destination.sin_addr.s_addr = inet_addr(ip);
    sendto(m_socket, reinterpret_cast<const char*>(wire), kProbeSize, 0,
           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
}

LRESULT CALLBACK LiteralReader::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* reader = reinterpret_cast<LiteralReader*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (reader != nullptr && message == kSocketMessage && WSAGETSELECTEVENT(lParam) == FD_READ)
        reader->OnRead();
    return DefWindowProcA(window, message, wParam, lParam);
}

void LiteralReader::OnRead()
{
    memset(m_buffer.data(), 0, m_buffer.size());
    sockaddr_in source = {};
    int sourceLength = sizeof source;
    int count = recvfrom(m_socket, reinterpret_cast<char*>(m_buffer.data()), (int)m_buffer.size(), 0,
                         reinterpret_cast<sockaddr*>(&source), &sourceLength);
    uint32_t arrivalTick = LrdTickCount();
    if (count == SOCKET_ERROR)
        return;
    uint8_t addressBytes[4];
    memcpy(addressBytes, &source.sin_addr, sizeof addressBytes);
    char sourceText[16];
    FormatIPv4(addressBytes, sourceText);
    uint16_t sourcePort = ntohs(source.sin_port);
    uint32_t rtt = 0;
    if (!m_candidates.HandleReply(m_buffer.data(), count, sourceText, sourcePort, m_startTick, arrivalTick, &rtt))
        return;
    if (TickElapsed(m_startTick, LrdTickCount()) <= kReportWindowMs && sourcePort != 0)
        m_report(sourceText, sourcePort, rtt);
}
