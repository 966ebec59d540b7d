#include "trace_reader.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "status_text.h"
#include "trace_format.h"

namespace zolvane::trace {
namespace {

constexpr Status kTmo = static_cast<Status>(0xBFFF0015u);
constexpr std::string_view kCutEnd = " bytes left out]";
// A trace is read whole; a line longer than the writers' cap was not written by them.
constexpr std::size_t kLongestLine = trace_format::kMaxLine;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool endsWith(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

bool toDouble(std::string_view s, double &out) {
  if (s.empty()) return false;
  bool negative = s[0] == '-';
  if (s[0] == '+' || s[0] == '-') s.remove_prefix(1);
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(out)) return false;
  if (negative) out = -out;
  return true;
}

// The end of the quoted string that starts at `at` (the index after its closing quote), or npos.
std::size_t quotedEnd(std::string_view s, std::size_t at) {
  for (std::size_t i = at + 1; i < s.size(); ++i) {
    if (s[i] == '\\') ++i;
    else if (s[i] == '"') return i + 1;
  }
  return std::string_view::npos;
}

// The first `token` of `s` outside quoted strings, from `from`.
std::size_t findOutsideQuotes(std::string_view s, std::string_view token, std::size_t from) {
  for (std::size_t i = from; i < s.size();) {
    if (s[i] == '"') {
      i = quotedEnd(s, i);
      if (i == std::string_view::npos) return i;
      continue;
    }
    if (s.substr(i, token.size()) == token) return i;
    ++i;
  }
  return std::string_view::npos;
}

bool isCallName(std::string_view text) {
  if (!startsWith(text, "vi") || text.size() < 4) return false;
  std::size_t i = 2;
  while (i < text.size() && ((text[i] >= 'A' && text[i] <= 'Z') || (text[i] >= 'a' && text[i] <= 'z'))) ++i;
  return i > 2 && i < text.size() && text[i] == '(';
}

// "name(args) read ... -> NAME (0x...) 1.5 us"; a cut record keeps what came before the cut.
bool parseCall(std::string_view text, Record &r, std::string &why) {
  if (std::size_t at = text.rfind(trace_format::kCutTag); at != std::string_view::npos && endsWith(text, kCutEnd)) {
    r.cut = true;
    text = text.substr(0, at);
  }
  std::size_t open = text.find('(');
  r.name = std::string(text.substr(0, open));
  std::size_t i = open + 1;
  for (;;) {
    if (i >= text.size()) {
      if (r.cut) return true;
      why = "the call's arguments do not end";
      return false;
    }
    if (text[i] == ')' && r.args.empty()) break;
    std::size_t end;
    if (text[i] == '"') {
      end = quotedEnd(text, i);
      if (end == std::string_view::npos) {
        if (r.cut) return true;
        why = "a quoted argument does not end";
        return false;
      }
    } else {
      end = i;
      while (end < text.size() && text[end] != ',' && text[end] != ')') ++end;
    }
    r.args.emplace_back(text.substr(i, end - i));
    if (startsWith(text.substr(end), ", ")) {
      i = end + 2;
    } else if (end < text.size() && text[end] == ')') {
      i = end;
      break;
    } else {
      if (r.cut && end >= text.size()) return true;
      why = "bad argument list";
      return false;
    }
  }
  std::string_view rest = text.substr(i + 1);
  std::size_t arrow = findOutsideQuotes(rest, " -> ", 0);
  if (arrow == std::string_view::npos) {
    if (r.cut) return true;
    why = "no \" -> \" and status";
    return false;
  }
  std::string_view before = rest.substr(0, arrow);
  if (startsWith(before, " read ")) r.read = std::string(before.substr(6));
  else if (startsWith(before, " gives ")) r.read = std::string(before.substr(7));
  else if (!before.empty()) {
    why = "unexpected text after the arguments";
    return false;
  }
  std::string_view status = rest.substr(arrow + 4);
  std::size_t code = status.find("(0x");
  if (code == std::string_view::npos || status.size() < code + 13 || status[code + 11] != ')') {
    if (r.cut) return true;
    why = "no status code";
    return false;
  }
  std::uint32_t value = 0;
  auto [end, ec] = std::from_chars(status.data() + code + 3, status.data() + code + 11, value, 16);
  if (ec != std::errc() || end != status.data() + code + 11) {
    why = "bad status code";
    return false;
  }
  r.status = static_cast<Status>(value);
  r.hasStatus = true;
  std::string_view took = status.substr(code + 12);
  if (r.cut) return true;
  double us = 0;
  if (!startsWith(took, " ") || !endsWith(took, " us") || !toDouble(took.substr(1, took.size() - 4), us) || us < 0) {
    why = "no time taken";
    return false;
  }
  r.took = us * 1e-6;
  return true;
}

// "[    2.000853] > text"
bool parsePrefix(std::string_view line, Record &r) {
  std::size_t close = line.find("] ");
  if (line.empty() || line[0] != '[' || close == std::string_view::npos || line.size() < close + 3) return false;
  std::string_view t = line.substr(1, close - 1);
  while (!t.empty() && t[0] == ' ') t.remove_prefix(1);
  if (!toDouble(t, r.time) || r.time < 0) return false;
  r.kind = line[close + 2];
  if (std::string_view("><=!*#").find(r.kind) == std::string_view::npos) return false;
  if (line.size() > close + 3 && line[close + 3] != ' ') return false;
  r.text = std::string(line.size() > close + 4 ? line.substr(close + 4) : std::string_view{});
  return true;
}

std::vector<std::string> messages(const std::string &bytes) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t lf; (lf = bytes.find('\n', start)) != std::string::npos; start = lf + 1)
    if (lf > start) out.push_back(bytes.substr(start, lf - start));
  if (start < bytes.size()) out.push_back(bytes.substr(start));
  return out;
}

