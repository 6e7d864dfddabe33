/*
 * A complete, small host in C: one detection over the servers on the command
 * line, printed best first.
 *
 *   c_host [--log FILE] ADDRESS[:PORT]...     (dotted IPv4, port 8000 when absent)
 *
 * It links the shipped factory library ZelFact.dll through its import library
 * and configures it, loads LinkrateDetector.dll from its own folder, hands it the
 * factory library, and runs Initialize, Detect, the message pump until
 * OnDetectFinished, GetSortedIPArray, Finalize and Release. With --log, the
 * module's Error and Trace lines (every refusal and failed step with its reason)
 * go to FILE. Exit status 0 when a server answered, 1 when none did, 2 when the
 * module cannot be used. Written in C89, the header's floor.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "LinkrateDetector.h"
#include "ZelFact.h"

#if defined(__GNUC__) && !defined(__clang__)
/* gcc warns that __thiscall is meant for C++, though it honours it in C. */
#pragma GCC diagnostic ignored "-Wattributes"
#endif

enum { kTimeLimitMs = 2000, kMarginMs = 5000, kDefaultPort = 8000, kMaxServers = 64 };

/* The sink: the interface first, then what this host keeps. */
typedef struct HostSink {
    ILinkrateDetectorSink base;
    int finished;
} HostSink;

static void LRD_C_METHOD SinkReserved(LRD_C_SELF(ILinkrateDetectorSink)) {}

static void LRD_C_METHOD SinkOnIPDetected(LRD_C_SELF(ILinkrateDetectorSink), const char* ip, uint16_t port,
                                          uint32_t rtt)
{
    /* ip is valid only during the call. */
    printf("%s:%u answered in %lu ms\n", ip, (unsigned)port, (unsigned long)rtt);
}

static void LRD_C_METHOD SinkOnDetectFinished(LRD_C_SELF(ILinkrateDetectorSink)) { ((HostSink*)self)->finished = 1; }

static const ILinkrateDetectorSinkVtbl kSinkVtbl = {SinkReserved, SinkOnIPDetected, SinkOnDetectFinished};

/* The module from the folder of this program, so that the current folder does
 * not matter. */
static HMODULE LoadModuleBesideProgram(void)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    const char name[] = "LinkrateDetector.dll";
    while (length > 0 && path[length - 1] != '\\' && path[length - 1] != '/')
        --length;
    if (length + sizeof name > sizeof path)
        return NULL;
    memcpy(path + length, name, sizeof name);
    return LoadLibraryA(path);
}

/* "a.b.c.d[:port]" into a server record; 0 when the text does not fit. */
static int ParseServer(const char* text, ServerInfo* server)
{
    const char* colon = strchr(text, ':');
    size_t length = colon != NULL ? (size_t)(colon - text) : strlen(text);
    long port = kDefaultPort;
    if (length == 0 || length >= 16)
        return 0;
    if (colon != NULL) {
        char* end;
        port = strtol(colon + 1, &end, 10);
        if (*end != '\0' || port < 1 || port > 65535)
            return 0;
    }
    memcpy(server->szAddr, text, length);
    server->szAddr[length] = '\0';
    server->ushPort = (uint16_t)port;
    return 1;
}

/* Dispatches this thread's messages until the sink hears the end or the margin
 * past the time limit is used up. */
static void PumpUntilFinished(const HostSink* sink)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        DWORD elapsed;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        elapsed = GetTickCount() - start;
        if (sink->finished || elapsed >= kTimeLimitMs + kMarginMs)
            return;
        MsgWaitForMultipleObjects(0, NULL, FALSE, kTimeLimitMs + kMarginMs - elapsed, QS_ALLINPUT);
    }
}

