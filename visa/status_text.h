// The VISA completion and error codes that our own VISAs return or pass on, with the names and
// descriptions the standard gives them: the simulated test set's viStatusDesc and both traces
// read this one table.
#pragma once

#include "visa_types.h"

namespace zolvane::visa_status {

struct StatusText {
  ViStatus status;
  const char *name;
  const char *description;
};

inline constexpr StatusText kStatusTexts[] = {
    {kViSuccess, "VI_SUCCESS", "Operation completed successfully."},
    {kViSuccessEventDis, "VI_SUCCESS_EVENT_DIS", "Specified event is already disabled for at least one of the specified mechanisms."},
    {kViSuccessQueueEmpty, "VI_SUCCESS_QUEUE_EMPTY", "Operation completed successfully, but queue was already empty."},
    {kViSuccessTermChar, "VI_SUCCESS_TERM_CHAR", "The specified termination character was read."},
    {kViSuccessMaxCnt, "VI_SUCCESS_MAX_CNT", "The number of bytes read is equal to the input count."},
    {kViWarnNullObject, "VI_WARN_NULL_OBJECT", "The specified object reference is uninitialized."},
    {kViWarnUnknownStatus, "VI_WARN_UNKNOWN_STATUS", "The status code passed to the operation could not be interpreted."},
    {kViSuccessNestedShared, "VI_SUCCESS_NESTED_SHARED", "Operation completed successfully, and this session has nested shared locks."},
    {kViSuccessNestedExclusive, "VI_SUCCESS_NESTED_EXCLUSIVE", "Operation completed successfully, and this session has nested exclusive locks."},
    {kViErrorSystemError, "VI_ERROR_SYSTEM_ERROR", "Unknown system error (miscellaneous error)."},
    {kViErrorInvObject, "VI_ERROR_INV_OBJECT", "The given session or object reference is invalid."},
    {kViErrorRsrcLocked, "VI_ERROR_RSRC_LOCKED", "Specified type of lock cannot be obtained, or specified operation cannot be performed, because the resource is locked."},
    {kViErrorInvExpr, "VI_ERROR_INV_EXPR", "Invalid expression specified for search."},
    {kViErrorRsrcNfound, "VI_ERROR_RSRC_NFOUND", "Insufficient location information or the requested device or resource is not present in the system."},
    {kViErrorInvRsrcName, "VI_ERROR_INV_RSRC_NAME", "Invalid resource reference specified. Parsing error."},
    {kViErrorInvAccessMode, "VI_ERROR_INV_ACC_MODE", "Invalid access mode."},
    {kViErrorTmo, "VI_ERROR_TMO", "Timeout expired before operation completed."},
    {kViErrorNsupAttr, "VI_ERROR_NSUP_ATTR", "The specified attribute is not defined or supported by the referenced session, event, or find list."},
    {kViErrorNsupAttrState, "VI_ERROR_NSUP_ATTR_STATE", "The specified state of the attribute is not valid, or is not supported as defined by the session, event, or find list."},
    {kViErrorAttrReadonly, "VI_ERROR_ATTR_READONLY", "The specified attribute is Read Only."},
    {kViErrorInvLockType, "VI_ERROR_INV_LOCK_TYPE", "The specified type of lock is not supported by this resource."},
    {kViErrorInvAccessKey, "VI_ERROR_INV_ACCESS_KEY", "The access key to the resource associated with the specified session is invalid."},
    {kViErrorInvEvent, "VI_ERROR_INV_EVENT", "Specified event type is not supported by the resource."},
    {kViErrorInvMech, "VI_ERROR_INV_MECH", "Invalid mechanism specified."},
    {kViErrorInvMask, "VI_ERROR_INV_MASK", "Invalid buffer mask specified."},
    {kViErrorIo, "VI_ERROR_IO", "Could not perform operation because of I/O error."},
    {kViErrorInvFmt, "VI_ERROR_INV_FMT", "A format specifier in the format string is invalid."},
    {kViErrorNsupFmt, "VI_ERROR_NSUP_FMT", "A format specifier in the format string is not supported."},
    {kViErrorNsupOper, "VI_ERROR_NSUP_OPER", "The given session or object reference does not support this operation."},
    {kViErrorUserBuf, "VI_ERROR_USER_BUF", "A specified user buffer is not valid or cannot be accessed for the required size."},
    {kViErrorInvParameter, "VI_ERROR_INV_PARAMETER", "The value of some parameter (which parameter is not known) is invalid."},
    {kViErrorSesnNlocked, "VI_ERROR_SESN_NLOCKED", "The current session did not have a lock on the resource."},
    {kViErrorLibraryNfound, "VI_ERROR_LIBRARY_NFOUND", "A code library required by VISA could not be located or loaded."},
};

// nullptr for a code the table does not hold.
inline const StatusText *find(ViStatus status) {
  for (const StatusText &t : kStatusTexts)
    if (t.status == status) return &t;
  return nullptr;
}

}  // namespace zolvane::visa_status