bool isWrite(const std::string &name) { return name == "viPrintf" || name == "viVPrintf" || name == "viWrite"; }
bool isQuery(const std::string &name) { return name == "viQueryf" || name == "viVQueryf"; }
bool isRead(const std::string &name) { return name == "viScanf" || name == "viVScanf" || name == "viRead"; }

// The values a formatted read stored, as the answer they came from: tokens joined by blanks.
bool readAnswer(const Record &r, std::string &out) {
  std::string_view s = r.read;
  out.clear();
  while (!s.empty()) {
    std::string piece;
    if (s[0] == '"') {
      std::size_t end = quotedEnd(s, 0);
      if (end == std::string_view::npos || !unquote(s.substr(0, end), piece)) return false;
      s.remove_prefix(end);
    } else {
      std::size_t end = s.find(' ');
      piece = std::string(s.substr(0, end));
      if (piece == "..." || piece == "NULL") return false;
      s.remove_prefix(end == std::string_view::npos ? s.size() : end);
    }
    if (!out.empty()) out += ' ';
    out += piece;
    if (!s.empty() && s[0] == ' ') s.remove_prefix(1);
  }
  return true;
}

void addExchanges(const Record &r, Trace &t) {
  auto add = [&](Exchange::Kind kind, std::string bytes, bool known, Status status) {
    Exchange e;
    e.kind = kind;
    e.bytes = std::move(bytes);
    e.known = known;
    e.status = status;
    e.at = r.time;
    e.took = r.took;
    e.number = r.number;
    e.line = r.line;
    t.exchanges.push_back(std::move(e));
  };
  const bool ok = r.hasStatus && r.status >= 0;
  if (!r.name.empty()) {
    if (isWrite(r.name) || isQuery(r.name)) {
      std::string bytes;
      bool known = !r.cut && r.args.size() >= 2;
      if (known && r.name == "viWrite") known = unquote(r.args[1], bytes);
      else if (known) {
        std::string format;
        known = unquote(r.args[1], format) &&
                formatWrite(format, r.args, isQuery(r.name) ? 3 : 2, bytes);
      }
      const Status writeStatus = isQuery(r.name) ? 0 : r.status;
      if (!known) add(Exchange::Write, "", false, writeStatus);
      for (std::string &m : messages(bytes)) add(Exchange::Write, std::move(m), true, writeStatus);
    }
    if (isQuery(r.name) || isRead(r.name)) {
      std::string answer;
      bool known = ok && !r.cut;
      if (known && r.name == "viRead") {
        known = unquote(r.read, answer);
        if (known && !answer.empty() && answer.back() == '\n') answer.pop_back();
      } else if (known) {
        known = readAnswer(r, answer);
      }
      add(Exchange::Read, answer, known, r.hasStatus ? r.status : 0);
    }
    return;
  }
  // The simulator's records: messages and answers as they are.
  if (r.kind == '>') {
    add(Exchange::Write, r.text, true, 0);
    std::string bytes;
    if (!unescape(r.text, bytes, r.version < 2)) t.exchanges.back().known = false;
    t.exchanges.back().bytes = bytes;
  } else if (r.kind == '<') {
    std::string bytes;
    bool known = unescape(r.text, bytes, r.version < 2);
    add(Exchange::Read, bytes, known, 0);
    for (auto it = t.exchanges.rbegin() + 1; it != t.exchanges.rend(); ++it)
      if (it->kind == Exchange::Write) {
        t.exchanges.back().took = std::max(0.0, r.time - it->at);
        break;
      }
  } else if (r.kind == '!' && startsWith(r.text, "no answer")) {
    add(Exchange::Read, "", false, kTmo);
  } else if (r.kind == '!' && startsWith(r.text, "the test set does not accept the message")) {
    if (!t.exchanges.empty() && t.exchanges.back().kind == Exchange::Write) t.exchanges.back().status = kTmo;
  }
}

}  // namespace

