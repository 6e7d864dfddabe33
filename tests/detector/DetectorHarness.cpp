#include "DetectorHarness.h"

void RecordingSink::OnIPDetected(const char* ip, uint16_t port, uint32_t rtt)
{
    reports.push_back({ip, port, rtt});
    if (onReport)
        onReport();
}

void RecordingSink::OnDetectFinished()
{
    ++finished;
    if (onFinished)
        onFinished();
}

DetectorHarness::DetectorHarness(uint32_t debugMask) : module("LinkrateDetector.dll")
{
    factory.SetLogSettings(debugMask, 0, nullptr, nullptr, 0);
    module.SetFactoryHandle(factory.Handle());
}

ILinkrateDetector* DetectorHarness::NewDetector()
{
    return static_cast<ILinkrateDetector*>(module.CreateComponent(LRD_DETECTOR_ID, 0));
}

void ServerListBuffer::Add(const char* address, uint16_t port)
{
    ServerInfo server = {};
    snprintf(server.szAddr, sizeof server.szAddr, "%s", address);
    server.ushPort = port;
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&server);
    bytes.insert(bytes.end(), raw, raw + sizeof server);
    List()->ushCount++;
}

ServerList* ServerListBuffer::List() { return reinterpret_cast<ServerList*>(bytes.data()); }

bool ResultBuffer::Untouched() const
{
    for (uint8_t b : bytes)
        if (b != 0xCD)
            return false;
    return true;
}

HWND FindDetectorWindow()
{
    const char kName[] = "LinkrateDetectorModuleWindow";
    HWND window = nullptr;
    while ((window = FindWindowExA(HWND_MESSAGE, window, kName, kName)) != nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId())
            return window;
    }
    return nullptr;
}
