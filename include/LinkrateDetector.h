/*
 * LinkrateDetector.dll: the public contract for host developers.
 *
 * A host loads the module, asks CreateComponent for component 39 and drives the
 * returned ILinkrateDetector. Everything here is fixed by the binary contract:
 * the order of the virtual operations, the record layouts, the export shapes.
 * Usable from MSVC and mingw-w64 C++ on 32-bit Windows.
 */
#ifndef LINKRATE_DETECTOR_H
#define LINKRATE_DETECTOR_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define LRD_CDECL __cdecl
#define LRD_THISCALL __thiscall
#else
#define LRD_CDECL
#define LRD_THISCALL
#endif

/* Component ids of the framework. */
enum : uint32_t {
    LRD_MEMORY_SERVICE_ID = 3,
    LRD_DETECTOR_ID = 39,
    LRD_COMPONENT_FACTORY_ID = 361,
};

/* The first five operations of every component, in this order. */
struct IComponent {
    virtual int32_t LRD_THISCALL GetComponentID() = 0;
    virtual int32_t LRD_THISCALL GetVersion() = 0;
    virtual void LRD_THISCALL Release(int32_t force) = 0;
    virtual int32_t LRD_THISCALL GetAutoRelease() = 0;
    virtual void LRD_THISCALL SetAutoRelease(int32_t value) = 0;
};

/* The candidate record: element of the candidate list and of the result array. */
struct IPInfo {
    char szIP[16];      /* dotted IPv4 text; empty when the caller's text did not fit */
    uint16_t ushPort;   /* UDP port, host byte order */
    uint16_t ushUnused; /* never written by the detector */
    uint32_t dwRTT;     /* round-trip time in ms; 5000 until a reply arrives */
    uint32_t dwLoad;    /* load reported by the server; 100 until one does, never 0 */
};

/* One server of the record-list form of Detect. */
struct ServerInfo {
    char szAddr[64];    /* address text; only texts shorter than 16 characters are used */
    uint32_t dwUnused;
    uint16_t ushPort;   /* UDP port, host byte order */
    uint16_t ushUnused;
};

/* Record-list argument of Detect: 4 + 72 * ushCount bytes. */
struct ServerList {
    uint16_t ushCount;  /* 1 to 65535 */
    uint16_t ushUnused;
    ServerInfo servers[1];
};

/* Text-list argument of Detect: 4 + 16 * nCount bytes; every server gets port 8000. */
struct IPStringList {
    int32_t nCount;     /* 1 to 64 */
    char szIP[1][16];
};

/* Result buffer of GetSortedIPArray: 4 + 28 * n bytes, n the server count of Detect. */
struct IPInfoArray {
    uint32_t dwCount;
    IPInfo info[1];
};

static_assert(sizeof(IPInfo) == 28, "IPInfo layout");
static_assert(offsetof(IPInfo, ushPort) == 16 && offsetof(IPInfo, dwRTT) == 20 &&
                  offsetof(IPInfo, dwLoad) == 24, "IPInfo offsets");
static_assert(sizeof(ServerInfo) == 72, "ServerInfo layout");
static_assert(offsetof(ServerInfo, ushPort) == 68, "ServerInfo offsets");
static_assert(offsetof(ServerList, servers) == 4 && sizeof(ServerList) == 4 + 72, "ServerList layout");
static_assert(offsetof(IPStringList, szIP) == 4 && sizeof(IPStringList) == 4 + 16, "IPStringList layout");
static_assert(offsetof(IPInfoArray, info) == 4 && sizeof(IPInfoArray) == 4 + 28, "IPInfoArray layout");

/* Bytes a host allocates for n records of each variable layout. */
#define LRD_SERVER_LIST_SIZE(n) (4 + 72 * (size_t)(n))
#define LRD_IP_STRING_LIST_SIZE(n) (4 + 16 * (size_t)(n))
#define LRD_IP_INFO_ARRAY_SIZE(n) (4 + 28 * (size_t)(n))

/* The caller's notification sink. The detector calls slots 1 and 2 only, on the
 * thread that runs the detection, and never inside one of its own operations. */
struct ILinkrateDetectorSink {
    virtual void LRD_THISCALL Reserved() {}
    /* ip is valid only during the call; port in host order; rtt in milliseconds. */
    virtual void LRD_THISCALL OnIPDetected(const char* ip, uint16_t port, uint32_t rtt) = 0;
    virtual void LRD_THISCALL OnDetectFinished() = 0;
};

/* Component 39. Slots 0 to 4 come from IComponent; 5 to 9 follow. */
struct ILinkrateDetector : IComponent {
    virtual int32_t LRD_THISCALL Initialize(ILinkrateDetectorSink* sink) = 0;
    virtual int32_t LRD_THISCALL Finalize() = 0;
#if defined(_MSC_VER)
    /* MSVC lays overloaded virtual functions out in reverse order of declaration;
     * declaring the record-list form first keeps the text-list form in slot 7. */
    virtual int32_t LRD_THISCALL Detect(ServerList* list, uint32_t timeLimitMs) = 0;
    virtual int32_t LRD_THISCALL Detect(IPStringList* list, uint32_t timeLimitMs) = 0;
#else
    virtual int32_t LRD_THISCALL Detect(IPStringList* list, uint32_t timeLimitMs) = 0;
    virtual int32_t LRD_THISCALL Detect(ServerList* list, uint32_t timeLimitMs) = 0;
#endif
    virtual int32_t LRD_THISCALL GetSortedIPArray(IPInfoArray* out) = 0;
};

/* Vtable slots of ILinkrateDetector, for hosts that call through plain pointers. */
enum {
    LRD_SLOT_INITIALIZE = 5,
    LRD_SLOT_FINALIZE = 6,
    LRD_SLOT_DETECT_TEXT = 7,
    LRD_SLOT_DETECT_RECORDS = 8,
    LRD_SLOT_GET_SORTED_IP_ARRAY = 9,
};

/* Exports of the module (and, for CreateComponent, of the host's factory library),
 * by name and by these ordinals. All use the C calling convention. */
enum {
    LRD_ORDINAL_CREATE_COMPONENT = 1,
    LRD_ORDINAL_SET_DLL_REGISTRY = 2,
    LRD_ORDINAL_FREE_MAP = 3,
    LRD_ORDINAL_CAN_UNLOAD_NOW = 4,
    LRD_ORDINAL_SET_FACTORY_HANDLE = 5,
    LRD_ORDINAL_SET_DLL_SAFE = 6,
    LRD_ORDINAL_GET_COMPONENT_IDS = 7,
};

typedef IComponent*(LRD_CDECL* PFN_CreateComponent)(int32_t componentId, uint32_t creatorId);
typedef int32_t(LRD_CDECL* PFN_SetDLLRegistry)(const char* path);
typedef void(LRD_CDECL* PFN_ZelvoDllFreeMap)(void);
typedef int32_t(LRD_CDECL* PFN_ZelvoDllCanUnloadNow)(void);
typedef void*(LRD_CDECL* PFN_SetFactoryHandle)(void* factoryModule);
typedef int32_t(LRD_CDECL* PFN_ZelvoSetDllSafe)(int32_t value);
typedef int32_t(LRD_CDECL* PFN_GetComponentIDs)(int32_t* ids, int32_t count);

#endif
