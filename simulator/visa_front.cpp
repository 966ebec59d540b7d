#include "visa_front.h"

#include "status_text.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <thread>

namespace zolvane_sim {
namespace {

std::string escaped(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c < 0x20 || c >= 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else out += ch;
  }
  return out;
}

namespace status_text = zolvane::visa_status;

std::string nameOf(ViStatus s) {
  const char *n = statusName(s);
  return *n ? std::string(n) : std::to_string(s);
}

// The read formats a read or a query may use: one string conversion, optionally with a width.
struct ReadFormat {
  enum Kind { Unbounded, Width, WidthArgument } kind = Unbounded;
  std::size_t width = 0;
};

ViStatus parseReadFormat(const char *fmt, ReadFormat &out) {
  std::string_view f(fmt);
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!f.empty() && blank(f.front())) f.remove_prefix(1);
  while (!f.empty() && blank(f.back())) f.remove_suffix(1);
  if (f.size() < 2 || f.front() != '%') return kViErrorNsupFmt;
  std::string_view piece = f.substr(1, f.size() - 2);
  if (f.back() != 's') return kViErrorNsupFmt;
  if (piece.empty()) {
    out.kind = ReadFormat::Unbounded;
  } else if (piece == "#") {
    out.kind = ReadFormat::WidthArgument;
  } else {
    std::size_t w = 0;
    for (char c : piece) {
      if (c < '0' || c > '9') return kViErrorNsupFmt;
      w = w * 10 + static_cast<std::size_t>(c - '0');
      if (w > (1U << 30)) return kViErrorInvFmt;
    }
    if (w == 0) return kViErrorInvFmt;
    out.kind = ReadFormat::Width;
    out.width = w;
  }
  return kViSuccess;
}

// The read's arguments, taken before anything is sent or read.
struct ReadTarget {
  ViInt32 *count = nullptr;
  char *dest = nullptr;
};

ViStatus takeReadTarget(const ReadFormat &rf, va_list &ap, ReadTarget &t) {
  if (rf.kind == ReadFormat::WidthArgument) t.count = va_arg(ap, ViInt32 *);
  t.dest = va_arg(ap, char *);
  if (!t.dest || (rf.kind == ReadFormat::WidthArgument && (!t.count || *t.count < 1)))
    return kViErrorUserBuf;
  return kViSuccess;
}

// %s: skip leading white space, store one token, bounded by the width.
void storeToken(const std::string &answer, const ReadFormat &rf, const ReadTarget &t) {
  std::size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (i < answer.size() && blank(answer[i])) ++i;
  std::size_t j = i;
  while (j < answer.size() && !blank(answer[j])) ++j;
  std::size_t n = j - i;
  if (rf.kind == ReadFormat::Width) n = std::min(n, rf.width);
  if (rf.kind == ReadFormat::WidthArgument) n = std::min(n, static_cast<std::size_t>(*t.count - 1));
  answer.copy(t.dest, n, i);
  t.dest[n] = '\0';
  if (t.count) *t.count = static_cast<ViInt32>(n);
}

// A VISA search expression ("?*::INSTR", "GPIB?*", "(GPIB|ASRL)?*INSTR"): '?' any character,
// '*' and '+' repeat what precedes them, [set] and [^set], '\' quotes, '|' and parentheses;
// letters in any case. Matched by the set of positions each part can end at, so that no
// expression takes more than polynomial time. Attribute expressions ({...}) are not supported.
class SearchExpression {
 public:
  // False: the expression is not valid.
  bool parse(std::string_view expr) {
    text_ = expr;
    at_ = 0;
    nodes_.clear();
    root_ = alternation(0);
    return root_ >= 0 && at_ == text_.size();
  }

  bool matches(std::string_view s) const {
    if (s.size() > 62) return false;
    return (ends(root_, 1, s) >> s.size()) & 1U;
  }

 private:
  enum class Type { Char, Any, Set, Seq, Alt, Star };
  struct Node {
    explicit Node(Type t, char ch = 0, std::vector<int> k = {}) : type(t), c(ch), kids(std::move(k)) {}
    Type type;
    char c;
    std::string set;
    bool negated = false;
    std::vector<int> kids;
  };

