// Where the sessions of a run print: stdout and stderr, shared by all. With
// several sessions on a terminal, stderr ends with a block of live lines,
// one per session, redrawn in place; whatever else is printed goes above it.
#pragma once
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace quarn::cli {

// How a session's progress shows on stderr: one live line redrawn with \r
// (a session alone on a terminal), its row of the block (several on a
// terminal), or a line at each phase change (not a terminal).
enum class Display { Line, Block, Phases };

// The columns of the terminal: COLUMNS where it holds a number from 20 to
// 1000, else `measured` (the terminal's own; 0 when unknown).
int TerminalColumns(int measured);

class Console {
 public:
  std::mutex lock;        // guards the output streams and the block
  std::mutex promptTurn;  // held by the session whose prompt waits for Enter

  // Draws the block on a terminal of `columns`; each row is cut to fit.
  void startBlock(const std::vector<std::string>& rows, int columns);
  // The block drawn is cleared and rows drawn in its place.
  void resetBlock(const std::vector<std::string>& rows);
  // The block stays as it stands; what follows prints below it.
  void endBlock();
  // Shows text in row i of the block. With `lock` held.
  void setRow(size_t i, const std::string& text);
  // Prints text on f, above the block. With `lock` held.
  void print(FILE* f, const std::string& text);
  // The columns a row of the block may fill.
  size_t width() const { return width_; }
  // The terminal echoed an Enter: the cursor stands a line further down.
  void movedDown();

 private:
  void drawBlock();

  std::vector<std::string> rows_;
  size_t width_ = 79;
  int below_ = 0;  // lines between the block's end and the cursor
};

}  // namespace quarn::cli
