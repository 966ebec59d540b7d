// The few VISA types, constants and function types the library needs, with the values and
// calling conventions the VISA standard publishes. Shared by the binding, the test double and
// the simulated test set; nothing here is a vendor's header.
#pragma once

#include <cstdint>
#include <type_traits>

#if defined(_WIN32) && !defined(_WIN64)
#define ZV_VI_FUNC __stdcall   // viOpenDefaultRM, viOpen, viSetAttribute, viClose
#define ZV_VI_FUNCC __cdecl    // the variadic viPrintf, viQueryf
#else
#define ZV_VI_FUNC
#define ZV_VI_FUNCC
#endif

using ViStatus = std::int32_t;
using ViInt32 = std::int32_t;
using ViUInt32 = std::uint32_t;
using ViSession = std::uint32_t;
using ViObject = std::uint32_t;
using ViAttr = std::uint32_t;
using ViAccessMode = std::uint32_t;
// 64 bits in every 64-bit process, 32 bits in a 32-bit one.
using ViAttrState = std::conditional_t<(sizeof(void *) == 8), std::uint64_t, std::uint32_t>;
using ViRsrc = char *;
using ViString = char *;
using ViConstString = const char *;

inline constexpr ViStatus kViSuccess = 0;
inline constexpr ViUInt32 kViNoLock = 0;
inline constexpr ViAttr kViAttrTmoValue = 0x3FFF001AU;

inline constexpr ViStatus kViSuccessTermChar = 0x3FFF0005;
inline constexpr ViStatus kViSuccessMaxCnt = 0x3FFF0006;
inline constexpr ViStatus kViErrorSystemError = static_cast<ViStatus>(0xBFFF0000U);
inline constexpr ViStatus kViErrorInvObject = static_cast<ViStatus>(0xBFFF000EU);
inline constexpr ViStatus kViErrorRsrcNfound = static_cast<ViStatus>(0xBFFF0011U);
inline constexpr ViStatus kViErrorTmo = static_cast<ViStatus>(0xBFFF0015U);
inline constexpr ViStatus kViErrorIo = static_cast<ViStatus>(0xBFFF003EU);
inline constexpr ViStatus kViErrorInvFmt = static_cast<ViStatus>(0xBFFF003FU);
inline constexpr ViStatus kViErrorNsupFmt = static_cast<ViStatus>(0xBFFF0041U);
inline constexpr ViStatus kViErrorUserBuf = static_cast<ViStatus>(0xBFFF0071U);
inline constexpr ViStatus kViErrorInvParameter = static_cast<ViStatus>(0xBFFF0078U);
inline constexpr ViStatus kViErrorLibraryNfound = static_cast<ViStatus>(0xBFFF009EU);

// The entry points as VISA exports them (C linkage, the standard's conventions).
extern "C" {
using ViOpenDefaultRMFn = ViStatus(ZV_VI_FUNC *)(ViSession *rm);
using ViOpenFn = ViStatus(ZV_VI_FUNC *)(ViSession rm, ViRsrc name, ViAccessMode mode,
                                         ViUInt32 openTimeout, ViSession *vi);
using ViSetAttributeFn = ViStatus(ZV_VI_FUNC *)(ViObject vi, ViAttr attr, ViAttrState value);
using ViCloseFn = ViStatus(ZV_VI_FUNC *)(ViObject vi);
using ViPrintfFn = ViStatus(ZV_VI_FUNCC *)(ViSession vi, ViString writeFmt, ...);
using ViQueryfFn = ViStatus(ZV_VI_FUNCC *)(ViSession vi, ViString writeFmt, ViString readFmt, ...);
}