  static char up(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

  int add(Node n) {
    nodes_.push_back(std::move(n));
    return static_cast<int>(nodes_.size()) - 1;
  }

  int alternation(int depth) {
    if (depth > 32) return -1;
    Node alt(Type::Alt);
    for (;;) {
      int seq = sequence(depth);
      if (seq < 0) return -1;
      alt.kids.push_back(seq);
      if (at_ < text_.size() && text_[at_] == '|') {
        ++at_;
        continue;
      }
      return add(std::move(alt));
    }
  }

  int sequence(int depth) {
    Node seq(Type::Seq);
    while (at_ < text_.size() && text_[at_] != '|' && text_[at_] != ')') {
      int atom = -1;
      char c = text_[at_++];
      switch (c) {
        case '(':
          atom = alternation(depth + 1);
          if (atom < 0 || at_ >= text_.size() || text_[at_] != ')') return -1;
          ++at_;
          break;
        case '[': {
          Node set(Type::Set);
          if (at_ < text_.size() && text_[at_] == '^') {
            set.negated = true;
            ++at_;
          }
          while (at_ < text_.size() && text_[at_] != ']') {
            char lo = text_[at_++];
            if (lo == '\\' && at_ < text_.size()) lo = text_[at_++];
            char hi = lo;
            if (at_ + 1 < text_.size() && text_[at_] == '-' && text_[at_ + 1] != ']') {
              hi = text_[at_ + 1];
              at_ += 2;
            }
            set.set += up(lo);
            set.set += up(hi);
          }
          if (at_ >= text_.size() || set.set.empty()) return -1;
          ++at_;
          atom = add(std::move(set));
          break;
        }
        case '?': atom = add(Node(Type::Any)); break;
        case '\\':
          if (at_ >= text_.size()) return -1;
          atom = add(Node(Type::Char, up(text_[at_++])));
          break;
        case '*': case '+': case ']': case '{': case '}': return -1;
        default: atom = add(Node(Type::Char, up(c))); break;
      }
      while (at_ < text_.size() && (text_[at_] == '*' || text_[at_] == '+')) {
        bool plus = text_[at_++] == '+';
        int star = add(Node(Type::Star, 0, {atom}));
        atom = plus ? add(Node(Type::Seq, 0, {atom, star})) : star;
      }
      seq.kids.push_back(atom);
    }
    return add(std::move(seq));
  }

  // The positions where node `n` can end when it starts at any position of `starts`.
  std::uint64_t ends(int n, std::uint64_t starts, std::string_view s) const {
    const Node &node = nodes_[static_cast<std::size_t>(n)];
    std::uint64_t out = 0;
    switch (node.type) {
      case Type::Char: case Type::Any: case Type::Set:
        for (std::size_t p = 0; p < s.size(); ++p)
          if (((starts >> p) & 1U) && accepts(node, up(s[p]))) out |= std::uint64_t{1} << (p + 1);
        return out;
      case Type::Seq:
        out = starts;
        for (int k : node.kids) out = ends(k, out, s);
        return out;
      case Type::Alt:
        for (int k : node.kids) out |= ends(k, starts, s);
        return out;
      case Type::Star: {
        out = starts;
        for (std::uint64_t frontier = starts; frontier;) {
          frontier = ends(node.kids[0], frontier, s) & ~out;
          out |= frontier;
        }
        return out;
      }
    }
    return out;
  }

  static bool accepts(const Node &n, char c) {
    if (n.type == Type::Any) return true;
    if (n.type == Type::Char) return c == n.c;
    bool in = false;
    for (std::size_t i = 0; i + 1 < n.set.size(); i += 2)
      in = in || (c >= n.set[i] && c <= n.set[i + 1]);
    return in != n.negated;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::vector<Node> nodes_;
  int root_ = -1;
};

// A GPIB instrument's resource name: GPIB[board]::primary[::secondary][::INSTR], in any case.
struct GpibName {
  unsigned board = 0;
  unsigned primary = 0;
  int secondary = -1;
};

// kViSuccess, kViErrorRsrcNfound for an interface this system has none of, or
// kViErrorInvRsrcName.
ViStatus parseResourceName(const char *name, GpibName &out) {
  std::string r = upper(name);
  auto digits = [&r](std::size_t &i, unsigned &v, std::size_t most) {
    std::size_t start = i;
    v = 0;
    while (i < r.size() && r[i] >= '0' && r[i] <= '9' && i - start < most)
      v = v * 10 + static_cast<unsigned>(r[i++] - '0');
    return i > start;
  };
  if (r.compare(0, 4, "GPIB") != 0 || r.compare(0, 8, "GPIB-VXI") == 0) {
    for (const char *other : {"TCPIP", "USB", "ASRL", "VXI", "GPIB-VXI", "PXI", "VICP", "RIO"})
      if (r.compare(0, std::strlen(other), other) == 0 && r.find("::") != std::string::npos)
        return kViErrorRsrcNfound;
    return kViErrorInvRsrcName;
  }
  std::size_t i = 4;
  unsigned board = 0;
  if (i < r.size() && r[i] != ':' && !digits(i, board, 3)) return kViErrorInvRsrcName;
  if (r.compare(i, 2, "::") != 0) return kViErrorInvRsrcName;
  i += 2;
  unsigned primary = 0;
  if (!digits(i, primary, 3) || primary > 30) return kViErrorInvRsrcName;
  int secondary = -1;
  if (r.compare(i, 2, "::") == 0 && i + 2 < r.size() && r[i + 2] >= '0' && r[i + 2] <= '9') {
    i += 2;
    unsigned sec = 0;
    if (!digits(i, sec, 3) || sec > 30) return kViErrorInvRsrcName;
    secondary = static_cast<int>(sec);
  }
  std::string_view rest = std::string_view(r).substr(i);
  if (!rest.empty() && rest != "::INSTR") return kViErrorInvRsrcName;
  out = GpibName{board, primary, secondary};
  return board == 0 ? kViSuccess : kViErrorRsrcNfound;
}

std::string canonical(const GpibName &g) {
  std::string s = "GPIB" + std::to_string(g.board) + "::" + std::to_string(g.primary);
  if (g.secondary >= 0) s += "::" + std::to_string(g.secondary);
  return s + "::INSTR";
}

void copyOut(ViChar *dest, const std::string &text) {
  if (!dest) return;
  std::size_t n = std::min<std::size_t>(text.size(), kViFindBufLen - 1);
  text.copy(dest, n);
  dest[n] = '\0';
}

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
};

const AttrDef *findAttr(ViAttr id) {
  for (const AttrDef &a : kAttributes)
    if (a.id == id) return &a;
  return nullptr;
}

// One printf conversion appended whole, however long; the count, or negative for a bad one.
template <class T>
int appendFormatted(std::string &out, const std::string &fmt, T value) {
  char buf[512];
  int n = std::snprintf(buf, sizeof buf, fmt.c_str(), value);
  if (n < 0) return n;
  if (static_cast<std::size_t>(n) < sizeof buf) {
    out.append(buf, static_cast<std::size_t>(n));
  } else {
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), fmt.c_str(), value);
    out.append(text.data(), static_cast<std::size_t>(n));
  }
  return n;
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

