// How a run ends before its normal end: a stop (with or without a message),
// a fatal input/output error, or a pause that the user declines. The place
// that decides throws RunEnd; only main catches it, closes every channel,
// writes the text to the error stream and returns the status.
#pragma once
#include <string>
#include <string_view>

namespace morvenak {

struct RunEnd {
  int status = 0;       // process exit status
  std::string message;  // text for the error stream, each line ending in '\n'; may be empty
};

// Stop the run. An empty message writes nothing; otherwise
// "STOP <message> statement executed" goes to the error stream. A stop ends
// the run without its result (status 1), except the user's own choice to
// stop, which passes status 0.
[[noreturn]] void stop(std::string_view message = {}, int status = 1);

// Pause with a message; returns when the user types "go", otherwise ends the run.
void pause(std::string_view message);

}  // namespace morvenak

namespace morvenak {
// Interrupt (unless ignored at start), termination and floating-point signals.
void install_signal_handlers();
}  // namespace morvenak
