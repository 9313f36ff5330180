#include "common/timestamp.h"

#include <cstdio>

namespace quorvin {

void append_timestamp(std::string& out, std::time_t when) {
  static const char* const day_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  localtime_r(&when, &local);
  // Years beyond four digits cannot be shown in 24 characters; clamp them.
  int year = local.tm_year + 1900;
  if (year < 0) year = 0;
  if (year > 9999) year = 9999;
  char text[32];
  std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %04d\n", day_names[local.tm_wday % 7],
                month_names[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, year);
  out += text;
}

}  // namespace quorvin