SteadyClock::SteadyClock()
    : originNs_(std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count()) {}

Seconds SteadyClock::now() {
  long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
  return static_cast<double>(ns - originNs_) * 1e-9;
}

void SteadyClock::sleepUntil(Seconds t) {
  Seconds d = t - now();
  if (d > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(d));
}

VisaFront::VisaFront(Loader load, Clock &clock) : load_(std::move(load)), clock_(clock) {}

VisaFront::~VisaFront() {
  if (trace_ && ownTrace_) std::fclose(trace_);
}

void VisaFront::trace(Seconds t, char kind, const std::string &text) {
  if (!trace_) return;
  std::fprintf(trace_, "[%12.6f] %c %s\n", t, kind, text.c_str());
  std::fflush(trace_);
}

VisaFront::Session *VisaFront::session(ViObject vi, Kind kind) {
  auto it = sessions_.find(vi);
  if (it == sessions_.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

std::string VisaFront::resourceName() const {
  return "GPIB0::" + std::to_string(config_.address) + "::INSTR";
}

// Another session's exclusive lock keeps this one from the instrument.
ViStatus VisaFront::lockedOut(ViSession vi) const {
  return lockOwner_ != 0 && lockOwner_ != vi ? kViErrorRsrcLocked : kViSuccess;
}

ViStatus VisaFront::viOpenDefaultRM(ViSession *rm) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!rm) return kViErrorInvParameter;
  *rm = 0;
  if (!loaded_) {
    loaded_ = true;
    Config c;
    std::string error;
    if (!load_(c, error)) {
      loadError_ = error;
    } else if (std::string bad = TestSet::checkConfig(c); !bad.empty()) {
      loadError_ = bad;
    } else {
      config_ = std::move(c);
      testSet_ = std::make_unique<TestSet>(config_);
      if (config_.trace == "-") {
        trace_ = stderr;
      } else if (!config_.trace.empty()) {
        trace_ = std::fopen(config_.trace.c_str(), "w");
        ownTrace_ = trace_ != nullptr;
        if (!trace_)
          std::fprintf(stderr, "zolvane simulator: cannot write the trace to %s\n",
                       config_.trace.c_str());
      }
      if (trace_) {
        std::time_t wall = std::time(nullptr);
        char when[64];
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&wall));
        std::fprintf(trace_,
                     "# Zolvane simulated test set, trace started %s; times in seconds since the "
                     "simulator started\n",
                     when);
      }
      testSet_->setEventSink([this](Seconds t, const std::string &e) { trace(t, '*', e); });
    }
    if (!loadError_.empty())
      std::fprintf(stderr, "zolvane simulator: %s\n", loadError_.c_str());
  }
  if (!testSet_) return kViErrorSystemError;
  ViSession h = nextHandle_++;
  sessions_[h].kind = Kind::ResourceManager;
  *rm = h;
  trace(clock_.now(), '=', "viOpenDefaultRM -> session " + std::to_string(h));
  return kViSuccess;
}