bool unescape(std::string_view text, std::string &out, bool lenient) {
  out.clear();
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\') {
      if (!lenient && (c == '"' || static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F))
        return false;
      out += c;
      continue;
    }
    char e = i + 1 < text.size() ? text[i + 1] : '\0';
    if (e == 'n') out += '\n';
    else if (e == 'r') out += '\r';
    else if (e == 't') out += '\t';
    else if (e == 'x' && i + 3 < text.size() && hexDigit(text[i + 2]) >= 0 && hexDigit(text[i + 3]) >= 0) {
      out += static_cast<char>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3]));
      i += 2;
    } else if (!lenient && (e == '\\' || e == '"')) out += e;
    else if (lenient) {
      out += '\\';  // the simulator's first traces wrote a backslash as it was
      continue;
    } else return false;
    ++i;
  }
  return true;
}

bool unquote(std::string_view quoted, std::string &out) {
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') return false;
  return unescape(quoted.substr(1, quoted.size() - 2), out);
}

bool formatWrite(const std::string &format, const std::vector<std::string> &args, std::size_t first,
                 std::string &out) {
  out.clear();
  std::size_t next = first;
  auto take = [&](std::string &v) {
    if (next >= args.size() || args[next] == "...") return false;
    v = args[next++];
    return true;
  };
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    if (++i < format.size() && format[i] == '%') {
      out += '%';
      continue;
    }
    std::string directive = "%";
    while (i < format.size() && std::string_view("-+ #0").find(format[i]) != std::string_view::npos) directive += format[i++];
    for (int part = 0; part < 2; ++part) {
      if (part == 1) {
        if (i >= format.size() || format[i] != '.') break;
        directive += format[i++];
      }
      if (i < format.size() && format[i] == '*') {
        std::string v;
        long long n = 0;
        if (!take(v) || std::from_chars(v.data(), v.data() + v.size(), n).ec != std::errc() || n < -4096 || n > 4096)
          return false;
        directive += std::to_string(n);
        ++i;
      } else {
        std::size_t digits = 0;
        while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
          if (++digits > 4) return false;
          directive += format[i++];
        }
      }
    }
    if (i < format.size() && (format[i] == 'h' || format[i] == 'l')) ++i;
    if (i >= format.size()) return false;
    const char conv = format[i];
    std::string v;
    if (!take(v)) return false;
    std::string text;
    int n = -1;
    char buf[8192];
    if (conv == 's') {
      if (v == "NULL" || !unquote(v, text)) return false;
      if (directive == "%") {
        out += text;
        continue;
      }
      if (text.find('\0') != std::string::npos) return false;
      n = std::snprintf(buf, sizeof buf, (directive + 's').c_str(), text.c_str());
    } else if (std::string_view("di").find(conv) != std::string_view::npos) {
      long long x = 0;
      auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), x);
      if (ec != std::errc() || end != v.data() + v.size()) return false;
      n = std::snprintf(buf, sizeof buf, (directive + "lld").c_str(), x);
    } else if (std::string_view("uoxXc").find(conv) != std::string_view::npos) {
      unsigned long long x = 0;
      long long signedX = 0;
      if (conv == 'c' ? std::from_chars(v.data(), v.data() + v.size(), signedX).ec != std::errc()
                      : std::from_chars(v.data(), v.data() + v.size(), x).ec != std::errc())
        return false;
      if (conv == 'c') n = std::snprintf(buf, sizeof buf, (directive + "c").c_str(), static_cast<int>(static_cast<unsigned char>(signedX)));
      else n = std::snprintf(buf, sizeof buf, (directive + "ll" + conv).c_str(), x);
    } else if (std::string_view("feEgG").find(conv) != std::string_view::npos) {
      double x = 0;
      if (!toDouble(v, x)) return false;
      n = std::snprintf(buf, sizeof buf, (directive + conv).c_str(), x);
    } else {
      return false;  // a directive of VISA's own (%b, %y, ...) the trace does not list
    }
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) return false;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return next == args.size();
}

