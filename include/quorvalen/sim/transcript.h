// A transcript of everything the simulated phone received and sent: one
// line per chunk, with the time, the direction, the bytes in hex and the
// bytes as printable text (anything else as '.').
//
//   000012.345 host>phone 41540D  AT.
//   000012.367 phone>host 0D0A4F4B0D0A  ..OK..
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace quorvalen::sim {

class Transcript {
 public:
  enum class Direction { kHostToPhone, kPhoneToHost };

  // Lines are kept in memory; with a file they are also written there as
  // they come.
  void WriteTo(std::FILE* file) { file_ = file; }
  void Record(double time_ms, Direction direction, std::string_view bytes);
  void Note(double time_ms, std::string_view text);
  const std::vector<std::string>& Lines() const { return lines_; }

  static std::string Format(double time_ms, Direction direction, std::string_view bytes);

 private:
  void Add(std::string line);

  std::FILE* file_ = nullptr;
  std::vector<std::string> lines_;
};

}  // namespace quorvalen::sim