ViStatus VisaFront::viFindRsrc(ViSession rm, ViConstString expr, ViFindList *list,
                               ViUInt32 *count, ViChar *desc) {
  std::lock_guard<std::mutex> lock(mu_);
  if (list) *list = 0;
  if (count) *count = 0;
  if (!session(rm, Kind::ResourceManager)) return kViErrorInvObject;
  SearchExpression search;
  if (!expr || !search.parse(expr)) return kViErrorInvExpr;
  std::vector<std::string> found;
  if (search.matches(resourceName())) found.push_back(resourceName());
  trace(clock_.now(), '=', std::string("viFindRsrc ") + expr + " -> " + std::to_string(found.size()) + " found");
  if (found.empty()) return kViErrorRsrcNfound;
  if (!desc) return kViErrorUserBuf;
  copyOut(desc, found.front());
  if (count) *count = static_cast<ViUInt32>(found.size());
  if (list) {
    ViSession h = nextHandle_++;
    Session &s = sessions_[h];
    s.kind = Kind::FindList;
    s.owner = rm;
    s.found.assign(found.begin() + 1, found.end());
    *list = h;
  }
  return kViSuccess;
}

ViStatus VisaFront::viFindNext(ViFindList list, ViChar *desc) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = session(list, Kind::FindList);
  if (!s) return kViErrorInvObject;
  if (s->found.empty()) return kViErrorRsrcNfound;
  if (!desc) return kViErrorUserBuf;
  copyOut(desc, s->found.front());
  s->found.erase(s->found.begin());
  return kViSuccess;
}

ViStatus VisaFront::viParseRsrc(ViSession rm, ViConstString name, ViUInt16 *intfType,
                                ViUInt16 *intfNum) {
  return viParseRsrcEx(rm, name, intfType, intfNum, nullptr, nullptr, nullptr);
}

ViStatus VisaFront::viParseRsrcEx(ViSession rm, ViConstString name, ViUInt16 *intfType,
                                  ViUInt16 *intfNum, ViChar *rsrcClass, ViChar *expandedName,
                                  ViChar *aliasIfExists) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!session(rm, Kind::ResourceManager)) return kViErrorInvObject;
  if (!name) return kViErrorInvRsrcName;
  GpibName g;
  if (ViStatus st = parseResourceName(name, g)) return st;
  if (intfType) *intfType = kViIntfGpib;
  if (intfNum) *intfNum = static_cast<ViUInt16>(g.board);
  copyOut(rsrcClass, "INSTR");
  copyOut(expandedName, canonical(g));
  copyOut(aliasIfExists, "");
  return kViSuccess;
}

