/* The VISA types, constants and entry points this C test uses, declared as the VISA standard
 * publishes them; nothing here comes from a vendor's header. */
#ifndef ZOLVANE_TEST_VISA_C_H
#define ZOLVANE_TEST_VISA_C_H

#include <stdarg.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VI_FUNC __stdcall
#define VI_FUNCC __cdecl
#else
#define VI_FUNC
#define VI_FUNCC
#endif

typedef int ViStatus;
typedef unsigned int ViUInt32;
typedef unsigned short ViUInt16;
typedef unsigned char ViUInt8;
typedef ViUInt32 ViSession, ViObject, ViAttr, ViAccessMode, ViFindList, ViEventType,
    ViEventFilter;
#if defined(_WIN64) || defined(__LP64__)
typedef unsigned long long ViAttrState;
#else
typedef ViUInt32 ViAttrState;
#endif
typedef char ViChar;
typedef unsigned char ViByte;
typedef const char *ViConstString;

#define VI_SUCCESS 0
#define VI_SUCCESS_EVENT_DIS 0x3FFF0003
#define VI_SUCCESS_QUEUE_EMPTY 0x3FFF0004
#define VI_SUCCESS_TERM_CHAR 0x3FFF0005
#define VI_SUCCESS_MAX_CNT 0x3FFF0006
#define VI_WARN_NULL_OBJECT 0x3FFF0082
#define VI_WARN_UNKNOWN_STATUS 0x3FFF0085
#define VI_SUCCESS_NESTED_SHARED 0x3FFF0099
#define VI_SUCCESS_NESTED_EXCLUSIVE 0x3FFF009A
#define VI_ERROR(x) ((ViStatus)(0xBFFF0000u | (x)))
#define VI_ERROR_INV_OBJECT VI_ERROR(0x0E)
#define VI_ERROR_RSRC_LOCKED VI_ERROR(0x0F)
#define VI_ERROR_INV_EXPR VI_ERROR(0x10)
#define VI_ERROR_RSRC_NFOUND VI_ERROR(0x11)
#define VI_ERROR_INV_RSRC_NAME VI_ERROR(0x12)
#define VI_ERROR_TMO VI_ERROR(0x15)
#define VI_ERROR_NSUP_ATTR VI_ERROR(0x1D)
#define VI_ERROR_NSUP_ATTR_STATE VI_ERROR(0x1E)
#define VI_ERROR_ATTR_READONLY VI_ERROR(0x1F)
#define VI_ERROR_INV_LOCK_TYPE VI_ERROR(0x20)
#define VI_ERROR_INV_EVENT VI_ERROR(0x26)
#define VI_ERROR_INV_MECH VI_ERROR(0x27)
#define VI_ERROR_INV_MASK VI_ERROR(0x3D)
#define VI_ERROR_NSUP_FMT VI_ERROR(0x41)
#define VI_ERROR_USER_BUF VI_ERROR(0x71)
#define VI_ERROR_SESN_NLOCKED VI_ERROR(0x9C)

#define VI_NO_LOCK 0u
#define VI_EXCLUSIVE_LOCK 1u
#define VI_SHARED_LOCK 2u
#define VI_ATTR_RSRC_CLASS 0xBFFF0001u
#define VI_ATTR_RSRC_NAME 0xBFFF0002u
#define VI_ATTR_RSRC_MANF_NAME 0xBFFF0174u
#define VI_ATTR_TMO_VALUE 0x3FFF001Au
#define VI_ATTR_TERMCHAR 0x3FFF0018u
#define VI_ATTR_TERMCHAR_EN 0x3FFF0038u
#define VI_ATTR_SEND_END_EN 0x3FFF0016u
#define VI_ATTR_INTF_TYPE 0x3FFF0171u
#define VI_ATTR_GPIB_PRIMARY_ADDR 0x3FFF0172u
#define VI_READ_BUF 1
#define VI_WRITE_BUF 2
#define VI_READ_BUF_DISCARD 4
#define VI_EVENT_SERVICE_REQ 0x3FFF200Bu
#define VI_ALL_ENABLED_EVENTS 0x3FFF7FFFu
#define VI_QUEUE 1
#define VI_ALL_MECH 0xFFFF

ViStatus VI_FUNC viOpenDefaultRM(ViSession *rm);
ViStatus VI_FUNC viFindRsrc(ViSession rm, ViConstString expr, ViFindList *list, ViUInt32 *count,
                            ViChar *desc);
ViStatus VI_FUNC viFindNext(ViFindList list, ViChar *desc);
ViStatus VI_FUNC viParseRsrc(ViSession rm, ViConstString name, ViUInt16 *intfType,
                             ViUInt16 *intfNum);
ViStatus VI_FUNC viParseRsrcEx(ViSession rm, ViConstString name, ViUInt16 *intfType,
                               ViUInt16 *intfNum, ViChar *rsrcClass, ViChar *expandedName,
                               ViChar *aliasIfExists);
ViStatus VI_FUNC viOpen(ViSession rm, ViConstString name, ViAccessMode mode, ViUInt32 timeout,
                        ViSession *vi);
ViStatus VI_FUNC viClose(ViObject vi);
ViStatus VI_FUNC viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value);
ViStatus VI_FUNC viGetAttribute(ViObject vi, ViAttr attr, void *value);
ViStatus VI_FUNC viStatusDesc(ViObject vi, ViStatus status, ViChar *desc);
ViStatus VI_FUNC viLock(ViSession vi, ViAccessMode lockType, ViUInt32 timeout,
                        ViConstString requestedKey, ViChar *accessKey);
ViStatus VI_FUNC viUnlock(ViSession vi);
ViStatus VI_FUNC viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism,
                               ViEventFilter context);
ViStatus VI_FUNC viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
ViStatus VI_FUNC viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
ViStatus VI_FUNC viRead(ViSession vi, ViByte *buf, ViUInt32 count, ViUInt32 *retCount);
ViStatus VI_FUNC viWrite(ViSession vi, const ViByte *buf, ViUInt32 count, ViUInt32 *retCount);
ViStatus VI_FUNC viFlush(ViSession vi, ViUInt16 mask);
ViStatus VI_FUNC viClear(ViSession vi);
ViStatus VI_FUNC viReadSTB(ViSession vi, ViUInt16 *status);
ViStatus VI_FUNC viVPrintf(ViSession vi, ViConstString writeFmt, va_list params);
ViStatus VI_FUNC viVScanf(ViSession vi, ViConstString readFmt, va_list params);
ViStatus VI_FUNC viVQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt,
                           va_list params);
ViStatus VI_FUNCC viPrintf(ViSession vi, ViConstString writeFmt, ...);
ViStatus VI_FUNCC viScanf(ViSession vi, ViConstString readFmt, ...);
ViStatus VI_FUNCC viQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt, ...);

#endif
