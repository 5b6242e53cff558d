// The block of live lines: cursor movements of the ANSI escape sequences.
#include "ui/cli/console.h"

#include <cstdlib>
#include <cstring>

namespace quarn::cli {

int TerminalColumns(int measured) {
  const char* text = std::getenv("COLUMNS");
  if (text == nullptr || std::strlen(text) > 4) return measured;
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  return *text != '\0' && *end == '\0' && n >= 20 && n <= 1000 ? static_cast<int>(n) : measured;
}

void Console::startBlock(const std::vector<std::string>& rows, int columns) {
  width_ = columns > 1 ? static_cast<size_t>(columns - 1) : 1;
  rows_.clear();
  for (const std::string& r : rows) rows_.push_back(r.substr(0, width_));
  drawBlock();
}

void Console::resetBlock(const std::vector<std::string>& rows) {
  if (!rows_.empty())
    std::fprintf(stderr, "\x1b[%dA\r\x1b[J", static_cast<int>(rows_.size()) + below_);
  below_ = 0;
  rows_.clear();
  for (const std::string& r : rows) rows_.push_back(r.substr(0, width_));
  drawBlock();
}

void Console::endBlock() {
  rows_.clear();
  below_ = 0;
}

void Console::setRow(size_t i, const std::string& text) {
  std::string row = text.substr(0, width_);
  if (i >= rows_.size() || rows_[i] == row) return;
  rows_[i] = row;
  const int up = static_cast<int>(rows_.size() - i) + below_;
  std::fprintf(stderr, "\x1b[%dA\r%s\x1b[K\x1b[%dB\r", up, row.c_str(), up);
  std::fflush(stderr);
}

void Console::print(FILE* f, const std::string& text) {
  if (!rows_.empty()) {
    std::fprintf(stderr, "\x1b[%dA\r\x1b[J", static_cast<int>(rows_.size()) + below_);
    std::fflush(stderr);
    below_ = 0;
  }
  std::fputs(text.c_str(), f);
  std::fflush(f);
  if (!rows_.empty()) drawBlock();
}

void Console::movedDown() {
  if (!rows_.empty()) ++below_;
}

void Console::drawBlock() {
  for (const std::string& r : rows_) std::fprintf(stderr, "%s\x1b[K\n", r.c_str());
  std::fflush(stderr);
}

}  // namespace quarn::cli