ViStatus VisaFront::viOpen(ViSession rm, ViConstString name, ViAccessMode mode, ViUInt32,
                           ViSession *vi) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!vi) return kViErrorInvParameter;
  *vi = 0;
  if (!session(rm, Kind::ResourceManager)) return kViErrorInvObject;
  // GPIB0::<primary>::INSTR; the board number and the INSTR suffix may be left out.
  std::string r = upper(name ? name : "");
  std::size_t i = 0;
  bool ok = r.compare(0, 4, "GPIB") == 0;
  i = 4;
  if (ok && i < r.size() && r[i] == '0') ++i;
  ok = ok && r.compare(i, 2, "::") == 0;
  i += 2;
  int address = -1;
  if (ok) {
    std::size_t start = i;
    address = 0;
    while (i < r.size() && r[i] >= '0' && r[i] <= '9' && i - start < 3) address = address * 10 + (r[i++] - '0');
    ok = i > start;
  }
  std::string_view rest = ok ? std::string_view(r).substr(i) : std::string_view{};
  // A secondary address (PyVISA always writes one, "::0") reaches the same instrument: one
  // without extended addressing ignores it.
  if (rest.size() > 2 && rest.substr(0, 2) == "::" && rest[2] >= '0' && rest[2] <= '9') {
    std::size_t n = 2;
    while (n < rest.size() && n < 4 && rest[n] >= '0' && rest[n] <= '9') ++n;
    rest.remove_prefix(n);
  }
  ok = ok && (rest.empty() || rest == "::INSTR");
  Seconds now = clock_.now();
  if (!ok || address != config_.address) {
    trace(now, '=', std::string("viOpen ") + (name ? name : "(null)") + " -> VI_ERROR_RSRC_NFOUND (the test set is at GPIB0::" +
                        std::to_string(config_.address) + "::INSTR)");
    return kViErrorRsrcNfound;
  }
  if (mode & ~(kViExclusiveLock | kViSharedLock | 4U)) return kViErrorInvAccessMode;
  if ((mode & kViExclusiveLock) && lockOwner_ != 0) return kViErrorRsrcLocked;
  ViSession h = nextHandle_++;
  Session &s = sessions_[h];
  s.owner = rm;
  if (mode & kViExclusiveLock) {
    s.exclusiveLocks = 1;
    lockOwner_ = h;
  } else if (mode & kViSharedLock) {
    s.sharedLocks = 1;
  }
  *vi = h;
  trace(now, '=', std::string("viOpen ") + name + " -> session " + std::to_string(h));
  return kViSuccess;
}

ViStatus VisaFront::viClose(ViObject vi) {
  std::lock_guard<std::mutex> lock(mu_);
  if (vi == 0) return kViWarnNullObject;
  auto it = sessions_.find(vi);
  if (it == sessions_.end()) return kViErrorInvObject;
  // Closing a resource manager closes every session opened through it.
  if (it->second.kind == Kind::ResourceManager) {
    for (auto s = sessions_.begin(); s != sessions_.end();) {
      if (s->second.kind != Kind::ResourceManager && s->second.owner == vi) {
        if (s->second.kind == Kind::Instrument)
          trace(clock_.now(), '=', "viClose session " + std::to_string(s->first) + " (with its resource manager)");
        if (lockOwner_ == s->first) lockOwner_ = 0;
        s = sessions_.erase(s);
      } else {
        ++s;
      }
    }
  }
  bool quiet = it->second.kind == Kind::FindList;
  if (lockOwner_ == vi) lockOwner_ = 0;
  sessions_.erase(vi);
  if (!quiet) trace(clock_.now(), '=', "viClose session " + std::to_string(vi));
  return kViSuccess;
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
      number = lockOwner_ ? kViExclusiveLock : s.sharedLocks ? kViSharedLock : kViNoLock;
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

ViStatus VisaFront::viLock(ViSession vi, ViAccessMode lockType, ViUInt32 timeout,
                           ViConstString requestedKey, ViChar *accessKey) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (lockType != kViExclusiveLock && lockType != kViSharedLock) return kViErrorInvLockType;
  if (lockedOut(vi)) {
    // One process, one thread at a time: nobody can release the lock while this one waits.
    if (timeout != kViTmoInfinite) clock_.sleepUntil(clock_.now() + timeout / 1000.0);
    return kViErrorTmo;
  }
  if (lockType == kViExclusiveLock) {
    lockOwner_ = vi;
    return ++s->exclusiveLocks > 1 ? kViSuccessNestedExclusive : kViSuccess;
  }
  copyOut(accessKey, requestedKey && *requestedKey ? requestedKey : "zolvane");
  return ++s->sharedLocks > 1 ? kViSuccessNestedShared : kViSuccess;
}

ViStatus VisaFront::viUnlock(ViSession vi) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (s->exclusiveLocks) {
    if (--s->exclusiveLocks == 0) lockOwner_ = 0;
  } else if (s->sharedLocks) {
    --s->sharedLocks;
  } else {
    return kViErrorSesnNlocked;
  }
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

