// zolvane_trace: reads the traces of the trace VISA and of the simulated test set.
//   show TRACE              the calls, readable
//   diff A B                the conversations compared, times and session numbers left out
//   learn TRACE... -o FILE  a profile for the simulator's profile= setting
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "trace_profile.h"
#include "trace_format.h"
#include "trace_reader.h"

namespace {

using namespace zolvane::trace;

constexpr int kUnreadable = 2;
constexpr std::size_t kContext = 3;

std::string quoted(const std::string &bytes) {
  std::string out = "\"";
  zolvane::trace_format::appendEscaped(out, bytes);
  return out + "\"";
}

bool load(const std::string &path, Trace &t) {
  std::string error;
  if (readTrace(path, t, error)) return true;
  std::cerr << "zolvane_trace: " << error << "\n";
  return false;
}

int show(const std::string &path) {
  Trace t;
  if (!load(path, t)) return kUnreadable;
  std::size_t next = 0;  // the first exchange not yet shown
  std::string out;
  for (const Record &r : t.records) {
    char head[64];
    std::snprintf(head, sizeof head, "%6s %12.6f  ", r.number ? ("#" + std::to_string(r.number)).c_str() : "",
                  r.time);
    out = head;
    std::string io;
    while (next < t.exchanges.size() && t.exchanges[next].line == r.line) {
      const Exchange &e = t.exchanges[next++];
      io += e.kind == Exchange::Write ? "  wrote " : "  read ";
      io += e.known ? quoted(e.bytes) : "(not shown)";
    }
    if (r.name.empty()) {
      out += r.kind;
      out += ' ';
      out += r.text;
    } else {
      out += r.name;
      if (io.empty() || r.cut) {
        std::string call = describe(r).substr(2 + r.name.size());  // the arguments, what it gave
        if (r.hasStatus) call.resize(call.rfind(" -> "));
        out += call;
        io.clear();
      }
      out += io;
      if (r.hasStatus) out += "  " + statusName(r.status);
      if (!r.cut) {
        char took[32];
        std::snprintf(took, sizeof took, "  %.1f us", r.took * 1e6);
        out += took;
      }
    }
    std::cout << out << "\n";
  }
  return 0;
}

// The records that make the conversation, as `diff` compares them.
struct Line {
  const Record *record;
  std::string text;
};
std::vector<Line> conversation(const Trace &t) {
  std::vector<Line> out;
  std::vector<std::string> sessions;
  for (const Record &r : t.records)
    if (r.kind != '#' && r.kind != '*') out.push_back({&r, describe(r, &sessions)});
  return out;
}

int diff(const std::string &a, const std::string &b) {
  Trace ta, tb;
  const bool readA = load(a, ta), readB = load(b, tb);
  if (!readA || !readB) return kUnreadable;
  const std::vector<Line> la = conversation(ta), lb = conversation(tb);
  std::size_t i = 0;
  while (i < la.size() && i < lb.size() && la[i].text == lb[i].text) ++i;
  if (i == la.size() && i == lb.size()) return 0;
  std::cout << "the conversations differ at record " << i + 1 << " (" << a << " line "
            << (i < la.size() ? std::to_string(la[i].record->line) : "end") << ", " << b << " line "
            << (i < lb.size() ? std::to_string(lb[i].record->line) : "end") << "):\n";
  for (std::size_t k = i > kContext ? i - kContext : 0; k < i; ++k) std::cout << "    " << la[k].text << "\n";
  for (std::size_t k = i; k < std::min(la.size(), i + 2); ++k) std::cout << "  - " << la[k].text << "\n";
  if (i >= la.size()) std::cout << "  - (" << a << " ends here)\n";
  for (std::size_t k = i; k < std::min(lb.size(), i + 2); ++k) std::cout << "  + " << lb[k].text << "\n";
  if (i >= lb.size()) std::cout << "  + (" << b << " ends here)\n";
  return 1;
}

int learnProfile(const std::vector<std::string> &paths, const std::string &output) {
  std::vector<Trace> traces(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i)
    if (!load(paths[i], traces[i])) return kUnreadable;
  const Profile p = learn(traces);
  const std::string text = toToml(p);
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  out << text;
  out.flush();
  if (!out) {
    std::cerr << "zolvane_trace: cannot write " << output << "\n";
    return kUnreadable;
  }
  std::cout << "learned from " << p.runs << " run(s) in " << paths.size() << " trace(s): " << p.readings.size()
            << " readings, " << p.answers.size() << " other queries, " << p.errors.size()
            << " commands with error-queue answers -> " << output << "\n";
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Reads the traces of the Zolvane trace VISA and simulated test set"};
  app.require_subcommand(1);
  std::string showPath, diffA, diffB, output;
  std::vector<std::string> learnPaths;
  CLI::App *showCmd = app.add_subcommand("show", "the calls of a trace, readable");
  showCmd->add_option("TRACE", showPath, "a trace file")->required();
  CLI::App *diffCmd = app.add_subcommand(
      "diff", "compare two conversations, times and session numbers left out: exit 0 equal, 1 not, 2 unreadable");
  diffCmd->add_option("A", diffA, "a trace file")->required();
  diffCmd->add_option("B", diffB, "a trace file")->required();
  CLI::App *learnCmd = app.add_subcommand("learn", "learn a test set's profile from traces");
  learnCmd->add_option("TRACE", learnPaths, "trace files")->required();
  learnCmd->add_option("-o,--output", output, "the profile to write (TOML)")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kUnreadable;
  }
  if (*showCmd) return show(showPath);
  if (*diffCmd) return diff(diffA, diffB);
  return learnProfile(learnPaths, output);
}
