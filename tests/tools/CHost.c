/*
 * A host written in C against include/LinkrateDetector.h and include/ZelFact.h:
 * it loads the shipped factory library and the module, runs one detection over
 * a server it answers itself on 127.0.0.1 and one that stays silent, with a sink
 * implemented in C, and checks what every slot it calls gives back. Exit status
 * 0 when everything holds, else 1 with a line per fault.
 */
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "LinkrateDetector.h"
#include "ZelFact.h"

#if defined(__GNUC__) && !defined(__clang__)
/* gcc warns about __thiscall on C functions, which it honours all the same. */
#pragma GCC diagnostic ignored "-Wattributes"
#endif

enum { kLoad = 7, kTimeLimitMs = 1500, kMarginMs = 20000 };

static int g_faults;

static void Check(int holds, const char* what)
{
    if (!holds) {
        printf("FAIL: %s\n", what);
        ++g_faults;
    }
}

/* The sink: its vtable first, then what it heard. */
typedef struct ProbeSink {
    ILinkrateDetectorSink base;
    int replies;
    char ip[16];
    uint16_t port;
    uint32_t rtt;
    int finished;
} ProbeSink;

static void LRD_C_METHOD SinkReserved(LRD_C_SELF(ILinkrateDetectorSink)) { Check(0, "slot 0 of the sink was called"); }

static void LRD_C_METHOD SinkOnIPDetected(LRD_C_SELF(ILinkrateDetectorSink), const char* ip, uint16_t port,
                                          uint32_t rtt)
{
    ProbeSink* sink = (ProbeSink*)self;
    ++sink->replies;
    strncpy(sink->ip, ip, sizeof sink->ip - 1);
    sink->port = port;
    sink->rtt = rtt;
}

static void LRD_C_METHOD SinkOnDetectFinished(LRD_C_SELF(ILinkrateDetectorSink)) { ((ProbeSink*)self)->finished = 1; }

static const ILinkrateDetectorSinkVtbl kSinkVtbl = {SinkReserved, SinkOnIPDetected, SinkOnDetectFinished};

static SOCKET BoundSocket(uint16_t* port)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    struct sockaddr_in address;
    int length = sizeof address;
    u_long nonBlocking = 1;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (struct sockaddr*)&address, sizeof address);
    getsockname(s, (struct sockaddr*)&address, &length);
    ioctlsocket(s, FIONBIO, &nonBlocking);
    *port = ntohs(address.sin_port);
    return s;
}

/* Echoes every request waiting with the load appended, as a server does. */
static void Answer(SOCKET s)
{
    char data[64];
    struct sockaddr_in from;
    int fromLength = sizeof from;
    int length;
    while ((length = recvfrom(s, data, sizeof data, 0, (struct sockaddr*)&from, &fromLength)) >= 16) {
        data[16] = 0;
        data[17] = 0;
        data[18] = 0;
        data[19] = kLoad;
        sendto(s, data, 20, 0, (struct sockaddr*)&from, fromLength);
        fromLength = sizeof from;
    }
}

static HMODULE LoadBeside(const char* name)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    while (length > 0 && path[length - 1] != '\\' && path[length - 1] != '/')
        --length;
    path[length] = '\0';
    if (length + strlen(name) >= sizeof path)
        return NULL;
    strcat(path, name);
    return LoadLibraryA(path);
}

