#include "common/result_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quorvin {

namespace {
constexpr size_t flush_threshold = 1 << 20;
}

bool open_result_file(ResultFile& file, const std::string& name, std::string& message) {
  file.name = name;
  file.buffer.clear();
  file.error = 0;
  file.fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (file.fd < 0) {
    message = "cannot open " + name + " for writing: " + std::strerror(errno);
    return false;
  }
  return true;
}

void end_line(ResultFile& file) {
  file.buffer += "\r\n";
  if (file.buffer.size() >= flush_threshold) flush_result_file(file);
}

void flush_result_file(ResultFile& file) {
  const char* data = file.buffer.data();
  size_t left = file.buffer.size();
  while (left > 0 && file.error == 0) {
    ssize_t written = ::write(file.fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      file.error = errno;
    } else if (written == 0) {
      file.error = EIO;
    } else {
      data += written;
      left -= static_cast<size_t>(written);
    }
  }
  file.buffer.clear();
}

bool close_result_file(ResultFile& file, std::string& message) {
  if (file.fd < 0) return true;
  flush_result_file(file);
  if (::close(file.fd) != 0 && file.error == 0) file.error = errno;
  file.fd = -1;
  if (file.error != 0) {
    message = "cannot write " + file.name + ": " + std::strerror(file.error);
    return false;
  }
  return true;
}

}  // namespace quorvin