// Formats like VISA's viPrintf: a line feed in the format ends a message (END and flush); one
// that arrives through an argument is plain data. Nothing is sent when the format is bad.
ViStatus VisaFront::format(const Session &s, const char *fmt, va_list &args, bool flush,
                           Formatted &out) {
  if (!fmt) return kViErrorUserBuf;
  std::string pending = s.writeBuffer;
  std::vector<std::string> &messages = out.messages;
  for (const char *p = fmt; *p; ++p) {
    if (*p == '\n') {
      messages.push_back(std::move(pending));
      pending.clear();
      continue;
    }
    if (*p != '%') {
      pending += *p;
      continue;
    }
    ++p;
    if (*p == '%') {
      pending += '%';
      continue;
    }
    std::string piece = "%";
    while (*p && std::string_view("-+ #0").find(*p) != std::string_view::npos) piece += *p++;
    // A field this wide is refused: formatting it would take seconds for one call.
    constexpr long kMaxField = 65535;
    long width = 0;
    if (*p == '*') {
      long w = va_arg(args, int);
      ++p;
      if (w < 0) {  // a negative width left-justifies
        piece += '-';
        w = -w;
      }
      width = w;
      if (width <= kMaxField) piece += std::to_string(width);
    } else {
      for (; *p >= '0' && *p <= '9'; piece += *p++)
        if (width <= kMaxField) width = width * 10 + (*p - '0');
    }
    if (width > kMaxField) return kViErrorNsupFmt;
    if (*p == '.') {
      ++p;
      long precision = 0;
      bool given = true;
      if (*p == '*') {
        long v = va_arg(args, int);
        ++p;
        given = v >= 0;  // a negative precision counts as none
        precision = given ? v : 0;
      } else {
        for (; *p >= '0' && *p <= '9'; ++p)
          if (precision <= kMaxField) precision = precision * 10 + (*p - '0');
      }
      if (precision > kMaxField) return kViErrorNsupFmt;
      if (given) piece += "." + std::to_string(precision);
    }
    char length = 0;
    if (*p == 'h' || *p == 'l') length = *p++;
    char conv = *p;
    if (!conv) return kViErrorInvFmt;
    int n = 0;
    switch (conv) {
      case 'd': case 'i': case 'u': case 'o': case 'x': case 'X':
        if (length == 'l') {
          piece += 'l';
          piece += conv;
          long v = va_arg(args, long);
          n = appendFormatted(pending, piece, v);
        } else {
          piece += conv;
          int v = va_arg(args, int);
          if (length == 'h') v = conv == 'd' || conv == 'i' ? static_cast<short>(v) : static_cast<unsigned short>(v);
          n = appendFormatted(pending, piece, v);
        }
        break;
      case 'c': {
        if (length) return kViErrorNsupFmt;
        piece += conv;
        n = appendFormatted(pending, piece, va_arg(args, int));
        break;
      }
      case 'f': case 'e': case 'E': case 'g': case 'G': {
        // The process locale decides the decimal separator here, as in many a VISA.
        if (length == 'h') return kViErrorNsupFmt;
        piece += conv;
        n = appendFormatted(pending, piece, va_arg(args, double));
        break;
      }
      case 's': {
        if (length) return kViErrorNsupFmt;
        const char *str = va_arg(args, const char *);
        if (!str) return kViErrorUserBuf;
        if (piece == "%") {
          pending += str;
          continue;
        }
        piece += conv;
        int need = std::snprintf(nullptr, 0, piece.c_str(), str);
        if (need < 0) return kViErrorInvFmt;
        std::string text(static_cast<std::size_t>(need) + 1, '\0');
        std::snprintf(text.data(), text.size(), piece.c_str(), str);
        text.resize(static_cast<std::size_t>(need));
        pending += text;
        continue;
      }
      default:
        return kViErrorNsupFmt;
    }
    if (n < 0) return kViErrorInvFmt;
  }
  if (flush && !pending.empty()) {
    messages.push_back(std::move(pending));
    pending.clear();
  }
  out.rest = std::move(pending);
  return kViSuccess;
}

ViStatus VisaFront::send(Session &s, Formatted &f) {
  Seconds now = clock_.now();
  s.writeBuffer.clear();
  if (!f.messages.empty() && !input_.empty()) {
    f.messages.front().insert(0, input_);
    input_.clear();
  }
  for (std::string &m : f.messages) {
    if (!deliver(std::move(m), now)) {
      waitFor(s, now, config_.timeoutWait);
      return kViErrorTmo;
    }
  }
  s.writeBuffer = std::move(f.rest);
  if (!s.writeBuffer.empty())
    trace(now, '=', "write buffer holds \"" + escaped(s.writeBuffer) +
                        "\": no line feed in the format, nothing sent yet");
  return kViSuccess;
}

