#pragma once
// The station's record (--record FILE): one JSON Lines object per board and command,
// appended by every process of the station to the same file, so that what was programmed on
// which board can be traced afterwards.
#include <chrono>
#include <iosfwd>
#include <string>

#include "cli/board.h"

namespace velkorn::cli {

// "2026-03-01T12:34:56.789Z".
std::string utcTime(std::chrono::system_clock::time_point at);

// The board's --json object with the station's facts after it: time, station, device,
// port_path, usb and (when one was taken) serial.
std::string recordLine(const Options& options, const BoardResult& result, std::chrono::system_clock::time_point at);

// Appends the board's record to --record's file, synced before this returns. A record that
// cannot be written fails the board (exit 1 at least), said on `err`: a board nobody can
// trace is not done.
void recordBoard(const Options& options, BoardResult& result, std::ostream& err);

}  // namespace velkorn::cli
