// Attributes (one table of those the simulator knows), and status names and descriptions.
#include "visa_front_internal.h"

#include "status_text.h"

namespace zolvane_sim {
namespace {

namespace status_text = zolvane::visa_status;
using front::copyOut;

// The attributes the simulator knows; anything else is VI_ERROR_NSUP_ATTR.
enum class AttrType { U8, U16, U32, Text };
struct AttrDef {
  ViAttr id;
  const char *name;
  AttrType type;
  bool onResourceManager;
  bool writable;  // on an instrument session
};
const AttrDef kAttributes[] = {
    {kViAttrRsrcClass, "VI_ATTR_RSRC_CLASS", AttrType::Text, false, false},
    {kViAttrRsrcName, "VI_ATTR_RSRC_NAME", AttrType::Text, false, false},
    {kViAttrRsrcManfName, "VI_ATTR_RSRC_MANF_NAME", AttrType::Text, true, false},
    {kViAttrRsrcManfId, "VI_ATTR_RSRC_MANF_ID", AttrType::U16, true, false},
    {kViAttrRsrcImplVersion, "VI_ATTR_RSRC_IMPL_VERSION", AttrType::U32, true, false},
    {kViAttrRsrcSpecVersion, "VI_ATTR_RSRC_SPEC_VERSION", AttrType::U32, true, false},
    {kViAttrRsrcLockState, "VI_ATTR_RSRC_LOCK_STATE", AttrType::U32, true, false},
    {kViAttrMaxQueueLength, "VI_ATTR_MAX_QUEUE_LENGTH", AttrType::U32, false, false},
    {kViAttrTmoValue, "VI_ATTR_TMO_VALUE", AttrType::U32, false, true},
    {kViAttrTermchar, "VI_ATTR_TERMCHAR", AttrType::U8, false, true},
    {kViAttrTermcharEn, "VI_ATTR_TERMCHAR_EN", AttrType::U16, false, true},
    {kViAttrSendEndEn, "VI_ATTR_SEND_END_EN", AttrType::U16, false, true},
    {kViAttrSuppressEndEn, "VI_ATTR_SUPPRESS_END_EN", AttrType::U16, false, true},
    {kViAttrIntfType, "VI_ATTR_INTF_TYPE", AttrType::U16, false, false},
    {kViAttrIntfNum, "VI_ATTR_INTF_NUM", AttrType::U16, false, false},
    {kViAttrGpibPrimaryAddr, "VI_ATTR_GPIB_PRIMARY_ADDR", AttrType::U16, false, false},
    {kViAttrGpibSecondaryAddr, "VI_ATTR_GPIB_SECONDARY_ADDR", AttrType::U16, false, false},
    {kViAttrIoProt, "VI_ATTR_IO_PROT", AttrType::U16, false, false},
    {kViAttrRdBufOperMode, "VI_ATTR_RD_BUF_OPER_MODE", AttrType::U16, false, false},
    {kViAttrWrBufOperMode, "VI_ATTR_WR_BUF_OPER_MODE", AttrType::U16, false, false},
    {kViAttrWrBufSize, "VI_ATTR_WR_BUF_SIZE", AttrType::U32, false, false},
};

const AttrDef *findAttr(ViAttr id) {
  for (const AttrDef &a : kAttributes)
    if (a.id == id) return &a;
  return nullptr;
}

// The implementation version as VISA encodes one: major, minor and sub-minor in 12, 12, 8 bits.
constexpr ViUInt32 kImplVersion = (ZOLVANE_SIM_VERSION_MAJOR << 20) |
                                  (ZOLVANE_SIM_VERSION_MINOR << 8) | ZOLVANE_SIM_VERSION_PATCH;
constexpr ViUInt32 kSpecVersion = 0x00500800;  // the VISA edition whose rules it follows, 5.8
constexpr ViUInt16 kFlushWhenFull = 2, kFlushOnAccess = 1;

}  // namespace

const char *statusName(ViStatus s) {
  const status_text::StatusText *t = status_text::find(s);
  return t ? t->name : "";
}

const char *statusDescription(ViStatus s) {
  const status_text::StatusText *t = status_text::find(s);
  return t ? t->description : "";
}

ViStatus VisaFront::viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sessions_.find(vi);
  if (it == sessions_.end()) return kViErrorInvObject;
  Session &s = it->second;
  const AttrDef *a = findAttr(attr);
  bool known = a && (s.kind == Kind::Instrument || (s.kind == Kind::ResourceManager && a->onResourceManager));
  if (!known) return kViErrorNsupAttr;
  if (!a->writable || s.kind != Kind::Instrument) return kViErrorAttrReadonly;
  bool flag = value == 1;
  if (attr == kViAttrTmoValue) {
    if (value > 0xFFFFFFFFU) return kViErrorNsupAttrState;
    s.tmoMs = static_cast<ViUInt32>(value);
    trace(clock_.now(), '=', "session " + std::to_string(vi) + ": I/O time-out " +
                                 std::to_string(s.tmoMs) + " ms");
    return kViSuccess;
  }
  if (attr == kViAttrTermchar) {
    if (value > 0xFF) return kViErrorNsupAttrState;
    s.termChar = static_cast<ViUInt8>(value);
  } else {
    if (value > 1) return kViErrorNsupAttrState;
    if (attr == kViAttrTermcharEn) s.termCharEn = flag;
    else if (attr == kViAttrSendEndEn) s.sendEndEn = flag;
    else s.suppressEndEn = flag;
  }
  trace(clock_.now(), '=', "session " + std::to_string(vi) + ": " + a->name + " " + std::to_string(value));
  return kViSuccess;
}