// One message with END. The instrument's parser also ends a message at a line feed inside it.
bool VisaFront::deliver(std::string bytes, Seconds now) {
  std::size_t start = 0;
  for (;;) {
    std::size_t lf = bytes.find('\n', start);
    std::string part = bytes.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
    if (!deliverOne(part, now)) return false;
    if (lf == std::string::npos) return true;
    start = lf + 1;
  }
}

bool VisaFront::deliverOne(const std::string &part, Seconds now) {
  testSet_->advance(now);  // the phone's events up to now go into the trace first
  trace(now, '>', escaped(part));
  if (!unread_.empty()) {
    testSet_->interruptAnswer(part, now);
    unread_.clear();
  }
  if (!testSet_->receive(part, now)) {
    trace(now, '!', "the test set does not accept the message: the write times out");
    return false;
  }
  return true;
}

Seconds VisaFront::deadline(const Session &s, Seconds start) const {
  if (s.tmoMs == kViTmoInfinite) return kNever;
  return start + s.tmoMs / 1000.0;
}

// How long a call that will never complete waits before it reports the time-out.
void VisaFront::waitFor(const Session &s, Seconds start, Seconds wait) {
  Seconds until = std::min(deadline(s, start), start + wait);
  if (std::isfinite(until)) clock_.sleepUntil(until);
}

// An answer that will never come fails after `giveUpAfter` seconds or the session's time-out,
// whichever is first; with an infinite time-out, at once, rather than never.
ViStatus VisaFront::awaitAnswer(Session &s, Seconds giveUpAfter) {
  if (!unread_.empty()) return kViSuccess;
  Seconds start = clock_.now();
  Seconds limit = deadline(s, start);
  std::string response;
  for (;;) {
    Seconds now = clock_.now();
    Seconds readyAt = kNever;
    if (testSet_->takeResponse(now, response, readyAt)) break;
    if (readyAt == kNever) {
      waitFor(s, start, giveUpAfter);
      trace(clock_.now(), '!', "no answer: " + nameOf(kViErrorTmo));
      return kViErrorTmo;
    }
    if (readyAt > limit) {
      clock_.sleepUntil(limit);
      trace(clock_.now(), '!', "no answer within " + std::to_string(s.tmoMs) + " ms: " +
                                   nameOf(kViErrorTmo));
      return kViErrorTmo;
    }
    clock_.sleepUntil(readyAt);
  }
  trace(clock_.now(), '<', escaped(response));
  unread_ = std::move(response) + '\n';  // the answer ends with a line feed and END
  return kViSuccess;
}

ViStatus VisaFront::viWrite(ViSession vi, const ViByte *buf, ViUInt32 count, ViUInt32 *retCount) {
  std::lock_guard<std::mutex> lock(mu_);
  if (retCount) *retCount = 0;
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  if (!buf && count) return kViErrorUserBuf;
  Seconds now = clock_.now();
  std::string bytes = std::move(input_);
  input_.clear();
  std::size_t before = bytes.size();
  if (count) bytes.append(reinterpret_cast<const char *>(buf), count);
  // A message ends at a line feed, and at the last byte when END goes with it.
  std::size_t start = 0;
  bool refused = false;
  for (std::size_t lf; !refused && (lf = bytes.find('\n', start)) != std::string::npos; start = lf + 1)
    refused = !deliverOne(bytes.substr(start, lf - start), now);
  if (!refused && s->sendEndEn && start < bytes.size()) {
    refused = !deliverOne(bytes.substr(start), now);
    if (!refused) start = bytes.size();
  }
  if (refused) {
    // The bytes up to the refused message went through.
    if (retCount) *retCount = static_cast<ViUInt32>(start > before ? start - before : 0);
    waitFor(*s, now, config_.timeoutWait);
    return kViErrorTmo;
  }
  input_ = bytes.substr(start);
  if (!input_.empty())
    trace(now, '=', "the test set holds \"" + escaped(input_) + "\": the message has not ended yet");
  if (retCount) *retCount = count;
  return kViSuccess;
}

