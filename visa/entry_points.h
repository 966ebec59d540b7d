// The VISA entry points that a VISA of our own (the simulated test set, the trace) exports, written
// once. Each library expands the list with its own definition of the macros, so that the export
// names, the calling conventions and the forwarding are decided here, and a new entry point is
// one line.
//
//   ZV_VISA_ENTRY(name, (parameters), (arguments))
//       a plain entry point, ZV_VI_FUNC (__stdcall on 32-bit Windows, exported undecorated);
//   ZV_VISA_VARIADIC(name, (parameters before the ...), last named parameter, vname, (arguments))
//       a variadic entry point, ZV_VI_FUNCC (__cdecl), and the va_list entry point it forwards
//       to: vname(arguments..., va_list).
//
// Every entry point returns ViStatus. The list is in the order of the standard's chapters.
#pragma once

#include "visa_types.h"

#define ZV_VISA_ENTRY_POINTS(ZV_VISA_ENTRY, ZV_VISA_VARIADIC)                                    \
  ZV_VISA_ENTRY(viOpenDefaultRM, (ViSession * rm), (rm))                                        \
  ZV_VISA_ENTRY(viFindRsrc,                                                                     \
                (ViSession rm, ViConstString expr, ViFindList * list, ViUInt32 * count,         \
                 ViChar * desc),                                                                \
                (rm, expr, list, count, desc))                                                  \
  ZV_VISA_ENTRY(viFindNext, (ViFindList list, ViChar * desc), (list, desc))                     \
  ZV_VISA_ENTRY(viParseRsrc,                                                                    \
                (ViSession rm, ViConstString name, ViUInt16 * intfType, ViUInt16 * intfNum),    \
                (rm, name, intfType, intfNum))                                                  \
  ZV_VISA_ENTRY(viParseRsrcEx,                                                                  \
                (ViSession rm, ViConstString name, ViUInt16 * intfType, ViUInt16 * intfNum,     \
                 ViChar * rsrcClass, ViChar * expandedName, ViChar * aliasIfExists),            \
                (rm, name, intfType, intfNum, rsrcClass, expandedName, aliasIfExists))          \
  ZV_VISA_ENTRY(viOpen,                                                                         \
                (ViSession rm, ViConstString name, ViAccessMode mode, ViUInt32 openTimeout,     \
                 ViSession * vi),                                                               \
                (rm, name, mode, openTimeout, vi))                                              \
  ZV_VISA_ENTRY(viClose, (ViObject vi), (vi))                                                   \
  ZV_VISA_ENTRY(viSetAttribute, (ViObject vi, ViAttr attr, ViAttrState value), (vi, attr, value)) \
  ZV_VISA_ENTRY(viGetAttribute, (ViObject vi, ViAttr attr, void *value), (vi, attr, value))     \
  ZV_VISA_ENTRY(viStatusDesc, (ViObject vi, ViStatus status, ViChar * desc), (vi, status, desc)) \
  ZV_VISA_ENTRY(viLock,                                                                         \
                (ViSession vi, ViAccessMode lockType, ViUInt32 timeout,                         \
                 ViConstString requestedKey, ViChar * accessKey),                               \
                (vi, lockType, timeout, requestedKey, accessKey))                               \
  ZV_VISA_ENTRY(viUnlock, (ViSession vi), (vi))                                                 \
  ZV_VISA_ENTRY(viEnableEvent,                                                                  \
                (ViSession vi, ViEventType eventType, ViUInt16 mechanism, ViEventFilter context), \
                (vi, eventType, mechanism, context))                                            \
  ZV_VISA_ENTRY(viDisableEvent, (ViSession vi, ViEventType eventType, ViUInt16 mechanism),      \
                (vi, eventType, mechanism))                                                     \
  ZV_VISA_ENTRY(viDiscardEvents, (ViSession vi, ViEventType eventType, ViUInt16 mechanism),     \
                (vi, eventType, mechanism))                                                     \
  ZV_VISA_ENTRY(viRead, (ViSession vi, ViByte * buf, ViUInt32 count, ViUInt32 * retCount),      \
                (vi, buf, count, retCount))                                                     \
  ZV_VISA_ENTRY(viWrite,                                                                        \
                (ViSession vi, const ViByte *buf, ViUInt32 count, ViUInt32 *retCount),          \
                (vi, buf, count, retCount))                                                     \
  ZV_VISA_ENTRY(viFlush, (ViSession vi, ViUInt16 mask), (vi, mask))                             \
  ZV_VISA_ENTRY(viClear, (ViSession vi), (vi))                                                  \
  ZV_VISA_ENTRY(viReadSTB, (ViSession vi, ViUInt16 * status), (vi, status))                     \
  ZV_VISA_ENTRY(viVPrintf, (ViSession vi, ViConstString writeFmt, va_list params),              \
                (vi, writeFmt, params))                                                         \
  ZV_VISA_ENTRY(viVScanf, (ViSession vi, ViConstString readFmt, va_list params),                \
                (vi, readFmt, params))                                                          \
  ZV_VISA_ENTRY(viVQueryf,                                                                      \
                (ViSession vi, ViConstString writeFmt, ViConstString readFmt, va_list params),  \
                (vi, writeFmt, readFmt, params))                                                \
  ZV_VISA_VARIADIC(viPrintf, (ViSession vi, ViConstString writeFmt), writeFmt, viVPrintf,       \
                   (vi, writeFmt))                                                              \
  ZV_VISA_VARIADIC(viScanf, (ViSession vi, ViConstString readFmt), readFmt, viVScanf,           \
                   (vi, readFmt))                                                               \
  ZV_VISA_VARIADIC(viQueryf, (ViSession vi, ViConstString writeFmt, ViConstString readFmt),     \
                   readFmt, viVQueryf, (vi, writeFmt, readFmt))
