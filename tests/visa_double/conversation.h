// A scripted conversation with the VISA double: declare every exchange an operation must make,
// in order, with the answers and faults; run the operation; compare the whole transcript.
//
//   Conversation c{{"FETC:DAP?\n", "0,2.312E+01"}, {"*CLS\n"}, {"SYST:ERR?\n", "+0,\"No error\""}};
//   EXPECT_EQ(Zolvane_FetchDAPower(&p), 0);
//   c.expectAllConsumed();   // an extra, missing or different call fails the test
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "visa_double.h"

namespace visa_double {

// A fault for an exchange: the call returns this status and does nothing else.
struct Fail {
  ViStatus status;
};

// One call the operation must make. A text ending in "?\n" is a query, anything else a write.
struct Exchange {
  Exchange(const char *command);                      // a write that succeeds
  Exchange(const char *query, const char *answer);    // a query and the answer it gets
  Exchange(const char *text, Fail fail);              // a write or query that fails
  Exchange(std::string text, std::string answer, bool isQuery, ViStatus status);

  std::string text;
  std::string answer;
  bool isQuery = false;
  ViStatus status = 0;
};

class Conversation {
 public:
  // Starts a new script in the double (keeping its open sessions) and scripts every answer and
  // fault of `exchanges`.
  Conversation(std::initializer_list<Exchange> exchanges);
  explicit Conversation(std::vector<Exchange> exchanges);

  // The lines the transcript must show, in visa_double::describe's form.
  std::vector<std::string> expected() const;

  // Adds a GoogleTest failure unless the calls since construction are exactly the exchanges, in
  // order, every write and query on one session, every message ended by a line feed of the
  // format string and none carried in an argument, every query read with "%255s".
  void expectAllConsumed() const;

 private:
  std::vector<Exchange> exchanges_;
};

// describe() of every call since the last reset/restart.
std::vector<std::string> transcript();
// Only the I/O calls (viPrintf, viQueryf) since the last reset/restart.
std::vector<Event> ioEvents();

}  // namespace visa_double
