// Fuzzes the count answers: the input is what the user types, and the two
// questions are answered from it one after the other, as in the program.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/dialogue.h"
#include "fuzz/fuzz_check.h"

using quorvin_fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> typing(data, data + size);
  typing.push_back('\0');  // fmemopen needs a buffer, even for no input
  std::FILE* in = fmemopen(typing.data(), size, "r");
  require(in != nullptr, "fmemopen failed");
  for (const char* question : {"How many variables?", "How many observations?"}) {
    const long start = std::ftell(in);
    int32_t count = -1;
    std::string typed;
    const quorvin::CountAnswer answer = quorvin::read_count(in, count, typed);
    if (answer != quorvin::CountAnswer::ok) {
      require(count == 0, "a refused answer left a count");
      const std::string message = quorvin::count_answer_message(question, answer, typed);
      require(quorvin_fuzz::is_one_short_line(message), "the message is not one short line");
      require(message.find(question) != std::string::npos, "the message does not name the question");
      break;  // the program stops at the first refused answer
    }
    // What was taken reads as the same number through the C library: blanks,
    // a sign and digits, with the character after them left for the next answer.
    const long end = std::ftell(in);
    require(end > start, "an answer taken from nothing");
    const std::string taken(typing.data() + start, typing.data() + end);
    require(taken.back() >= '0' && taken.back() <= '9', "an answer does not end with a digit");
    char* rest = nullptr;
    const long long parsed = std::strtoll(taken.c_str(), &rest, 10);
    require(*rest == '\0', "an answer holds more than a number");
    require(parsed == count && count >= 0, "an answer reads as another number");
  }
  std::fclose(in);
  return 0;
}
