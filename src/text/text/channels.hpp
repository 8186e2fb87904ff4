// Numbered channels: the console, the error stream, the report, the score file
// and the input files. Output records are written to the operating system at
// once, one write per statement, so nothing is ever held back in a buffer and
// every end of the run (stop, fatal error, signal) leaves each file complete.
// A write that fails on an output file (a full disk) is a fatal error; on the
// console or the error stream (a reader that went away) it is ignored.
// Input channels hand out whole lines; the free-format reader parses them.
#pragma once
#include <string>
#include <string_view>

namespace morvenak {

enum Unit : int {
  kErrorUnit = 0,
  kFofnUnit = 2,
  kScoreUnit = 3,
  kReportUnit = 4,
  kConsoleIn = 5,
  kConsoleOut = 6,
  kResponseUnit = 11,  // factor file k uses kResponseUnit + k
};

inline constexpr int kNameLength = 79;  // text fields that hold file names

// Open `name` (trailing blanks removed) on `unit`. "old": must exist and be no
// folder; "new": must not exist and is created empty. Failures are fatal.
void open_old(int unit, std::string_view name);
void open_new(int unit, std::string_view name);
void close_unit(int unit);  // closing a unit that is not open does nothing
// Flushes an output file to the disk and closes it; a failure of either is a
// fatal error. Closing a unit that is not open does nothing.
void close_output(int unit);
void close_all();
bool is_open(int unit);

// Name with which the unit was opened, padded with blanks to 79 characters.
std::string unit_name(int unit);

// Writes text (one or more complete records, each ending in '\n') to an output unit.
void put_text(int unit, std::string_view text);

// Where the free-format reader stands on an input unit; cleared on open.
struct InputCursor {
  std::string line;
  std::size_t pos = 0;
  bool have_line = false;  // a statement has used `line`
};
InputCursor& input_cursor(int unit);

// Next line of an input unit without its line end ("\n" or "\r\n").
// Returns false at the end of the input. A read failure of the operating
// system and a line of more than 64 MiB are fatal errors.
bool get_line(int unit, std::string& line);

// Fatal input/output error: `first_line` is the context and reason
// ("list in: end of file"); `unit` is the channel concerned. Never returns.
[[noreturn]] void fatal_io(int unit, std::string_view first_line);

// Remembered for the diagnostics of a fatal error.
void note_transfer(std::string_view layout, bool reading);

// Tests: connect a unit to an existing file descriptor (output) or file (input).
void attach_output_fd(int unit, int fd, std::string_view name);
void attach_input_file(int unit, std::string_view path);

// Tests: the output of `unit` fails from now on as a full or failing disk
// would, each time the unit is opened; OutputFault{} removes the fault.
struct OutputFault {
  std::size_t room = 0;  // bytes written after an open before writes fail
  int write_err = 0;     // errno of the writes past `room`; 0: writes never fail
  int flush_err = 0;     // errno of the flush of close_output; 0: it succeeds
  int close_err = 0;     // errno of the close of close_output; 0: it succeeds
};
void inject_output_fault(int unit, const OutputFault& fault);

}  // namespace morvenak
