// The VISA types and constants that a VISA of our own needs beyond the few the library's binding
// uses, with the values the VISA standard publishes. Nothing here is a vendor's header.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "session/visa_api.h"

using ViUInt16 = std::uint16_t;
using ViInt16 = std::int16_t;
using ViChar = char;
using ViByte = unsigned char;
using ViFindList = ViObject;
using ViEventType = ViUInt32;
using ViEventFilter = ViUInt32;
using ViUInt8 = std::uint8_t;
using ViBoolean = ViUInt16;

// Buffers the standard sizes for the caller: a resource description and a status description.
inline constexpr ViUInt32 kViFindBufLen = 256;

inline constexpr ViUInt16 kViIntfGpib = 1;
inline constexpr ViUInt32 kViExclusiveLock = 1;
inline constexpr ViUInt32 kViSharedLock = 2;
inline constexpr ViUInt32 kViTmoInfinite = 0xFFFFFFFFU;
inline constexpr ViUInt16 kViNoSecAddr = 0xFFFF;
inline constexpr ViUInt16 kViProtNormal = 1;

// viFlush masks.
inline constexpr ViUInt16 kViReadBuf = 1;
inline constexpr ViUInt16 kViWriteBuf = 2;
inline constexpr ViUInt16 kViReadBufDiscard = 4;
inline constexpr ViUInt16 kViWriteBufDiscard = 8;
inline constexpr ViUInt16 kViIoInBuf = 16;
inline constexpr ViUInt16 kViIoOutBuf = 32;
inline constexpr ViUInt16 kViIoInBufDiscard = 64;
inline constexpr ViUInt16 kViIoOutBufDiscard = 128;

// Event types and mechanisms.
inline constexpr ViEventType kViEventIoCompletion = 0x3FFF2009U;
inline constexpr ViEventType kViEventTrig = 0xBFFF200AU;
inline constexpr ViEventType kViEventServiceReq = 0x3FFF200BU;
inline constexpr ViEventType kViEventClear = 0x3FFF200DU;
inline constexpr ViEventType kViEventException = 0xBFFF200EU;
inline constexpr ViEventType kViAllEnabledEvents = 0x3FFF7FFFU;
inline constexpr ViUInt16 kViQueue = 1;
inline constexpr ViUInt16 kViHndlr = 2;
inline constexpr ViUInt16 kViSuspendHndlr = 4;
inline constexpr ViUInt16 kViAllMech = 0xFFFF;

inline constexpr ViAttr kViAttrRsrcClass = 0xBFFF0001U;
inline constexpr ViAttr kViAttrRsrcName = 0xBFFF0002U;
inline constexpr ViAttr kViAttrRsrcImplVersion = 0x3FFF0003U;
inline constexpr ViAttr kViAttrRsrcLockState = 0x3FFF0004U;
inline constexpr ViAttr kViAttrMaxQueueLength = 0x3FFF0005U;
inline constexpr ViAttr kViAttrTermcharEn = 0x3FFF0038U;
inline constexpr ViAttr kViAttrTermchar = 0x3FFF0018U;
inline constexpr ViAttr kViAttrSendEndEn = 0x3FFF0016U;
inline constexpr ViAttr kViAttrSuppressEndEn = 0x3FFF0036U;
inline constexpr ViAttr kViAttrIntfType = 0x3FFF0171U;
inline constexpr ViAttr kViAttrIntfNum = 0x3FFF0176U;
inline constexpr ViAttr kViAttrRsrcManfName = 0xBFFF0174U;
inline constexpr ViAttr kViAttrRsrcManfId = 0x3FFF0175U;
inline constexpr ViAttr kViAttrRsrcSpecVersion = 0x3FFF0170U;
inline constexpr ViAttr kViAttrGpibPrimaryAddr = 0x3FFF0172U;
inline constexpr ViAttr kViAttrGpibSecondaryAddr = 0x3FFF0173U;
inline constexpr ViAttr kViAttrIoProt = 0x3FFF001CU;
inline constexpr ViAttr kViAttrRdBufOperMode = 0x3FFF002AU;
inline constexpr ViAttr kViAttrWrBufOperMode = 0x3FFF002DU;
inline constexpr ViAttr kViAttrRdBufSize = 0x3FFF002BU;
inline constexpr ViAttr kViAttrWrBufSize = 0x3FFF002EU;
inline constexpr ViAttr kViAttrFileAppendEn = 0x3FFF0192U;

inline constexpr ViStatus kViSuccessEventDis = 0x3FFF0003;
inline constexpr ViStatus kViSuccessQueueEmpty = 0x3FFF0004;
inline constexpr ViStatus kViWarnNullObject = 0x3FFF0082;
inline constexpr ViStatus kViWarnUnknownStatus = 0x3FFF0085;
inline constexpr ViStatus kViSuccessNestedShared = 0x3FFF0099;
inline constexpr ViStatus kViSuccessNestedExclusive = 0x3FFF009A;
inline constexpr ViStatus kViErrorRsrcLocked = static_cast<ViStatus>(0xBFFF000FU);
inline constexpr ViStatus kViErrorAttrReadonly = static_cast<ViStatus>(0xBFFF001FU);
inline constexpr ViStatus kViErrorInvLockType = static_cast<ViStatus>(0xBFFF0020U);
inline constexpr ViStatus kViErrorInvAccessKey = static_cast<ViStatus>(0xBFFF0021U);
inline constexpr ViStatus kViErrorInvExpr = static_cast<ViStatus>(0xBFFF0010U);
inline constexpr ViStatus kViErrorInvRsrcName = static_cast<ViStatus>(0xBFFF0012U);
inline constexpr ViStatus kViErrorInvAccessMode = static_cast<ViStatus>(0xBFFF0013U);
inline constexpr ViStatus kViErrorNsupAttrState = static_cast<ViStatus>(0xBFFF001EU);
inline constexpr ViStatus kViErrorNsupAttr = static_cast<ViStatus>(0xBFFF001DU);
inline constexpr ViStatus kViErrorSesnNlocked = static_cast<ViStatus>(0xBFFF009CU);
inline constexpr ViStatus kViErrorInvEvent = static_cast<ViStatus>(0xBFFF0026U);
inline constexpr ViStatus kViErrorInvMech = static_cast<ViStatus>(0xBFFF0027U);
inline constexpr ViStatus kViErrorInvMask = static_cast<ViStatus>(0xBFFF003DU);
inline constexpr ViStatus kViErrorNsupOper = static_cast<ViStatus>(0xBFFF0067U);