bool parseTrace(std::string_view text, Trace &out, std::string &error) {
  out = Trace{};
  int version = 1;
  unsigned number = 0, lineNo = 0;
  bool sawHeader = false;
  while (!text.empty()) {
    std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text = lf == std::string_view::npos ? std::string_view{} : text.substr(lf + 1);
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    auto fail = [&](const std::string &why) {
      error = "line " + std::to_string(lineNo) + ": " + why;
      return false;
    };
    if (line.size() >= kLongestLine) return fail("longer than a trace line can be");
    if (startsWith(line, trace_format::kHeaderTag)) {
      std::string_view v = line.substr(trace_format::kHeaderTag.size());
      int n = 0;
      auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
      if (ec != std::errc() || n < 1) return fail("bad version in the header");
      if (n > trace_format::kVersion)
        return fail("written in trace format " + std::to_string(n) + "; this reader knows up to " +
                    std::to_string(trace_format::kVersion));
      version = n;
      ++out.runs;
      sawHeader = true;
      continue;
    }
    if (startsWith(line, "# Zolvane simulated test set")) {  // the simulator's version-1 header
      version = 1;
      ++out.runs;
      sawHeader = true;
      continue;
    }
    if (line[0] == '#') continue;  // a comment a person added
    Record r;
    r.line = lineNo;
    r.version = version;
    if (!parsePrefix(line, r)) return fail("not a trace record");
    if (!sawHeader && out.records.empty()) out.runs = 1;
    if (r.kind != '#' && r.kind != '*' && isCallName(r.text)) {
      std::string why;
      if (!parseCall(r.text, r, why)) return fail(why);
      r.number = ++number;
    } else if (r.kind == '>' || r.kind == '<' || (r.kind == '!' && startsWith(r.text, "no answer"))) {
      r.number = ++number;
    }
    addExchanges(r, out);
    out.records.push_back(std::move(r));
  }
  return true;
}

bool readWholeFile(const std::string &path, std::string &text, std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::stringstream whole;
  whole << in.rdbuf();
  text = whole.str();
  return true;
}

bool readTrace(const std::string &path, Trace &out, std::string &error) {
  std::string text;
  if (!readWholeFile(path, text, error)) return false;
  if (!parseTrace(text, out, error)) {
    error = path + ":" + error.substr(std::string_view("line ").size());
    return false;
  }
  return true;
}

std::string statusName(Status s) {
  if (const auto *t = visa_status::find(s)) return t->name;
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(s));
  return code;
}

namespace {

// "S1" for the first session number seen, and so on.
std::string session(std::string_view number, std::vector<std::string> &seen) {
  for (std::size_t i = 0; i < seen.size(); ++i)
    if (seen[i] == number) return "S" + std::to_string(i + 1);
  seen.emplace_back(number);
  return "S" + std::to_string(seen.size());
}

bool allDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// "session 3" and "list 4" in free text, renumbered.
std::string renumber(std::string_view text, std::vector<std::string> &seen) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    bool hit = false;
    for (std::string_view word : {std::string_view("session "), std::string_view("list ")}) {
      if (text.substr(i, word.size()) != word) continue;
      std::size_t j = i + word.size();
      std::size_t k = j;
      while (k < text.size() && text[k] >= '0' && text[k] <= '9') ++k;
      if (k == j) continue;
      out += word;
      out += session(text.substr(j, k - j), seen);
      i = k;
      hit = true;
      break;
    }
    if (!hit) out += text[i++];
  }
  return out;
}

}  // namespace

std::string describe(const Record &r, std::vector<std::string> *sessions) {
  std::string out(1, r.kind);
  out += ' ';
  if (r.name.empty()) {
    out += sessions ? renumber(r.text, *sessions) : r.text;
    return out;
  }
  out += r.name;
  out += '(';
  for (std::size_t i = 0; i < r.args.size(); ++i) {
    if (i) out += ", ";
    out += i == 0 && sessions && allDigits(r.args[i]) ? session(r.args[i], *sessions) : r.args[i];
  }
  out += r.cut ? " [cut]" : ")";
  if (!r.read.empty()) {
    out += r.kind == '<' ? " read " : " gives ";
    out += sessions ? renumber(r.read, *sessions) : r.read;
  }
  if (r.hasStatus) {
    out += " -> ";
    out += statusName(r.status);
  }
  return out;
}

}  // namespace zolvane::trace
