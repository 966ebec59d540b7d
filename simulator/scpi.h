// The SCPI side of the simulated test set: program messages split into commands, headers
// matched in their short and long forms, parameters parsed and numbers written, all without the
// process locale (an instrument always uses a point).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zolvane_sim {

// Error numbers the test set puts in its error queue.
namespace err {
inline constexpr int kNone = 0;
inline constexpr int kSyntax = -102;
inline constexpr int kDataType = -104;
inline constexpr int kParameterNotAllowed = -108;
inline constexpr int kMissingParameter = -109;
inline constexpr int kUndefinedHeader = -113;
inline constexpr int kInvalidSuffix = -131;
inline constexpr int kSettingsConflict = -221;
inline constexpr int kDataOutOfRange = -222;
inline constexpr int kIllegalParameterValue = -224;
inline constexpr int kTooMuchData = -223;
inline constexpr int kQueueOverflow = -350;
inline constexpr int kQueryInterrupted = -410;
}  // namespace err

// The standard text of an error number ("Undefined header").
const char *errorText(int code);

std::string upper(std::string_view s);

// A whole decimal number, point only, optional sign and exponent ("-15.6", "+2.3E-01").
bool parseDecimal(std::string_view text, double &out);

// One command of a program message, its header resolved to the full path.
struct ParsedCommand {
  std::vector<std::string> nodes;  // upper-case mnemonics; a common command is one node "*RST"
  bool common = false;
  bool query = false;
  std::string params;  // the text after the header, blanks trimmed
  std::string text;    // the command as received, for messages and the trace
};

// The deepest header the test set's tree holds is far shorter than this; a header that resolves
// to more nodes (a relative header repeated along a compound message) is undefined.
inline constexpr std::size_t kMaxHeaderNodes = 16;

// Splits a program message at ';' (outside quotes) and resolves the compound-header rule: a
// header without a leading ':' continues from the path of the one before it. A header resolving
// to more than kMaxHeaderNodes nodes keeps only kMaxHeaderNodes + 1 of them, which no command
// matches: so the path never grows past the limit and parsing stays linear in the message.
// Returns 0 or an error number; `out` then holds the commands before the bad one.
int parseMessage(std::string_view message, std::vector<ParsedCommand> &out);

// A header in SCPI notation: "CALL[:CELL]:FCHannel:STATe". Upper-case letters are the short
// form, the whole word the long form; either matches, in any case; bracketed nodes may be left
// out.
class HeaderPattern {
 public:
  explicit HeaderPattern(std::string_view notation);
  bool matches(const std::vector<std::string> &nodes) const;
  const std::string &notation() const { return notation_; }

 private:
  struct Node {
    std::string shortForm;
    std::string longForm;
    bool optional = false;
  };
  bool matchFrom(std::size_t pattern, const std::vector<std::string> &nodes, std::size_t at) const;

  std::string notation_;
  std::vector<Node> nodes_;
};

// Splits a parameter list at commas outside quotes; each item blank-trimmed.
std::vector<std::string_view> splitParams(std::string_view params);

// A numeric parameter with an optional unit suffix ("-65.00DBM", "836.520MHz", "5").
// Returns 0 with the value and the upper-cased suffix, or err::kDataType.
int parseNumeric(std::string_view item, double &value, std::string &suffix);

// Locale-free number text: fixed with `decimals` digits, or "%.6E"-style scientific.
std::string formatFixed(double value, int decimals);
std::string formatScientific(double value);

}  // namespace zolvane_sim