int main(int argc, char** argv)
{
    const char* logPath = NULL;
    int first = 1, count, i, answered = 0;
    HMODULE module;
    PFN_CreateComponent create;
    PFN_SetFactoryHandle setFactory;
    ILinkrateDetector* detector;
    HostSink sink;
    ServerList* list;
    IPInfoArray* result;

    if (argc > 2 && strcmp(argv[1], "--log") == 0) {
        logPath = argv[2];
        first = 3;
    }
    count = argc - first;
    if (count < 1 || count > kMaxServers) {
        fprintf(stderr, "usage: c_host [--log FILE] ADDRESS[:PORT]...  (1 to %d servers)\n", kMaxServers);
        return 2;
    }
    list = (ServerList*)calloc(1, LRD_SERVER_LIST_SIZE(count));
    result = (IPInfoArray*)calloc(1, LRD_IP_INFO_ARRAY_SIZE(count));
    if (list == NULL || result == NULL)
        return 2;
    list->ushCount = (uint16_t)count;
    for (i = 0; i < count; ++i) {
        if (!ParseServer(argv[first + i], &list->servers[i])) {
            fprintf(stderr, "c_host: '%s' is not ADDRESS[:PORT]\n", argv[first + i]);
            return 2;
        }
    }

    /* The factory library is configured before the first detector exists: a
     * detector takes its log settings when it is made. Error lines (bit 1) go to
     * the debugger output; with --log, both levels to the file too. */
    if (!ZelFactConfigure(1, logPath != NULL ? 3 : 0, logPath)) {
        fprintf(stderr, "c_host: ZelFactConfigure refused (log file '%s': error %lu)\n", logPath ? logPath : "",
                (unsigned long)GetLastError());
        return 2;
    }
    module = LoadModuleBesideProgram();
    if (module == NULL) {
        fprintf(stderr, "c_host: cannot load LinkrateDetector.dll beside the program (error %lu)\n",
                (unsigned long)GetLastError());
        return 2;
    }
    create = (PFN_CreateComponent)(void*)GetProcAddress(module, "CreateComponent");
    setFactory = (PFN_SetFactoryHandle)(void*)GetProcAddress(module, "SetFactoryHandle");
    if (create == NULL || setFactory == NULL) {
        fprintf(stderr, "c_host: LinkrateDetector.dll lacks its exports\n");
        return 2;
    }
    setFactory(GetModuleHandleA("ZelFact.dll"));

    detector = (ILinkrateDetector*)create(LRD_DETECTOR_ID, 0);
    if (detector == NULL) {
        fprintf(stderr, "c_host: the module gave no detector\n");
        return 2;
    }
    memset(&sink, 0, sizeof sink);
    sink.base.lpVtbl = &kSinkVtbl;
    ILinkrateDetector_Initialize(detector, &sink.base);
    if (!ILinkrateDetector_DetectRecordList(detector, list, kTimeLimitMs)) {
        /* Initialize returns 1 even when its window or socket step failed; the
         * refusal comes here. Under Wine without a display, the likeliest cause is
         * no usable graphics driver. */
        fprintf(stderr, "c_host: the detector refused Detect; its reason is in the log (--log FILE)\n");
        ILinkrateDetector_Finalize(detector);
        ILinkrateDetector_Release(detector, 0);
        return 2;
    }
    PumpUntilFinished(&sink);

    if (ILinkrateDetector_GetSortedIPArray(detector, result)) {
        for (i = 0; i < (int)result->dwCount; ++i) {
            const IPInfo* info = &result->info[i];
            /* 5000 ms is the value of a server that never answered. */
            if (info->dwRTT < 5000) {
                ++answered;
                printf("%d. %s:%u  %lu ms  load %lu\n", i + 1, info->szIP, (unsigned)info->ushPort,
                       (unsigned long)info->dwRTT, (unsigned long)info->dwLoad);
            } else {
                printf("%d. %s:%u  no reply\n", i + 1, info->szIP, (unsigned)info->ushPort);
            }
        }
    }
    ILinkrateDetector_Finalize(detector);
    ILinkrateDetector_Release(detector, 0);
    free(result);
    free(list);
    return answered > 0 ? 0 : 1;
}
