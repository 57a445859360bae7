#include "LogCapture.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

namespace orvo::tool {

LogCapture::LogCapture() : saved_(::dup(STDERR_FILENO)) {
  std::fflush(stderr);
  char name[] = "/tmp/orvo-log-XXXXXX";
  file_ = ::mkstemp(name);
  if (file_ >= 0) {
    ::unlink(name);
    ::dup2(file_, STDERR_FILENO);
  }
}

LogCapture::~LogCapture() {
  std::fflush(stderr);
  if (saved_ >= 0) {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  if (file_ >= 0) ::close(file_);
}

std::vector<std::string> LogCapture::rawLines() const {
  std::fflush(stderr);
  std::string content;
  char buf[4096];
  for (ssize_t n = 0; file_ >= 0 && (n = ::pread(file_, buf, sizeof buf,
                                                 static_cast<off_t>(content.size()))) > 0;) {
    content.append(buf, static_cast<std::size_t>(n));
  }
  std::vector<std::string> lines;
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> messages;
  for (const std::string& line : rawLines()) {
    const bool starts = line.size() > 24 && line[4] == '-' && line[7] == '-' && line[10] == ' ' &&
                        line[13] == ':' && line[19] == '.' && line.find("] ") != std::string::npos;
    if (starts) {
      messages.push_back(line.substr(line.find("] ") + 2));
    } else if (!messages.empty()) {
      messages.back() += "\n" + line;
    }
  }
  return messages;
}

}  // namespace orvo::tool
