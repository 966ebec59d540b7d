#include "scpi.h"

#include <charconv>
#include <cmath>

namespace zolvane_sim {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool isMnemonicChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Splits at `sep` outside single or double quotes.
std::vector<std::string_view> splitOutsideQuotes(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  char quote = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == sep) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(text.substr(start));
  return parts;
}

}  // namespace

const char *errorText(int code) {
  switch (code) {
    case err::kNone: return "No error";
    case err::kSyntax: return "Syntax error";
    case err::kDataType: return "Data type error";
    case err::kParameterNotAllowed: return "Parameter not allowed";
    case err::kMissingParameter: return "Missing parameter";
    case err::kUndefinedHeader: return "Undefined header";
    case err::kInvalidSuffix: return "Invalid suffix";
    case err::kSettingsConflict: return "Settings conflict";
    case err::kDataOutOfRange: return "Data out of range";
    case err::kIllegalParameterValue: return "Illegal parameter value";
    case err::kTooMuchData: return "Too much data";
    case err::kQueueOverflow: return "Queue overflow";
    case err::kQueryInterrupted: return "Query INTERRUPTED";
    default: return "Error";
  }
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char &c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool parseDecimal(std::string_view text, double &out) {
  if (text.empty()) return false;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // from_chars takes no sign of its own and would accept "inf" and "nan"; SCPI has neither.
  if (text.empty() || !((text.front() >= '0' && text.front() <= '9') || text.front() == '.'))
    return false;
  double v = 0.0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v,
                                   std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  out = negative ? -v : v;
  return true;
}

int parseMessage(std::string_view message, std::vector<ParsedCommand> &out) {
  std::vector<std::string> path;  // the path that a relative header continues from
  std::vector<std::string_view> parts = splitOutsideQuotes(message, ';');
  for (std::string_view part : parts) {
    std::string_view text = trim(part);
    if (text.empty()) {
      if (parts.size() > 1) return err::kSyntax;  // an empty command between separators
      continue;
    }
    ParsedCommand cmd;
    cmd.text = std::string(text);
    std::size_t i = 0;
    if (text[0] == '*') {
      cmd.common = true;
      i = 1;
      while (i < text.size() && isMnemonicChar(text[i])) ++i;
      if (i == 1) return err::kSyntax;
      cmd.nodes.push_back(upper(text.substr(0, i)));
    } else {
      bool absolute = false;
      if (text[0] == ':') {
        absolute = true;
        i = 1;
      }
      std::vector<std::string> nodes;
      while (true) {
        std::size_t start = i;
        while (i < text.size() && isMnemonicChar(text[i])) ++i;
        if (i == start) return err::kSyntax;
        if (nodes.size() <= kMaxHeaderNodes) nodes.push_back(upper(text.substr(start, i - start)));
        if (i < text.size() && text[i] == ':') {
          ++i;
          continue;
        }
        break;
      }
      if (!absolute && !path.empty()) nodes.insert(nodes.begin(), path.begin(), path.end());
      if (nodes.size() > kMaxHeaderNodes + 1) nodes.resize(kMaxHeaderNodes + 1);
      path.assign(nodes.begin(), nodes.end() - 1);
      cmd.nodes = std::move(nodes);
    }
    if (i < text.size() && text[i] == '?') {
      cmd.query = true;
      ++i;
    }
    if (i < text.size() && !isBlank(text[i])) return err::kSyntax;
    cmd.params = std::string(trim(text.substr(i)));
    out.push_back(std::move(cmd));
  }
  return err::kNone;
}

HeaderPattern::HeaderPattern(std::string_view notation) : notation_(notation) {
  std::size_t i = 0;
  while (i < notation.size()) {
    Node node;
    if (notation[i] == '[') {
      node.optional = true;
      ++i;
    }
    if (i < notation.size() && notation[i] == ':') ++i;
    std::size_t start = i;
    while (i < notation.size() && notation[i] != ':' && notation[i] != '[' && notation[i] != ']')
      ++i;
    std::string_view word = notation.substr(start, i - start);
    for (char c : word)
      if (!(c >= 'a' && c <= 'z')) node.shortForm += c;
    node.longForm = upper(word);
    if (i < notation.size() && notation[i] == ']') ++i;
    nodes_.push_back(std::move(node));
  }
}

bool HeaderPattern::matches(const std::vector<std::string> &nodes) const {
  return matchFrom(0, nodes, 0);
}

bool HeaderPattern::matchFrom(std::size_t pattern, const std::vector<std::string> &nodes,
                              std::size_t at) const {
  if (pattern == nodes_.size()) return at == nodes.size();
  const Node &n = nodes_[pattern];
  if (at < nodes.size() && (nodes[at] == n.shortForm || nodes[at] == n.longForm) &&
      matchFrom(pattern + 1, nodes, at + 1))
    return true;
  return n.optional && matchFrom(pattern + 1, nodes, at);
}

std::vector<std::string_view> splitParams(std::string_view params) {
  std::vector<std::string_view> items;
  if (trim(params).empty()) return items;
  for (std::string_view item : splitOutsideQuotes(params, ',')) items.push_back(trim(item));
  return items;
}

int parseNumeric(std::string_view item, double &value, std::string &suffix) {
  item = trim(item);
  std::size_t i = 0;
  if (i < item.size() && (item[i] == '+' || item[i] == '-')) ++i;
  bool digits = false;
  while (i < item.size() && item[i] >= '0' && item[i] <= '9') { ++i; digits = true; }
  if (i < item.size() && item[i] == '.') {
    ++i;
    while (i < item.size() && item[i] >= '0' && item[i] <= '9') { ++i; digits = true; }
  }
  if (!digits) return err::kDataType;
  // An exponent only if digits follow it: "5E" is five with the suffix E.
  if (i < item.size() && (item[i] == 'E' || item[i] == 'e')) {
    std::size_t j = i + 1;
    if (j < item.size() && (item[j] == '+' || item[j] == '-')) ++j;
    if (j < item.size() && item[j] >= '0' && item[j] <= '9') {
      while (j < item.size() && item[j] >= '0' && item[j] <= '9') ++j;
      i = j;
    }
  }
  if (!parseDecimal(item.substr(0, i), value)) return err::kDataType;
  std::string_view rest = trim(item.substr(i));
  for (char c : rest)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return err::kDataType;
  suffix = upper(rest);
  return err::kNone;
}

std::string formatFixed(double value, int decimals) {
  char buf[64];
  if (value == 0.0) value = 0.0;  // no "-0.00"
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (ec != std::errc()) return "9.91E+37";  // SCPI's not-a-number
  return std::string(buf, end);
}

std::string formatScientific(double value) {
  char buf[64];
  if (value == 0.0) value = 0.0;
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 6);
  if (ec != std::errc()) return "9.91E+37";
  std::string s(buf, end);
  for (char &c : s)
    if (c == 'e') c = 'E';
  return s;
}

}  // namespace zolvane_sim
