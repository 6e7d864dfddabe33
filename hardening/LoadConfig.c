/* What the runtime of a Control Flow Guard toolchain supplies and mingw-w64 10's
 * lacks: the pointer that every instrumented indirect call goes through, the
 * image's load configuration that tells the loader where the guard tables and
 * the stack cookie are, and the cookie itself with its failure routine.
 *
 * The linker (lld --guard-cf) builds the table of valid call targets and sets
 * the __guard_* symbols below; the loader of a system with CFG enabled points
 * __guard_check_icall_fptr at its checker, and any loader (Wine's too) replaces
 * the cookie's default value with a random one before the image's code runs. */
#include <stdint.h>

/* Until the loader replaces it, an indirect call is checked by nothing. The
 * target arrives in ECX. The pointer lives in read-only data (.00cfg, as in an
 * MSVC image), which only the loader writes. */
static void __attribute__((fastcall)) GuardCheckNothing(uintptr_t target)
{
    (void)target;
}

__attribute__((section(".00cfg"))) void(__attribute__((fastcall)) * const __guard_check_icall_fptr)(uintptr_t) =
    GuardCheckNothing;

/* The stack protector's cookie (-fstack-protector-strong reads
 * __stack_chk_guard in the mingw form); the load configuration names it, so
 * the loader seeds it as it does an MSVC image's /GS cookie. */
uintptr_t __stack_chk_guard = 0xBB40E64E;

/* An overwritten cookie ends the process at once, without unwinding through
 * the damaged frames and without an import: __fastfail (int 0x29) with
 * FAST_FAIL_STACK_COOKIE_CHECK_FAILURE, which Windows 8 and later and Wine
 * report as STATUS_STACK_BUFFER_OVERRUN. */
__attribute__((noreturn)) void __stack_chk_fail(void)
{
    for (;;)
        __asm__ volatile("int $0x29" : : "c"(2));
}

/* Set by lld. */
extern const char __guard_fids_table[];
extern const char __guard_fids_count[];
extern const char __guard_flags[];
extern const char __guard_iat_table[];
extern const char __guard_iat_count[];
extern const char __guard_longjmp_table[];
extern const char __guard_longjmp_count[];

/* The 32-bit load configuration written out whole (mingw-w64 10's header ends
 * at SEHandlerCount, and lld wants room for the long-jump table). */
typedef struct LrdLoadConfig32 {
    uint32_t Size;
    uint32_t TimeDateStamp;
    uint16_t MajorVersion;
    uint16_t MinorVersion;
    uint32_t GlobalFlagsClear;
    uint32_t GlobalFlagsSet;
    uint32_t CriticalSectionDefaultTimeout;
    uint32_t DeCommitFreeBlockThreshold;
    uint32_t DeCommitTotalFreeThreshold;
    const void* LockPrefixTable;
    uint32_t MaximumAllocationSize;
    uint32_t VirtualMemoryThreshold;
    uint32_t ProcessHeapFlags;
    uint32_t ProcessAffinityMask;
    uint16_t CSDVersion;
    uint16_t DependentLoadFlags;
    const void* EditList;
    const void* SecurityCookie;
    const void* SEHandlerTable;
    uint32_t SEHandlerCount;
    const void* GuardCFCheckFunctionPointer;
    const void* GuardCFDispatchFunctionPointer;
    const void* GuardCFFunctionTable;
    const void* GuardCFFunctionCount;
    const void* GuardFlags;
    uint16_t CodeIntegrityFlags;
    uint16_t CodeIntegrityCatalog;
    uint32_t CodeIntegrityCatalogOffset;
    uint32_t CodeIntegrityReserved;
    const void* GuardAddressTakenIatEntryTable;
    const void* GuardAddressTakenIatEntryCount;
    const void* GuardLongJumpTargetTable;
    const void* GuardLongJumpTargetCount;
    const void* DynamicValueRelocTable;
    const void* CHPEMetadataPointer;
    const void* GuardRFFailureRoutine;
    const void* GuardRFFailureRoutineFunctionPointer;
    uint32_t DynamicValueRelocTableOffset;
    uint16_t DynamicValueRelocTableSection;
    uint16_t Reserved2;
    const void* GuardRFVerifyStackPointerFunctionPointer;
    uint32_t HotPatchTableOffset;
    uint32_t Reserved3;
    const void* EnclaveConfigurationPointer;
    const void* VolatileMetadataPointer;
    const void* GuardEHContinuationTable;
    uint32_t GuardEHContinuationCount;
    const void* GuardXFGCheckFunctionPointer;
    const void* GuardXFGDispatchFunctionPointer;
    const void* GuardXFGTableDispatchFunctionPointer;
    const void* CastGuardOsDeterminedFailureMode;
    const void* GuardMemcpyFunctionPointer;
} LrdLoadConfig32;

_Static_assert(sizeof(LrdLoadConfig32) == 192, "the 32-bit load configuration is 192 bytes");
_Static_assert(__builtin_offsetof(LrdLoadConfig32, SecurityCookie) == 60, "SecurityCookie at 60");
_Static_assert(__builtin_offsetof(LrdLoadConfig32, GuardFlags) == 88, "GuardFlags at 88");
_Static_assert(__builtin_offsetof(LrdLoadConfig32, GuardLongJumpTargetCount) == 116, "long-jump count at 116");

/* The linker finds the directory by this name. */
const LrdLoadConfig32 _load_config_used = {
    .Size = sizeof(LrdLoadConfig32),
    .SecurityCookie = &__stack_chk_guard,
    .GuardCFCheckFunctionPointer = &__guard_check_icall_fptr,
    .GuardCFFunctionTable = __guard_fids_table,
    .GuardCFFunctionCount = __guard_fids_count,
    .GuardFlags = __guard_flags,
    .GuardAddressTakenIatEntryTable = __guard_iat_table,
    .GuardAddressTakenIatEntryCount = __guard_iat_count,
    .GuardLongJumpTargetTable = __guard_longjmp_table,
    .GuardLongJumpTargetCount = __guard_longjmp_count,
};
