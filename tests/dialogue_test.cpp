#include "driver/dialogue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using quorvin::CountAnswer;

namespace {

struct Read {
  CountAnswer answer;
  int32_t count;
  std::string typed;
};

// Reads answers from input in turn, as the dialogue reads its two questions.
std::vector<Read> read_answers(const std::string& input, int answers) {
  std::string buffer = input;
  // fmemopen refuses a zero-length buffer; an empty stream is one at its end.
  std::FILE* in = fmemopen(buffer.empty() ? nullptr : buffer.data(),
                           buffer.empty() ? 1 : buffer.size(), "r");
  if (buffer.empty()) std::fgetc(in);
  std::vector<Read> reads;
  for (int a = 0; a < answers; ++a) {
    Read read{CountAnswer::ok, -1, "stale"};
    read.answer = quorvin::read_count(in, read.count, read.typed);
    reads.push_back(read);
  }
  std::fclose(in);
  return reads;
}

Read read_one(const std::string& input) { return read_answers(input, 1)[0]; }

}  // namespace

TEST(Dialogue, ReadsWholeNumbers) {
  struct Case {
    const char* input;
    int32_t count;
  };
  for (const Case& c : {Case{"5\n", 5}, Case{"  \n\t 11\n", 11}, Case{"0\n", 0}, Case{"+7\n", 7},
                        Case{"-0\n", 0}, Case{"007", 7},
                        Case{"1.5e3", 1}, Case{"2147483647\n", 2147483647}}) {
    const Read read = read_one(c.input);
    EXPECT_EQ(read.answer, CountAnswer::ok) << c.input;
    EXPECT_EQ(read.count, c.count) << c.input;
  }
}

TEST(Dialogue, TwoAnswersOnOneLine) {
  const std::vector<Read> reads = read_answers("5 10\n", 2);
  EXPECT_EQ(reads[0].answer, CountAnswer::ok);
  EXPECT_EQ(reads[0].count, 5);
  EXPECT_EQ(reads[1].answer, CountAnswer::ok);
  EXPECT_EQ(reads[1].count, 10);
}

TEST(Dialogue, LettersAfterTheFirstAnswerSpoilTheSecond) {
  const std::vector<Read> reads = read_answers("12abc\n30\n", 2);
  EXPECT_EQ(reads[0].answer, CountAnswer::ok);
  EXPECT_EQ(reads[0].count, 12);
  EXPECT_EQ(reads[1].answer, CountAnswer::not_a_number);
  EXPECT_EQ(reads[1].count, 0);
  EXPECT_EQ(reads[1].typed, "abc");
}

TEST(Dialogue, RefusesWhatIsNotACount) {
  struct Case {
    const char* input;
    CountAnswer answer;
    const char* typed;
  };
  for (const Case& c : {Case{"ten\n", CountAnswer::not_a_number, "ten"},
                        Case{"  eleven variables\nmore", CountAnswer::not_a_number,
                             "eleven variables"},
                        Case{"+\n", CountAnswer::not_a_number, "+"},
                        Case{"-x", CountAnswer::not_a_number, "-x"},
                        Case{"", CountAnswer::no_answer, ""},
                        Case{" \n\n\t", CountAnswer::no_answer, ""},
                        Case{"-3\n", CountAnswer::negative, "-3"},
                        Case{"-2147483648\n", CountAnswer::negative, "-2147483648"},
                        Case{"2147483648\n", CountAnswer::too_large, "2147483648"},
                        Case{"-2147483649\n", CountAnswer::too_large, "-2147483649"},
                        Case{"99999999999999999999999\n", CountAnswer::too_large,
                             "99999999999999999999999"}}) {
    const Read read = read_one(c.input);
    EXPECT_EQ(read.answer, c.answer) << c.input;
    EXPECT_EQ(read.count, 0) << c.input;
    EXPECT_EQ(read.typed, c.typed) << c.input;
  }
}

TEST(Dialogue, MessagesNameTheQuestionAndShowTheAnswer) {
  const char* question = "How many variables?";
  EXPECT_EQ(quorvin::count_answer_message(question, CountAnswer::not_a_number, "ten"),
            "the answer to \"How many variables?\" is not a whole number: \"ten\"");
  EXPECT_EQ(quorvin::count_answer_message(question, CountAnswer::negative, "-3"),
            "the answer to \"How many variables?\" is negative: \"-3\"");
  EXPECT_EQ(quorvin::count_answer_message(question, CountAnswer::too_large, "2147483648"),
            "the answer to \"How many variables?\" is out of range (at most 2147483647): "
            "\"2147483648\"");
  EXPECT_EQ(quorvin::count_answer_message("How many observations?", CountAnswer::no_answer, ""),
            "no answer to \"How many observations?\": standard input ended");
}

TEST(Dialogue, MessagesShowUnprintableAnswersSafely) {
  const std::string message = quorvin::count_answer_message(
      "How many observations?", CountAnswer::not_a_number, std::string("a\"b\x01\xff", 5));
  EXPECT_EQ(message, "the answer to \"How many observations?\" is not a whole number: "
                     "\"a\\x22b\\x01\\xff\"");
  EXPECT_EQ(message.find('\n'), std::string::npos);
}
