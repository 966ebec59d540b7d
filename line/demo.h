// zolvane_line demo: a line on one machine. An embedded SQLite line server and four simulated
// stations forwarding to it (one with weak phones, one whose test set drifts), so that the pages
// fill in while one watches.
#pragma once

#include <string>

namespace zolvane::line {

struct DemoOptions {
  std::string listen = "127.0.0.1:8080";
  std::string folder;  // empty: a new temporary folder
  int phones = 0;      // each station's; 0: until stopped
};

int runDemo(const DemoOptions &options);

}  // namespace zolvane::line