ViStatus VisaFront::viGetAttribute(ViObject vi, ViAttr attr, void *value) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sessions_.find(vi);
  if (it == sessions_.end()) return kViErrorInvObject;
  const Session &s = it->second;
  const AttrDef *a = findAttr(attr);
  bool known = a && (s.kind == Kind::Instrument || (s.kind == Kind::ResourceManager && a->onResourceManager));
  if (!known) return kViErrorNsupAttr;
  if (!value) return kViErrorUserBuf;
  ViUInt32 number = 0;
  std::string text;
  switch (attr) {
    case kViAttrRsrcClass: text = "INSTR"; break;
    case kViAttrRsrcName: text = resourceName(); break;
    case kViAttrRsrcManfName: text = "Zolvane"; break;
    case kViAttrRsrcManfId: number = 0; break;
    case kViAttrRsrcImplVersion: number = kImplVersion; break;
    case kViAttrRsrcSpecVersion: number = kSpecVersion; break;
    case kViAttrRsrcLockState:
      number = lockOwner_ ? kViExclusiveLock : !sharedKey_.empty() ? kViSharedLock : kViNoLock;
      break;
    case kViAttrMaxQueueLength: number = 50; break;
    case kViAttrTmoValue: number = s.tmoMs; break;
    case kViAttrTermchar: number = s.termChar; break;
    case kViAttrTermcharEn: number = s.termCharEn; break;
    case kViAttrSendEndEn: number = s.sendEndEn; break;
    case kViAttrSuppressEndEn: number = s.suppressEndEn; break;
    case kViAttrIntfType: number = kViIntfGpib; break;
    case kViAttrIntfNum: number = 0; break;
    case kViAttrGpibPrimaryAddr: number = static_cast<ViUInt32>(config_.address); break;
    case kViAttrGpibSecondaryAddr: number = kViNoSecAddr; break;
    case kViAttrIoProt: number = kViProtNormal; break;
    case kViAttrRdBufOperMode: number = kFlushOnAccess; break;  // a read drops what it leaves
    case kViAttrWrBufOperMode: number = kFlushWhenFull; break;  // a line feed flushes
    case kViAttrWrBufSize: number = static_cast<ViUInt32>(kWriteBufSize); break;
    default: return kViErrorNsupAttr;
  }
  switch (a->type) {
    case AttrType::U8: *static_cast<ViUInt8 *>(value) = static_cast<ViUInt8>(number); break;
    case AttrType::U16: *static_cast<ViUInt16 *>(value) = static_cast<ViUInt16>(number); break;
    case AttrType::U32: *static_cast<ViUInt32 *>(value) = number; break;
    case AttrType::Text: copyOut(static_cast<ViChar *>(value), text); break;
  }
  return kViSuccess;
}

ViStatus VisaFront::viStatusDesc(ViObject, ViStatus status, ViChar *desc) {
  if (!desc) return kViErrorUserBuf;
  const status_text::StatusText *t = status_text::find(status);
  if (!t) {
    copyOut(desc, "Unknown status " + std::to_string(status) + ".");
    return kViWarnUnknownStatus;
  }
  copyOut(desc, std::string(t->name) + ": " + t->description);
  return kViSuccess;
}

}  // namespace zolvane_sim
