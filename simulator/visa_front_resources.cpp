// Resources and sessions: search expressions and viFindRsrc/viFindNext, resource names and
// viParseRsrc(Ex), viOpen and viClose.
#include "visa_front_internal.h"

#include <cstring>

namespace zolvane_sim {
namespace {

using front::copyOut;

// A VISA search expression ("?*::INSTR", "GPIB?*", "(GPIB|ASRL)?*INSTR"): '?' any character,
// '*' and '+' repeat what precedes them, [set] and [^set], '\' quotes, '|' and parentheses;
// letters in any case. Attribute expressions ({...}) are not supported.
//
// Compiled to a Thompson automaton and run over the name with a set of states, so that matching
// takes time proportional to the expression times the name, whatever the expression: no
// backtracking and no recursion over the name. The parser's own recursion is bounded by the
// nesting of parentheses, and repeated quantifiers fold into one ("?*+*" is "?*").
class SearchExpression {
 public:
  // False: the expression is not valid, or longer than kMaxSearchExpression.
  bool parse(std::string_view expr) {
    if (expr.size() > kMaxSearchExpression) return false;
    text_ = expr;
    at_ = 0;
    nodes_.clear();
    int root = alternation(0);
    if (root < 0 || at_ != text_.size()) return false;
    program_.clear();
    compile(root);
    program_.push_back(Inst{Op::Match});
    return true;
  }

  bool matches(std::string_view name) const {
    std::vector<int> current, next;
    std::vector<std::size_t> seen(program_.size(), 0);
    std::size_t step = 1;
    closure(0, current, seen, step);
    for (char ch : name) {
      ++step;
      next.clear();
      for (int pc : current) {
        const Inst &in = program_[static_cast<std::size_t>(pc)];
        if (in.op != Op::Match && accepts(in, up(ch))) closure(pc + 1, next, seen, step);
      }
      current.swap(next);
      if (current.empty()) return false;
    }
    for (int pc : current)
      if (program_[static_cast<std::size_t>(pc)].op == Op::Match) return true;
    return false;
  }

 private:
  enum class Type { Char, Any, Set, Seq, Alt, Star, Plus };
  struct Node {
    explicit Node(Type t, char ch = 0, std::vector<int> k = {}) : type(t), c(ch), kids(std::move(k)) {}
    Type type;
    char c;
    std::string set;  // pairs of first and last character
    bool negated = false;
    std::vector<int> kids;
  };
  enum class Op { Char, Any, Set, Split, Jump, Match };
  struct Inst {
    Op op;
    int node = -1;    // Char, Any, Set: the node it tests
    int x = 0, y = 0;  // Split: both, Jump: x
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
        Type q = text_[at_++] == '+' ? Type::Plus : Type::Star;
        Node &a = nodes_[static_cast<std::size_t>(atom)];
        if (a.type == Type::Star || a.type == Type::Plus)  // x** x*+ x+* are x*, x++ is x+
          a.type = a.type == Type::Plus && q == Type::Plus ? Type::Plus : Type::Star;
        else
          atom = add(Node(q, 0, {atom}));
      }
      seq.kids.push_back(atom);
    }
    return add(std::move(seq));
  }

  int emit(Inst in) {
    program_.push_back(in);
    return static_cast<int>(program_.size()) - 1;
  }
  int here() const { return static_cast<int>(program_.size()); }

  // Recursion as deep as the parentheses nest (at most 32) and one level per quantifier.
  void compile(int n) {
    const Node &node = nodes_[static_cast<std::size_t>(n)];
    switch (node.type) {
      case Type::Char: emit(Inst{Op::Char, n}); return;
      case Type::Any: emit(Inst{Op::Any, n}); return;
      case Type::Set: emit(Inst{Op::Set, n}); return;
      case Type::Seq:
        for (int k : node.kids) compile(k);
        return;
      case Type::Alt: {
        std::vector<int> jumps;
        for (std::size_t i = 0; i < node.kids.size(); ++i) {
          int split = i + 1 < node.kids.size() ? emit(Inst{Op::Split}) : -1;
          if (split >= 0) program_[static_cast<std::size_t>(split)].x = here();
          compile(node.kids[i]);
          if (split >= 0) {
            jumps.push_back(emit(Inst{Op::Jump}));
            program_[static_cast<std::size_t>(split)].y = here();
          }
        }
        for (int j : jumps) program_[static_cast<std::size_t>(j)].x = here();
        return;
      }
      case Type::Star: {
        int split = emit(Inst{Op::Split});
        program_[static_cast<std::size_t>(split)].x = here();
        compile(node.kids[0]);
        emit(Inst{Op::Jump, -1, split});
        program_[static_cast<std::size_t>(split)].y = here();
        return;
      }
      case Type::Plus: {
        int body = here();
        compile(node.kids[0]);
        int split = emit(Inst{Op::Split, -1, body});
        program_[static_cast<std::size_t>(split)].y = here();
        return;
      }
    }
  }

