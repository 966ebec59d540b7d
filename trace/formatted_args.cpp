#include "formatted_args.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "trace_format.h"
#include "visa_types.h"

namespace zolvane_trace {
namespace {

using zolvane::trace_format::appendEscaped;

void appendQuoted(std::string &out, std::string_view text) {
  out += '"';
  appendEscaped(out, text);
  out += '"';
}

template <typename T>
void appendNumber(std::string &out, const char *fmt, T value) {
  char buf[48];
  int n = std::snprintf(buf, sizeof buf, fmt, value);
  if (n > 0) out.append(buf, std::min(static_cast<std::size_t>(n), sizeof buf - 1));
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool appendWriteArgs(std::string &out, const char *format, va_list &args) {
  if (!format) return true;
  for (const char *p = format; *p; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    while (*p && std::strchr("-+ #0", *p)) ++p;
    if (*p == '*') {
      appendNumber(out, ", %d", va_arg(args, int));
      ++p;
    } else {
      while (isDigit(*p)) ++p;
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        appendNumber(out, ", %d", va_arg(args, int));
        ++p;
      } else {
        while (isDigit(*p)) ++p;
      }
    }
    char length = 0;
    if (*p == 'h' || *p == 'l') length = *p++;
    switch (*p) {
      case 'd': case 'i':
        if (length == 'l') appendNumber(out, ", %ld", va_arg(args, long));
        else appendNumber(out, ", %d", va_arg(args, int));
        break;
      case 'u': case 'o': case 'x': case 'X':
        if (length == 'l') appendNumber(out, ", %lu", va_arg(args, unsigned long));
        else appendNumber(out, ", %u", va_arg(args, unsigned));
        break;
      case 'c':
        if (length) return false;
        appendNumber(out, ", %d", va_arg(args, int));
        break;
      case 'f': case 'e': case 'E': case 'g': case 'G':
        if (length == 'h') return false;
        appendNumber(out, ", %.17g", va_arg(args, double));
        break;
      case 's': {
        if (length) return false;
        const char *text = va_arg(args, const char *);
        if (text) {
          out += ", ";
          appendQuoted(out, text);
        } else {
          out += ", NULL";
        }
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

ReadPlan planReads(const char *format, va_list &args) {
  ReadPlan plan;
  if (!format) return plan;
  for (const char *p = format; *p; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    bool assign = true;
    if (*p == '*') {
      assign = false;
      ++p;
    }
    std::size_t width = 0;
    bool widthArgument = false;
    if (*p == '#') {
      widthArgument = true;
      ++p;
    } else {
      while (isDigit(*p)) width = width * 10 + static_cast<std::size_t>(*p++ - '0');
    }
    char length = 0;
    if (*p == 'h' || *p == 'l') length = *p++;
    const char conv = *p;
    if (!std::strchr("sc", conv) && !std::strchr("diuoxX", conv) && !std::strchr("feEgG", conv)) {
      plan.complete = false;
      return plan;
    }
    if (!assign) {
      if (widthArgument) {  // a suppressed %#s would still take its count: not listed
        plan.complete = false;
        return plan;
      }
      continue;
    }
    if (widthArgument) {
      if (conv != 's' && conv != 'c') {
        plan.complete = false;
        return plan;
      }
      auto *count = va_arg(args, ViInt32 *);
      if (!count) {
        plan.complete = false;
        return plan;
      }
      width = *count > 0 ? static_cast<std::size_t>(*count) - (conv == 's' ? 1 : 0) : 0;
    }
    ReadTarget t{ReadTarget::Text, va_arg(args, void *), width};
    if (conv == 'c') {
      t.kind = ReadTarget::Char;
      if (t.bound == 0) t.bound = 1;
    } else if (std::strchr("diuoxX", conv)) {
      t.kind = length == 'l' ? ReadTarget::Long : length == 'h' ? ReadTarget::Short : ReadTarget::Int;
    } else if (conv != 's') {
      t.kind = length == 'l' ? ReadTarget::Double : ReadTarget::Float;
    }
    plan.targets.push_back(t);
  }
  return plan;
}

void appendReads(std::string &out, const ReadPlan &plan) {
  for (const ReadTarget &t : plan.targets) {
    out += out.empty() ? "" : " ";
    if (!t.where) {
      out += "NULL";
      continue;
    }
    switch (t.kind) {
      case ReadTarget::Text: {
        const char *s = static_cast<const char *>(t.where);
        appendQuoted(out, std::string_view(s, t.bound ? strnlen(s, t.bound + 1) : std::strlen(s)));
        break;
      }
      case ReadTarget::Char:
        appendQuoted(out, std::string_view(static_cast<const char *>(t.where), t.bound));
        break;
      case ReadTarget::Int: appendNumber(out, "%d", *static_cast<int *>(t.where)); break;
      case ReadTarget::Long: appendNumber(out, "%ld", *static_cast<long *>(t.where)); break;
      case ReadTarget::Short: appendNumber(out, "%d", *static_cast<short *>(t.where)); break;
      case ReadTarget::Float: appendNumber(out, "%.9g", static_cast<double>(*static_cast<float *>(t.where))); break;
      case ReadTarget::Double: appendNumber(out, "%.17g", *static_cast<double *>(t.where)); break;
    }
  }
  if (!plan.complete) out += out.empty() ? "..." : " ...";
}

}  // namespace zolvane_trace
