#include "quorvalen/sim/transcript.h"

#include "quorvalen/byte_text.h"

namespace quorvalen::sim {

std::string Transcript::Format(double time_ms, Direction direction, std::string_view bytes) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%010.3f", time_ms);
  std::string line = stamp;
  line += direction == Direction::kHostToPhone ? " host>phone " : " phone>host ";
  line += TextToHex(bytes);
  line += "  ";
  for (unsigned char c : bytes) line += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
  return line;
}

void Transcript::Record(double time_ms, Direction direction, std::string_view bytes) {
  Add(Format(time_ms, direction, bytes));
}

void Transcript::Note(double time_ms, std::string_view text) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%010.3f", time_ms);
  Add(std::string(stamp) + " note " + std::string(text));
}

void Transcript::Add(std::string line) {
  if (file_) {
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
  }
  lines_.push_back(std::move(line));
}

}  // namespace quorvalen::sim