  // Adds `pc` and every state reachable from it without a character, once per step.
  void closure(int pc, std::vector<int> &out, std::vector<std::size_t> &seen,
               std::size_t step) const {
    std::vector<int> stack{pc};
    while (!stack.empty()) {
      int p = stack.back();
      stack.pop_back();
      std::size_t &mark = seen[static_cast<std::size_t>(p)];
      if (mark == step) continue;
      mark = step;
      const Inst &in = program_[static_cast<std::size_t>(p)];
      if (in.op == Op::Jump) {
        stack.push_back(in.x);
      } else if (in.op == Op::Split) {
        stack.push_back(in.y);
        stack.push_back(in.x);
      } else {
        out.push_back(p);
      }
    }
  }

  bool accepts(const Inst &in, char c) const {
    if (in.op == Op::Any) return true;
    const Node &n = nodes_[static_cast<std::size_t>(in.node)];
    if (in.op == Op::Char) return c == n.c;
    bool inSet = false;
    for (std::size_t i = 0; i + 1 < n.set.size(); i += 2)
      inSet = inSet || (c >= n.set[i] && c <= n.set[i + 1]);
    return inSet != n.negated;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::vector<Node> nodes_;
  std::vector<Inst> program_;
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

}  // namespace

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

// The same parser as viParseRsrc: a secondary address (PyVISA always writes one, "::0") reaches
// the same instrument, which has no extended addressing and ignores it.
ViStatus VisaFront::viOpen(ViSession rm, ViConstString name, ViAccessMode mode,
                           ViUInt32 openTimeout, ViSession *vi) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!vi) return kViErrorInvParameter;
  *vi = 0;
  if (!session(rm, Kind::ResourceManager)) return kViErrorInvObject;
  GpibName g;
  ViStatus st = name ? parseResourceName(name, g) : kViErrorInvRsrcName;
  if (st == kViSuccess && g.primary != static_cast<unsigned>(config_.address)) st = kViErrorRsrcNfound;
  Seconds now = clock_.now();
  if (st != kViSuccess) {
    trace(now, '=', std::string("viOpen ") + (name ? name : "(null)") + " -> " + front::nameOf(st) +
                        " (the test set is at GPIB0::" + std::to_string(config_.address) + "::INSTR)");
    return st;
  }
  if (mode & ~(kViExclusiveLock | kViSharedLock | 4U)) return kViErrorInvAccessMode;
  ViSession h = nextHandle_++;
  sessions_[h].owner = rm;
  // A lock asked for at the open is taken as viLock would, waiting up to the open time-out.
  ViAccessMode lockType = mode & kViExclusiveLock ? kViExclusiveLock : mode & kViSharedLock;
  if (lockType) {
    st = acquire(lock, h, lockType, openTimeout, nullptr, nullptr);
    if (st != kViSuccess) {
      if (Session *s = instrument(h)) dropLocks(h, *s);
      sessions_.erase(h);
      return st == kViErrorTmo ? kViErrorRsrcLocked : st;
    }
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
        dropLocks(s->first, s->second);
        s = sessions_.erase(s);
      } else {
        ++s;
      }
    }
  }
  bool quiet = it->second.kind == Kind::FindList;
  dropLocks(vi, it->second);
  sessions_.erase(vi);
  if (!quiet) trace(clock_.now(), '=', "viClose session " + std::to_string(vi));
  return kViSuccess;
}

}  // namespace zolvane_sim
