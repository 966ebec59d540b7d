// The one test-set session and the ways every operation talks over it.
#pragma once

#include "session/visa_api.h"

namespace zolvane {

// The test-set session and the resource manager it was opened through; 0 when not open.
extern ViSession viInstr;
extern ViSession TestSetResourceManagerHandle;

// An answer: the first whitespace-delimited token, at most 255 characters and a NUL.
struct Response {
  static constexpr int kSize = 256;
  char text[kSize];
};

// A command whose closing "\n" is part of `command`; a "%d" or "%s" in it takes the value.
int send(const char *command);
int send(const char *format, int value);
int send(const char *format, const char *text);
// Writes `query` and reads the first token of the answer into `answer`. On failure `answer`
// holds an empty text.
int query(const char *query, Response &answer);
// Takes one entry out of the test set's error queue; its answer and status are dropped.
void readErrorQueue(Response &scratch);

}  // namespace zolvane