int main(void)
{
    WSADATA wsa;
    HMODULE factory, module;
    PFN_ZelFactConfigure configure;
    PFN_CreateComponent create;
    PFN_SetFactoryHandle setFactory;
    ILinkrateDetector* detector;
    ProbeSink sink;
    SOCKET server, silent;
    uint16_t serverPort, silentPort;
    ServerList* list;
    IPStringList textList;
    IPInfoArray* result;
    DWORD start;

    WSAStartup(MAKEWORD(2, 2), &wsa);
    factory = LoadBeside("host\\ZelFact.dll");
    module = LoadBeside("LinkrateDetector.dll");
    if (factory == NULL || module == NULL) {
        printf("FAIL: cannot load host\\ZelFact.dll or LinkrateDetector.dll\n");
        return 1;
    }
    configure = (PFN_ZelFactConfigure)(void*)GetProcAddress(factory, "ZelFactConfigure");
    create = (PFN_CreateComponent)(void*)GetProcAddress(module, "CreateComponent");
    setFactory = (PFN_SetFactoryHandle)(void*)GetProcAddress(module, "SetFactoryHandle");
    if (configure == NULL || create == NULL || setFactory == NULL) {
        printf("FAIL: an export is missing\n");
        return 1;
    }
    Check(configure(0, 0, NULL) == 1, "ZelFactConfigure gives 1");
    Check(setFactory(factory) == (void*)factory, "SetFactoryHandle gives its handle back");

    detector = (ILinkrateDetector*)create(LRD_DETECTOR_ID, 5);
    if (detector == NULL) {
        printf("FAIL: no detector\n");
        return 1;
    }
    Check(ILinkrateDetector_GetComponentID(detector) == 39, "GetComponentID gives 39");
    Check(ILinkrateDetector_GetVersion(detector) == 1, "GetVersion gives 1");
    ILinkrateDetector_SetAutoRelease(detector, 1);
    Check(ILinkrateDetector_GetAutoRelease(detector) == 1, "GetAutoRelease gives what SetAutoRelease set");

    memset(&sink, 0, sizeof sink);
    sink.base.lpVtbl = &kSinkVtbl;
    Check(ILinkrateDetector_Initialize(detector, &sink.base) == 1, "Initialize gives 1");

    server = BoundSocket(&serverPort);
    /* Bound and closed again: nothing listens on that port. */
    silent = BoundSocket(&silentPort);
    closesocket(silent);
    list = (ServerList*)calloc(1, LRD_SERVER_LIST_SIZE(2));
    list->ushCount = 2;
    strcpy(list->servers[0].szAddr, "127.0.0.1");
    list->servers[0].ushPort = silentPort;
    strcpy(list->servers[1].szAddr, "127.0.0.1");
    list->servers[1].ushPort = serverPort;
    Check(ILinkrateDetector_DetectRecordList(detector, list, kTimeLimitMs) == 1, "Detect (record list) gives 1");
    /* The detector keeps copies: the list is not needed any more. */
    free(list);

    memset(&textList, 0, sizeof textList);
    textList.nCount = 1;
    strcpy(textList.szIP[0], "127.0.0.1");
    Check(ILinkrateDetector_DetectTextList(detector, &textList, kTimeLimitMs) == 0,
          "Detect (text list) is refused while a detection is open");

    start = GetTickCount();
    while (!sink.finished && GetTickCount() - start < kTimeLimitMs + kMarginMs) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Answer(server);
        MsgWaitForMultipleObjects(0, NULL, FALSE, 5, QS_ALLINPUT);
    }
    Check(sink.finished, "OnDetectFinished came");
    Check(sink.replies == 1, "OnIPDetected came once");
    Check(strcmp(sink.ip, "127.0.0.1") == 0 && sink.port == serverPort, "OnIPDetected names the server");
    Check(sink.rtt < kTimeLimitMs, "OnIPDetected gives a round-trip time within the limit");

    result = (IPInfoArray*)calloc(1, LRD_IP_INFO_ARRAY_SIZE(2));
    Check(ILinkrateDetector_GetSortedIPArray(detector, result) == 1, "GetSortedIPArray gives 1");
    Check(result->dwCount == 2, "the result holds both servers");
    Check(result->info[0].dwLoad == kLoad && result->info[0].dwRTT == sink.rtt,
          "the answering server comes first with its load and time");
    Check(result->info[1].dwRTT == 5000 && result->info[1].dwLoad == 100, "the silent server keeps 5000 and 100");
    free(result);

    Check(ILinkrateDetector_Finalize(detector) == 1, "Finalize gives 1");
    ILinkrateDetector_Release(detector, 0);
    Check(((PFN_ZelvoDllCanUnloadNow)(void*)GetProcAddress(module, "ZelvoDllCanUnloadNow"))() == 1,
          "no component is left after Release");
    closesocket(server);
    WSACleanup();
    if (g_faults == 0)
        printf("the C host ran one detection\n");
    return g_faults == 0 ? 0 : 1;
}
