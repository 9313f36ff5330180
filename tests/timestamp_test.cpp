#include "common/timestamp.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <regex>
#include <string>

namespace {

// Runs the test body with the time zone set to zone, and restores the
// original afterwards so that other tests see the machine's own.
class TimestampTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    had_zone_ = old != nullptr;
    if (had_zone_) old_zone_ = old;
    use_zone("UTC");
  }
  void TearDown() override {
    if (had_zone_)
      setenv("TZ", old_zone_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static void use_zone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  static std::string stamp(std::time_t when) {
    std::string text;
    quorvin::append_timestamp(text, when);
    return text;
  }

 private:
  bool had_zone_ = false;
  std::string old_zone_;
};

const char* const day_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

TEST_F(TimestampTest, KnownTimesInUniversalTime) {
  EXPECT_EQ(stamp(0), "Thu Jan 01 00:00:00 1970\n");
  EXPECT_EQ(stamp(1796575669), "Sun Dec 06 16:47:49 2026\n");
  EXPECT_EQ(stamp(951782400), "Tue Feb 29 00:00:00 2000\n");
  EXPECT_EQ(stamp(1796601599), "Sun Dec 06 23:59:59 2026\n");
}

TEST_F(TimestampTest, ShowsLocalTime) {
  use_zone("EST5");
  EXPECT_EQ(stamp(0), "Wed Dec 31 19:00:00 1969\n");
  use_zone("<+0530>-5:30");
  EXPECT_EQ(stamp(1796575669), "Sun Dec 06 22:17:49 2026\n");
}

TEST_F(TimestampTest, EnglishNamesWhateverTheLocale) {
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  for (const char* locale : {"C.UTF-8", "POSIX", ""}) {
    if (std::setlocale(LC_ALL, locale) == nullptr) continue;
    EXPECT_EQ(stamp(1796575669), "Sun Dec 06 16:47:49 2026\n") << locale;
  }
  std::setlocale(LC_ALL, saved.c_str());
}

// Every hour of 2026: always 24 characters and a newline, the day of the
// month zero-padded, the day name following the calendar (1 January 2026 was
// a Thursday), and every month name in its turn.
TEST_F(TimestampTest, SweepOfAYearKeepsTheShape) {
  const std::regex shape(
      R"(([A-Z][a-z]{2}) ([A-Z][a-z]{2}) ([0-3][0-9]) ([0-2][0-9]):([0-5][0-9]):([0-5][0-9]) 2026\n)");
  const std::time_t new_year = 1767225600;  // Thu Jan 01 00:00:00 2026 UTC
  const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  std::time_t when = new_year;
  for (int month = 0; month < 12; ++month) {
    for (int day = 1; day <= month_days[month]; ++day) {
      const int day_index = static_cast<int>((when - new_year) / 86400);
      for (int hour = 0; hour < 24; ++hour, when += 3600) {
        const std::string text = stamp(when + 61);
        ASSERT_EQ(text.size(), 25u) << text;
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(text, parts, shape)) << text;
        EXPECT_EQ(parts[1], day_names[(4 + day_index) % 7]) << text;
        EXPECT_EQ(parts[2], month_names[month]) << text;
        EXPECT_EQ(std::stoi(parts[3]), day) << text;
        EXPECT_EQ(std::stoi(parts[4]), hour) << text;
        EXPECT_EQ(parts[5], "01") << text;
        EXPECT_EQ(parts[6], "01") << text;
      }
    }
  }
}

TEST_F(TimestampTest, AppendsAfterTheLineStart) {
  std::string line = "Start time: ";
  quorvin::append_timestamp(line, 0);
  EXPECT_EQ(line, "Start time: Thu Jan 01 00:00:00 1970\n");
}