ViStatus VisaFront::viRead(ViSession vi, ViByte *buf, ViUInt32 count, ViUInt32 *retCount) {
  std::lock_guard<std::mutex> lock(mu_);
  if (retCount) *retCount = 0;
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  if (!buf && count) return kViErrorUserBuf;
  if (count == 0) return kViSuccessMaxCnt;
  Seconds start = clock_.now();
  if (ViStatus st = awaitAnswer(*s, kNever)) return st;
  std::size_t limit = std::min<std::size_t>(count, unread_.size());
  std::size_t n = 0;
  bool termChar = false;
  while (n < limit && !termChar) {
    auto c = static_cast<ViUInt8>(unread_[n++]);
    termChar = s->termCharEn && c == s->termChar;
  }
  unread_.copy(reinterpret_cast<char *>(buf), n);
  unread_.erase(0, n);
  if (retCount) *retCount = static_cast<ViUInt32>(n);
  if (unread_.empty() && !s->suppressEndEn) return kViSuccess;  // END came with the last byte
  if (termChar) return kViSuccessTermChar;
  if (n == count) return kViSuccessMaxCnt;
  // END is ignored and no termination character came: the read waits for bytes that never come.
  waitFor(*s, start, kNever);
  trace(clock_.now(), '!', "no end of the answer: " + nameOf(kViErrorTmo));
  return kViErrorTmo;
}

ViStatus VisaFront::viFlush(ViSession vi, ViUInt16 mask) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (mask == 0 || (mask & ~0xFFU) ||
      ((mask & kViReadBuf) && (mask & kViReadBufDiscard)) ||
      ((mask & kViWriteBuf) && (mask & kViWriteBufDiscard)))
    return kViErrorInvMask;
  if (ViStatus st = lockedOut(vi)) return st;
  if (mask & kViWriteBufDiscard) s->writeBuffer.clear();
  if ((mask & kViWriteBuf) && !s->writeBuffer.empty()) {
    Formatted f;
    f.messages.push_back(std::move(s->writeBuffer));
    if (ViStatus st = send(*s, f)) return st;
  }
  // The formatted read keeps nothing; flushing the read buffer reads the answer to its END.
  if (mask & kViReadBuf) unread_.clear();
  return kViSuccess;
}

ViStatus VisaFront::viClear(ViSession vi) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  testSet_->deviceClear(clock_.now());
  unread_.clear();
  input_.clear();
  s->writeBuffer.clear();
  return kViSuccess;
}

ViStatus VisaFront::viReadSTB(ViSession vi, ViUInt16 *status) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  if (!status) return kViErrorInvParameter;
  unsigned stb = testSet_->statusByte(clock_.now()) | (unread_.empty() ? 0U : 0x10U);
  *status = static_cast<ViUInt16>(stb);
  return kViSuccess;
}

ViStatus VisaFront::viVPrintf(ViSession vi, ViConstString writeFmt, va_list args) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  va_list ap;
  va_copy(ap, args);
  Formatted f;
  ViStatus st = format(*s, writeFmt, ap, false, f);
  va_end(ap);
  return st != kViSuccess ? st : send(*s, f);
}

ViStatus VisaFront::viVScanf(ViSession vi, ViConstString readFmt, va_list args) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  ReadFormat rf;
  if (!readFmt) return kViErrorUserBuf;
  if (ViStatus st = parseReadFormat(readFmt, rf)) return st;
  va_list ap;
  va_copy(ap, args);
  ReadTarget t;
  ViStatus st = takeReadTarget(rf, ap, t);
  va_end(ap);
  if (st != kViSuccess) return st;
  if ((st = awaitAnswer(*s, kNever)) != kViSuccess) return st;
  storeToken(unread_, rf, t);
  unread_.clear();  // what the read left of the answer is dropped
  return kViSuccess;
}

ViStatus VisaFront::viVQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt,
                              va_list args) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  ReadFormat rf;
  if (!readFmt) return kViErrorUserBuf;
  if (ViStatus st = parseReadFormat(readFmt, rf)) return st;
  va_list ap;
  va_copy(ap, args);
  // The write flushes whatever is buffered, with END, before the read.
  Formatted f;
  ViStatus st = format(*s, writeFmt, ap, true, f);
  ReadTarget t;
  if (st == kViSuccess) st = takeReadTarget(rf, ap, t);  // nowhere to store: nothing is sent
  va_end(ap);
  if (st != kViSuccess) return st;
  if ((st = send(*s, f)) != kViSuccess) return st;
  if ((st = awaitAnswer(*s, config_.timeoutWait)) != kViSuccess) return st;
  storeToken(unread_, rf, t);
  unread_.clear();  // what the read left of the answer is dropped: the next query starts afresh
  return kViSuccess;
}

}  // namespace zolvane_sim
