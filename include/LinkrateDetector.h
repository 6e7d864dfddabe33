/*
 * LinkrateDetector.dll: the public contract for host developers.
 *
 * A host loads the module, asks CreateComponent for component 39 and drives the
 * returned ILinkrateDetector. Everything here is fixed by the binary contract:
 * the order of the virtual operations, the record layouts, the export shapes.
 * Usable from MSVC and mingw-w64 C++ and C on 32-bit Windows. In C each interface
 * is a struct whose first member, lpVtbl, points to its table of operations in
 * slot order, and the ILinkrateDetector_* macros call the detector's.
 *
 * Requires Windows Vista or later (32-bit, or WOW64); tested under Wine 8.
 *
 * Results: 1 for success, 0 for a refusal or failure, which changes nothing.
 * Last error: a refused call or failed step sets the thread's last error to its
 * reason's code (GetLastError right after the call); a call that succeeds
 * leaves it as it was:
 *   ERROR_INVALID_STATE          not initialised; no detection (GetSortedIPArray)
 *   ERROR_ALREADY_INITIALIZED    Initialize called again
 *   ERROR_INVALID_HANDLE_STATE   finalised: make a new detector
 *   ERROR_BUSY                   already detecting: one detection per detector
 *                                (a Detect after the detection has ended gets
 *                                ERROR_INVALID_HANDLE_STATE: make a new detector)
 *   ERROR_WINDOW_OF_OTHER_THREAD Detect not on the thread that called Initialize
 *   ERROR_INVALID_PARAMETER      null or empty list, count out of range, null buffer
 *   ERROR_NOT_ENOUGH_MEMORY      out of memory, no receive buffer
 *   any other code               the failed system call's own (socket, SetTimer, ...)
 * The reason is also written as an Error line to the log (see the factory's
 * GetLogSettings).
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

/* A compile-time check for C (any standard) and C++. */
#define LRD_CHECK_JOIN2(a, b) a##b
#define LRD_CHECK_JOIN(a, b) LRD_CHECK_JOIN2(a, b)
#define LRD_CHECK(condition) typedef char LRD_CHECK_JOIN(lrd_layout_check_, __LINE__)[(condition) ? 1 : -1]

#ifdef __cplusplus
#define LRD_ID_ENUM enum : uint32_t
#else
#define LRD_ID_ENUM enum
#endif

/* Component ids of the framework. */
LRD_ID_ENUM {
    LRD_MEMORY_SERVICE_ID = 3,
    LRD_DETECTOR_ID = 39,
    LRD_COMPONENT_FACTORY_ID = 361
};

typedef struct IPInfo IPInfo;
typedef struct ServerInfo ServerInfo;
typedef struct ServerList ServerList;
typedef struct IPStringList IPStringList;
typedef struct IPInfoArray IPInfoArray;

