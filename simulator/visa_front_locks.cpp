// Locks (viLock, viUnlock and who is kept out) and events, of which the simulated test set
// raises none.
#include "visa_front_internal.h"

#include <cstring>

namespace zolvane_sim {

using front::copyOut;

// As the VISA standard has it: another session's exclusive lock keeps this one out, and so does a
// shared lock that this session does not share.
ViStatus VisaFront::lockedOut(ViSession vi) const {
  if (lockOwner_ != 0 && lockOwner_ != vi) return kViErrorRsrcLocked;
  const Session *s = nullptr;
  if (auto it = sessions_.find(vi); it != sessions_.end()) s = &it->second;
  bool locks = s && (s->sharedLocks || s->exclusiveLocks);
  return !locks && sharedByOthers(vi) ? kViErrorRsrcLocked : kViSuccess;
}

bool VisaFront::sharedByOthers(ViSession vi) const {
  for (const auto &[h, s] : sessions_)
    if (h != vi && s.sharedLocks) return true;
  return false;
}

// An exclusive lock waits while any other session holds a lock. A shared lock waits while
// another session holds the exclusive one; it joins a shared lock that others hold only with
// that lock's access key: with another key it is refused, without one it waits.
ViStatus VisaFront::lockable(ViSession vi, ViAccessMode type, const char *key) const {
  bool othersShare = sharedByOthers(vi);
  bool otherExclusive = lockOwner_ != 0 && lockOwner_ != vi;
  if (type == kViExclusiveLock)
    return otherExclusive || othersShare ? kViErrorRsrcLocked : kViSuccess;
  bool keyed = key && *key;
  if (!sharedKey_.empty() && keyed && sharedKey_ != key) return kViErrorInvAccessKey;
  if (auto it = sessions_.find(vi); it != sessions_.end() && it->second.sharedLocks) return kViSuccess;
  if (otherExclusive || (othersShare && !keyed)) return kViErrorRsrcLocked;
  return kViSuccess;
}

ViStatus VisaFront::acquire(std::unique_lock<std::mutex> &lock, ViSession vi, ViAccessMode type,
                            ViUInt32 timeoutMs, const char *key, ViChar *accessKey) {
  if (key && std::strlen(key) >= kViFindBufLen) return kViErrorInvAccessKey;
  std::string wanted = key ? key : "";  // the caller's text may not outlive a wait
  Seconds until = deadline(timeoutMs, clock_.now());
  for (;;) {
    ViStatus st = lockable(vi, type, wanted.c_str());
    if (st == kViSuccess) break;
    if (st != kViErrorRsrcLocked || clock_.now() >= until) return st == kViErrorRsrcLocked ? kViErrorTmo : st;
    if (!clock_.waitUntil(lock, changed_, until)) return kViErrorTmo;
    if (!instrument(vi)) return kViErrorInvObject;  // closed by another thread meanwhile
  }
  Session &s = *instrument(vi);
  if (type == kViExclusiveLock) {
    lockOwner_ = vi;
    return ++s.exclusiveLocks > 1 ? kViSuccessNestedExclusive : kViSuccess;
  }
  if (sharedKey_.empty())
    sharedKey_ = !wanted.empty() ? wanted : "zolvane-shared-" + std::to_string(++keysMade_);
  copyOut(accessKey, sharedKey_);
  return ++s.sharedLocks > 1 ? kViSuccessNestedShared : kViSuccess;
}

void VisaFront::dropLocks(ViSession vi, const Session &s) {
  if (lockOwner_ == vi) lockOwner_ = 0;
  if (s.sharedLocks && !sharedByOthers(vi)) sharedKey_.clear();
  changed_.notify_all();
}

ViStatus VisaFront::viLock(ViSession vi, ViAccessMode lockType, ViUInt32 timeout,
                           ViConstString requestedKey, ViChar *accessKey) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!instrument(vi)) return kViErrorInvObject;
  if (lockType != kViExclusiveLock && lockType != kViSharedLock) return kViErrorInvLockType;
  // An exclusive lock takes no key and gives none.
  return lockType == kViExclusiveLock ? acquire(lock, vi, lockType, timeout, nullptr, nullptr)
                                      : acquire(lock, vi, lockType, timeout, requestedKey, accessKey);
}

ViStatus VisaFront::viUnlock(ViSession vi) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (s->exclusiveLocks) {
    if (--s->exclusiveLocks == 0) lockOwner_ = 0;
  } else if (s->sharedLocks) {
    if (--s->sharedLocks == 0 && !sharedByOthers(vi)) sharedKey_.clear();
  } else {
    return kViErrorSesnNlocked;
  }
  changed_.notify_all();
  if (s->exclusiveLocks) return kViSuccessNestedExclusive;
  return s->sharedLocks ? kViSuccessNestedShared : kViSuccess;
}

namespace {

// The simulated test set raises no events; these are the types an instrument session names.
ViStatus checkEvent(ViEventType type, ViUInt16 mechanism, bool allowAll) {
  bool known = type == kViEventIoCompletion || type == kViEventTrig ||
               type == kViEventServiceReq || type == kViEventClear ||
               type == kViEventException || (allowAll && type == kViAllEnabledEvents);
  if (!known) return kViErrorInvEvent;
  if (mechanism == 0 || (mechanism != kViAllMech &&
                         (mechanism & ~(kViQueue | kViHndlr | kViSuspendHndlr))))
    return kViErrorInvMech;
  return kViSuccess;
}

}  // namespace

ViStatus VisaFront::viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism,
                                  ViEventFilter) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!instrument(vi)) return kViErrorInvObject;
  if (ViStatus st = checkEvent(eventType, mechanism, false)) return st;
  return kViErrorInvEvent;  // none of them ever occurs here
}

ViStatus VisaFront::viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!instrument(vi)) return kViErrorInvObject;
  if (ViStatus st = checkEvent(eventType, mechanism, true)) return st;
  return kViSuccessEventDis;
}

ViStatus VisaFront::viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!instrument(vi)) return kViErrorInvObject;
  if (ViStatus st = checkEvent(eventType, mechanism, true)) return st;
  return kViSuccessQueueEmpty;
}

}  // namespace zolvane_sim
