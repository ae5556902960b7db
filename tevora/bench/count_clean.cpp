// Runs `parse` on one clean 13-digit and one clean 14-digit cell many times,
// for `valgrind --tool=callgrind --toggle-collect=...parse...` to count the
// instructions per call. Instruction counts are repeatable where time is not.

#include <cstdlib>
#include <string>

#include "tevora/parser.hpp"

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 1000;
  // Built at run time so the compiler cannot fold the parse away.
  const std::string cells[] = {std::string("4006381333931"), std::string("40063813339310")};
  // Called through a volatile pointer so that link-time optimisation cannot
  // inline it: the count needs a function of its own to toggle on.
  tevora::Parsed (*volatile const parse)(std::string_view) noexcept = &tevora::parse;
  std::size_t accepted = 0;
  for (int i = 0; i < rounds; ++i) {
    for (const std::string& cell : cells) accepted += parse(cell).is_accepted() ? 1U : 0U;
  }
  return accepted == 2 * static_cast<std::size_t>(rounds) ? 0 : 1;
}