/* The candidate record: element of the candidate list and of the result array. */
struct IPInfo {
    char szIP[16];      /* dotted IPv4 text; empty when the caller's text did not fit */
    uint16_t ushPort;   /* UDP port, host byte order */
    uint16_t ushUnused; /* 0 in the records GetSortedIPArray writes */
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

LRD_CHECK(sizeof(IPInfo) == 28);
LRD_CHECK(offsetof(IPInfo, ushPort) == 16 && offsetof(IPInfo, dwRTT) == 20 && offsetof(IPInfo, dwLoad) == 24);
LRD_CHECK(sizeof(ServerInfo) == 72);
LRD_CHECK(offsetof(ServerInfo, ushPort) == 68);
LRD_CHECK(offsetof(ServerList, servers) == 4 && sizeof(ServerList) == 4 + 72);
LRD_CHECK(offsetof(IPStringList, szIP) == 4 && sizeof(IPStringList) == 4 + 16);
LRD_CHECK(offsetof(IPInfoArray, info) == 4 && sizeof(IPInfoArray) == 4 + 28);

/* Bytes a host allocates for n records of each variable layout. */
#define LRD_SERVER_LIST_SIZE(n) (4 + 72 * (size_t)(n))
#define LRD_IP_STRING_LIST_SIZE(n) (4 + 16 * (size_t)(n))
#define LRD_IP_INFO_ARRAY_SIZE(n) (4 + 28 * (size_t)(n))

#ifdef __cplusplus

/* The first five operations of every component, in this order. Components are
 * destroyed only through Release: the destructors are not for callers and take
 * no slot. */
struct IComponent {
    virtual int32_t LRD_THISCALL GetComponentID() = 0;
    virtual int32_t LRD_THISCALL GetVersion() = 0;
    virtual void LRD_THISCALL Release(int32_t force) = 0;
    virtual int32_t LRD_THISCALL GetAutoRelease() = 0;
    virtual void LRD_THISCALL SetAutoRelease(int32_t value) = 0;

protected:
    ~IComponent() = default;
};

/* The caller's notification sink, implemented by the host, which keeps it alive
 * until the detector is released. The detector calls slots 1 and 2 only, on the
 * thread that runs the detection, while it dispatches messages, and never
 * inside one of its own operations; a sink may call the detector back, or
 * release it, from either. A sink must return: it must not throw a C++
 * exception or let a structured exception (an access violation) leave it. A
 * fault that the system swallows (it swallows those in timer callbacks) leaves
 * the detector's dispatch hold taken: the module then stays loaded
 * (ZelvoDllCanUnloadNow answers 0 for good) rather than be unloaded under code
 * that may still run. */
struct ILinkrateDetectorSink {
    virtual void LRD_THISCALL Reserved() {}
    /* ip is valid only during the call; port in host order; rtt in milliseconds. */
    virtual void LRD_THISCALL OnIPDetected(const char* ip, uint16_t port, uint32_t rtt) = 0;
    virtual void LRD_THISCALL OnDetectFinished() = 0;

protected:
    ~ILinkrateDetectorSink() = default;
};

/* Component 39. Slots 0 to 4 come from IComponent; 5 to 9 follow.
 *
 * Thread: the thread that calls Initialize owns the detector's hidden window,
 * socket notifications and end timer. It must call Detect (refused elsewhere
 * with ERROR_WINDOW_OF_OTHER_THREAD) and dispatch window messages
 * (GetMessage/PeekMessage + DispatchMessage): replies and the end of a
 * detection arrive only as messages there. The window is message-only (parent
 * HWND_MESSAGE: no broadcast reaches it); the end and re-probe timers are thread
 * timers (SetTimer without a window), so a pump filtered by window handle never
 * sees them: pump with a null window filter. GetSortedIPArray and Finalize take
 * no lock against that thread's message handling: call them on it, or while it
 * does not dispatch. Release may come from any thread; from another thread it
 * cuts the window off at once (its queued messages reach nothing) and posts it
 * WM_CLOSE, which its own thread's next pump handles. Do not subclass the
 * window; a host that does restores its saved procedure before it releases the
 * detector. Detect blocks while it sends (about as long as a plain send loop
 * over the list). Lifetime: one detector makes one detection; create a new one
 * (CreateComponent) for the next. Release(0) destroys it; the sink must stay
 * valid until then. */
struct ILinkrateDetector : IComponent {
    /* Makes the detector's message-only window and its non-blocking UDP socket
     * (receive buffer from the factory's memory service) on this thread.
     * sink: told of replies and of the end; may be NULL. Returns 1; also when
     * the window or socket step failed (then last error is that step's code,
     * what the earlier steps made is gone again, window included, and Detect
     * refuses). 0 when called a second time. */
    virtual int32_t LRD_THISCALL Initialize(ILinkrateDetectorSink* sink) = 0;
    /* Ends the detection, closes the socket, destroys the window. Returns 1,
     * or 0 (ERROR_INVALID_STATE) before Initialize. The detector takes no
     * further detection. */
    virtual int32_t LRD_THISCALL Finalize() = 0;
    /* Sends one 16-byte UDP request to every server of list (copied; the caller
     * keeps it) and starts the end timer: after timeLimitMs (0: no end timer)
     * the sink hears OnDetectFinished. Each reply within 5000 ms of the start
     * reaches the sink's OnIPDetected while this thread dispatches messages;
     * nothing is called back during Detect itself. The text form gives every
     * server port 8000 and takes 1 to 64 addresses. Returns 1, or 0 with last
     * error as above. */
#if defined(_MSC_VER)
    /* MSVC lays overloaded virtual functions out in reverse order of declaration;
     * declaring the record-list form first keeps the text-list form in slot 7. */
    virtual int32_t LRD_THISCALL Detect(ServerList* list, uint32_t timeLimitMs) = 0;
    virtual int32_t LRD_THISCALL Detect(IPStringList* list, uint32_t timeLimitMs) = 0;
#else
    virtual int32_t LRD_THISCALL Detect(IPStringList* list, uint32_t timeLimitMs) = 0;
    virtual int32_t LRD_THISCALL Detect(ServerList* list, uint32_t timeLimitMs) = 0;
#endif
    /* Writes the servers of the accepted Detect to out, best first (answered
     * before silent, then by round-trip time times load): dwCount
     * and dwCount records. out holds LRD_IP_INFO_ARRAY_SIZE(n) bytes for the n
     * servers given; the caller owns it. Any time from the accepted Detect
     * until Finalize. Returns 1, or 0 (ERROR_INVALID_PARAMETER, ERROR_INVALID_STATE). */
    virtual int32_t LRD_THISCALL GetSortedIPArray(IPInfoArray* out) = 0;

protected:
    ~ILinkrateDetector() = default;
};

#else /* C */

/* gcc warns that __thiscall is meant for C++ member functions, though it honours
 * it in C as documented. */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
#endif

typedef struct IComponent IComponent;
typedef struct ILinkrateDetector ILinkrateDetector;
typedef struct ILinkrateDetectorSink ILinkrateDetectorSink;

/* The operations are __thiscall: the object in ECX, the arguments on the stack,
 * popped by the callee. gcc and clang accept __thiscall on C functions and
 * function pointers for 32-bit x86. MSVC's C compiler does not; __fastcall with
 * a dummy second argument passes the object in ECX and the rest on the stack in
 * the same way. LRD_C_SELF declares the object parameter (with that dummy under
 * MSVC), LRD_C_PASS passes it; the call macros below use both. */
#if defined(_MSC_VER) && !defined(__clang__)
#define LRD_C_METHOD __fastcall
#define LRD_C_SELF(type) type* self, void* lrdUnusedEdx
#define LRD_C_PASS(object) (object), 0
#else
#define LRD_C_METHOD LRD_THISCALL
#define LRD_C_SELF(type) type* self
#define LRD_C_PASS(object) (object)
#endif

/* The first five operations of every component, in slot order. */
#define LRD_C_COMPONENT_SLOTS(type)                                        \
    int32_t(LRD_C_METHOD* GetComponentID)(LRD_C_SELF(type));               \
    int32_t(LRD_C_METHOD* GetVersion)(LRD_C_SELF(type));                   \
    void(LRD_C_METHOD* Release)(LRD_C_SELF(type), int32_t force);          \
    int32_t(LRD_C_METHOD* GetAutoRelease)(LRD_C_SELF(type));               \
    void(LRD_C_METHOD* SetAutoRelease)(LRD_C_SELF(type), int32_t value)

typedef struct IComponentVtbl {
    LRD_C_COMPONENT_SLOTS(IComponent);
} IComponentVtbl;

struct IComponent {
    const IComponentVtbl* lpVtbl;
};

/* The caller's notification sink, slots 0 to 2. The detector calls slots 1 and 2
 * only, on the thread that runs the detection, and never inside one of its own
 * operations; ip is valid only during the call, port in host order, rtt in
 * milliseconds. */
typedef struct ILinkrateDetectorSinkVtbl {
    void(LRD_C_METHOD* Reserved)(LRD_C_SELF(ILinkrateDetectorSink));
    void(LRD_C_METHOD* OnIPDetected)(LRD_C_SELF(ILinkrateDetectorSink), const char* ip, uint16_t port, uint32_t rtt);
    void(LRD_C_METHOD* OnDetectFinished)(LRD_C_SELF(ILinkrateDetectorSink));
} ILinkrateDetectorSinkVtbl;

struct ILinkrateDetectorSink {
    const ILinkrateDetectorSinkVtbl* lpVtbl;
};

/* Component 39, slots 0 to 9. Slot 7 is the text-list form of Detect, slot 8 the
 * record-list form. */
typedef struct ILinkrateDetectorVtbl {
    LRD_C_COMPONENT_SLOTS(ILinkrateDetector);
    int32_t(LRD_C_METHOD* Initialize)(LRD_C_SELF(ILinkrateDetector), ILinkrateDetectorSink* sink);
    int32_t(LRD_C_METHOD* Finalize)(LRD_C_SELF(ILinkrateDetector));
    int32_t(LRD_C_METHOD* DetectTextList)(LRD_C_SELF(ILinkrateDetector), IPStringList* list, uint32_t timeLimitMs);
    int32_t(LRD_C_METHOD* DetectRecordList)(LRD_C_SELF(ILinkrateDetector), ServerList* list, uint32_t timeLimitMs);
    int32_t(LRD_C_METHOD* GetSortedIPArray)(LRD_C_SELF(ILinkrateDetector), IPInfoArray* out);
} ILinkrateDetectorVtbl;

struct ILinkrateDetector {
    const ILinkrateDetectorVtbl* lpVtbl;
};

LRD_CHECK(offsetof(ILinkrateDetectorVtbl, GetSortedIPArray) == 9 * sizeof(void*));

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#define ILinkrateDetector_GetComponentID(p) ((p)->lpVtbl->GetComponentID(LRD_C_PASS(p)))
#define ILinkrateDetector_GetVersion(p) ((p)->lpVtbl->GetVersion(LRD_C_PASS(p)))
#define ILinkrateDetector_Release(p, force) ((p)->lpVtbl->Release(LRD_C_PASS(p), (force)))
#define ILinkrateDetector_GetAutoRelease(p) ((p)->lpVtbl->GetAutoRelease(LRD_C_PASS(p)))
#define ILinkrateDetector_SetAutoRelease(p, value) ((p)->lpVtbl->SetAutoRelease(LRD_C_PASS(p), (value)))
#define ILinkrateDetector_Initialize(p, sink) ((p)->lpVtbl->Initialize(LRD_C_PASS(p), (sink)))
#define ILinkrateDetector_Finalize(p) ((p)->lpVtbl->Finalize(LRD_C_PASS(p)))
#define ILinkrateDetector_DetectTextList(p, list, ms) ((p)->lpVtbl->DetectTextList(LRD_C_PASS(p), (list), (ms)))
#define ILinkrateDetector_DetectRecordList(p, list, ms) ((p)->lpVtbl->DetectRecordList(LRD_C_PASS(p), (list), (ms)))
#define ILinkrateDetector_GetSortedIPArray(p, out) ((p)->lpVtbl->GetSortedIPArray(LRD_C_PASS(p), (out)))

#endif /* __cplusplus */

/* Vtable slots of ILinkrateDetector, for hosts that call through plain pointers. */
enum {
    LRD_SLOT_INITIALIZE = 5,
    LRD_SLOT_FINALIZE = 6,
    LRD_SLOT_DETECT_TEXT = 7,
    LRD_SLOT_DETECT_RECORDS = 8,
    LRD_SLOT_GET_SORTED_IP_ARRAY = 9
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
    LRD_ORDINAL_GET_COMPONENT_IDS = 7
};

/* A new component (LRD_DETECTOR_ID) that the caller owns until its
 * Release(0), or NULL for an unknown id (last error ERROR_NOT_FOUND) or without
 * memory (ERROR_NOT_ENOUGH_MEMORY). creatorId is shown in the leak report. Call SetFactoryHandle (or load "ZelFact.dll") first: a
 * detector finds its factory, memory service and log settings when made. Any
 * thread. */
typedef IComponent*(LRD_CDECL* PFN_CreateComponent)(int32_t componentId, uint32_t creatorId);
/* The framework configuration file for the factory lookup: a path relative to
 * the host executable's folder or absolute, at most 259 characters; NULL or ""
 * means "Zelvo.ini" there. Copied. Returns 0. */
typedef int32_t(LRD_CDECL* PFN_SetDLLRegistry)(const char* path);
/* Releases every live component whose auto-release flag is set. Any thread. */
typedef void(LRD_CDECL* PFN_ZelvoDllFreeMap)(void);
/* 1 when no component is alive and no release is under way: the host may then
 * FreeLibrary the module (on a thread whose last call into it has returned).
 * An unload leaves no TLS index, heap or handle of the module's behind but one
 * semaphore handle per load: the lock that the statically linked C++ runtime's
 * exception unwinder makes when it registers the module's unwind tables and has
 * no call to free. 10 000 load and unload cycles leave 10 000 semaphores. */
typedef int32_t(LRD_CDECL* PFN_ZelvoDllCanUnloadNow)(void);
/* Injects the factory library ("ZelFact.dll", already loaded; the module never
 * frees it) instead of the configuration file's lookup. Returns factoryModule. */
typedef void*(LRD_CDECL* PFN_SetFactoryHandle)(void* factoryModule);
/* Sets the safe flag (0: Release does nothing); returns value. */
typedef int32_t(LRD_CDECL* PFN_ZelvoSetDllSafe)(int32_t value);
/* Copies up to count component ids into ids; returns how many the module has. */
typedef int32_t(LRD_CDECL* PFN_GetComponentIDs)(int32_t* ids, int32_t count);

#endif
