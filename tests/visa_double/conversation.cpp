#include "conversation.h"

#include <map>

#include <gtest/gtest.h>

namespace visa_double {
namespace {

bool endsWithQuestion(const std::string &text) {
  return text.size() >= 2 && text.compare(text.size() - 2, 2, "?\n") == 0;
}

// What the library's "%255s" read keeps of an answer, as the C string it sees.
std::string storedToken(const std::string &answer) {
  auto space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  };
  std::size_t b = 0;
  while (b < answer.size() && space(answer[b])) ++b;
  std::size_t e = b;
  while (e < answer.size() && !space(answer[e]) && answer[e] != '\0' && e - b < 255) ++e;
  return answer.substr(b, e - b);
}

}  // namespace

Exchange::Exchange(const char *command) : text(command) {}

Exchange::Exchange(const char *query, const char *answerText)
    : text(query), answer(answerText), isQuery(true) {}

Exchange::Exchange(const char *textIn, Fail fail)
    : text(textIn), isQuery(endsWithQuestion(text)), status(fail.status) {}

Exchange::Exchange(std::string textIn, std::string answerText, bool query, ViStatus statusIn)
    : text(std::move(textIn)), answer(std::move(answerText)), isQuery(query), status(statusIn) {}

Conversation::Conversation(std::initializer_list<Exchange> exchanges)
    : Conversation(std::vector<Exchange>(exchanges)) {}

Conversation::Conversation(std::vector<Exchange> exchanges) : exchanges_(std::move(exchanges)) {
  restart();
  // The double counts occurrences per text over every call; failed calls take no answer, so
  // answers are scripted for the successful queries only, in their order.
  std::map<std::string, unsigned> seen;
  for (const Exchange &x : exchanges_) {
    const unsigned nth = ++seen[x.text];
    if (x.status != kViSuccess) {
      failOn(x.text, nth, x.status);
    } else if (x.isQuery) {
      answer(x.text, x.answer);
    }
  }
}

std::vector<std::string> Conversation::expected() const {
  std::vector<std::string> lines;
  lines.reserve(exchanges_.size());
  for (const Exchange &x : exchanges_) {
    Event e;
    e.fn = x.isQuery ? Fn::Queryf : Fn::Printf;
    e.text = x.text;
    e.status = x.status;
    if (x.isQuery && x.status == kViSuccess) e.stored = storedToken(x.answer);
    lines.push_back(describe(e));
  }
  return lines;
}

void Conversation::expectAllConsumed() const {
  EXPECT_EQ(transcript(), expected());
  const std::vector<Event> io = ioEvents();
  for (const Event &e : io) {
    EXPECT_EQ(e.session, io.front().session)
        << describe(e) << ": on session " << e.session << ", the first I/O was on "
        << io.front().session;
    EXPECT_TRUE(e.endsWithFormatNewline)
        << describe(e) << ": the format " << quoted(e.format)
        << " does not end the message with its own line feed (no END)";
    EXPECT_FALSE(e.newlineFromArgument)
        << describe(e) << ": a line feed came through an argument of " << quoted(e.format);
    if (e.fn == Fn::Queryf) {
      EXPECT_EQ(e.readFormat, "%255s") << describe(e);
    }
  }
}

std::vector<std::string> transcript() {
  std::vector<std::string> lines;
  for (const Event &e : events()) lines.push_back(describe(e));
  return lines;
}

std::vector<Event> ioEvents() {
  std::vector<Event> io;
  for (Event &e : events()) {
    if (e.fn == Fn::Printf || e.fn == Fn::Queryf) io.push_back(std::move(e));
  }
  return io;
}

}  // namespace visa_double
