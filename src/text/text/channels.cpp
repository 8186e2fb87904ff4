// Channel table, open/close with the fatal texts, record output and line input.
#include "text/channels.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/runend.hpp"

namespace morvenak {
namespace {

struct Channel {
  bool open = false;
  bool input = false;
  int fd = -1;              // output units
  std::FILE* in = nullptr;  // input units
  bool owned = false;       // closed by close_unit
  std::string name;         // as used to open, trailing blanks removed; empty for the console
  InputCursor cursor;
  std::size_t written = 0;  // bytes written since the open
};

constexpr int kMaxUnit = 16;
Channel g_units[kMaxUnit];
OutputFault g_faults[kMaxUnit];
bool g_started = false;

std::string_view g_last_layout = "free format";
bool g_last_reading = false;

constexpr const char* kNulInName = "file name holds a null character";
constexpr std::size_t kMaxLine = std::size_t{64} << 20;  // characters

// A descriptor 0, 1 or 2 that the caller left closed would be handed to the
// first file opened, and the console would then read from or write into the
// report. Each closed one is opened on /dev/null instead: a closed standard
// input reads as empty, a closed standard output or error swallows its text.
void guard_console_fds() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int got = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (got >= 0 && got != fd) {
      ::dup2(got, fd);
      ::close(got);
    }
  }
}

void start() {
  if (g_started) return;
  g_started = true;
  guard_console_fds();
  // A console that goes away (output piped into a program that quits) must not
  // end the run: the write fails and the report is still written in full.
  std::signal(SIGPIPE, SIG_IGN);
  g_units[kErrorUnit] = Channel{true, false, 2, nullptr, false, "", {}};
  g_units[kConsoleOut] = Channel{true, false, 1, nullptr, false, "", {}};
  g_units[kConsoleIn] = Channel{true, true, -1, stdin, false, "", {}};
}

int unit_index(int unit) { return (unit >= 0 && unit < kMaxUnit) ? unit : kErrorUnit; }

Channel& unit_ref(int unit) {
  start();
  return g_units[unit_index(unit)];
}

std::string trimmed(std::string_view name) {
  std::size_t end = name.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string() : std::string(name.substr(0, end + 1));
}

bool is_console(int unit) { return unit == kErrorUnit || unit == kConsoleOut; }

// Returns 0, or the errno of the write that failed.
int write_all(Channel& c, const OutputFault& fault, const char* data, std::size_t size) {
  while (size > 0) {
    std::size_t chunk = size;
    if (fault.write_err != 0) {
      if (c.written >= fault.room) return fault.write_err;
      chunk = std::min(size, fault.room - c.written);
    }
    ssize_t done = ::write(c.fd, data, chunk);
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += done;
    size -= static_cast<std::size_t>(done);
    c.written += static_cast<std::size_t>(done);
  }
  return 0;
}

// Open failures name the unit and the file they concern.
[[noreturn]] void open_failure(int unit, const std::string& name, std::string_view reason) {
  Channel& c = unit_ref(unit);
  c = Channel{};
  c.name = name;
  fatal_io(unit, std::string("open: ").append(reason));
}

}  // namespace

void open_old(int unit, std::string_view raw) {
  std::string name = trimmed(raw);
  close_unit(unit);
  if (name.empty()) open_failure(unit, name, "null file name");
  if (name.find('\0') != std::string::npos) open_failure(unit, name, kNulInName);
  // Not blocking: a named pipe without a writer reads as empty instead of
  // waiting forever for one. Reads block again once the file is open.
  int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) open_failure(unit, name, std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    open_failure(unit, name, std::strerror(EISDIR));
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* f = ::fdopen(fd, "r");
  if (f == nullptr) {
    int err = errno;
    ::close(fd);
    open_failure(unit, name, std::strerror(err));
  }
  unit_ref(unit) = Channel{true, true, -1, f, true, name, {}};
}

void open_new(int unit, std::string_view raw) {
  std::string name = trimmed(raw);
  close_unit(unit);
  if (name.empty()) open_failure(unit, name, "null file name");
  if (name.find('\0') != std::string::npos) open_failure(unit, name, kNulInName);
  int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) open_failure(unit, name, errno == EEXIST ? "'new' file exists" : std::strerror(errno));
  unit_ref(unit) = Channel{true, false, fd, nullptr, true, name, {}};
}

void close_unit(int unit) {
  Channel& c = unit_ref(unit);
  if (!c.open) return;
  if (c.owned) {
    if (c.in != nullptr) std::fclose(c.in);
    if (c.fd >= 0) ::close(c.fd);
  }
  c = Channel{};
}

void close_output(int unit) {
  Channel& c = unit_ref(unit);
  if (!c.open || c.input) return;
  const OutputFault& fault = g_faults[unit_index(unit)];
  // Errors that the disk reports late (a quota, a network file system) come
  // with the flush. Pipes and devices cannot be flushed and need not be.
  int err = fault.flush_err;
  if (err == 0) {
    int rc;
    do rc = ::fsync(c.fd);
    while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno != EINVAL && errno != EROFS) err = errno;
  }
  if (err != 0) fatal_io(unit, std::string("flush: ").append(std::strerror(err)));
  err = 0;
  // The descriptor is released even when close fails; an interrupted close
  // loses nothing once the flush has succeeded.
  if (c.owned && ::close(c.fd) != 0 && errno != EINTR) err = errno;
  if (err == 0) err = fault.close_err;
  const std::string name = c.name;
  c = Channel{};
  if (err != 0) {
    c.name = name;  // for the message; the unit is closed all the same
    fatal_io(unit, std::string("close: ").append(std::strerror(err)));
  }
}

void close_all() {
  for (int u = 0; u < kMaxUnit; ++u) {
    if (u == kErrorUnit || u == kConsoleIn || u == kConsoleOut) continue;
    close_unit(u);
  }
}

bool is_open(int unit) { return unit_ref(unit).open; }

InputCursor& input_cursor(int unit) { return unit_ref(unit).cursor; }

std::string unit_name(int unit) {
  std::string name = unit_ref(unit).name;
  name.resize(kNameLength, ' ');
  return name;
}

void put_text(int unit, std::string_view text) {
  Channel& c = unit_ref(unit);
  if (!c.open || c.input) return;
  const int err = write_all(c, g_faults[unit_index(unit)], text.data(), text.size());
  if (err != 0 && !is_console(unit)) fatal_io(unit, std::string("write: ").append(std::strerror(err)));
}

bool get_line(int unit, std::string& line) {
  Channel& c = unit_ref(unit);
  line.clear();
  if (!c.open || !c.input || c.in == nullptr) return false;
  // One lock for the whole line, not one per character.
  struct Locked {
    std::FILE* f;
    explicit Locked(std::FILE* file) : f(file) { ::flockfile(f); }
    ~Locked() { ::funlockfile(f); }
  } locked(c.in);
  int ch;
  bool any = false;
  while ((ch = getc_unlocked(c.in)) != EOF) {
    any = true;
    if (ch == '\n') break;
    // A file with no line ends at all (a device that never ends, a damaged
    // file) would otherwise grow the line until memory runs out.
    if (line.size() >= kMaxLine) fatal_io(unit, "list in: line too long (more than 64 MiB)");
    line.push_back(static_cast<char>(ch));
  }
  if (ch == EOF && std::ferror(c.in)) {
    int err = errno;
    std::clearerr(c.in);
    fatal_io(unit, std::string("list in: ").append(std::strerror(err)));
  }
  if (!any) return false;
  // A carriage return before the line end belongs to the line end, so files
  // saved with Windows line ends read as they do everywhere else.
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

void note_transfer(std::string_view layout, bool reading) {
  g_last_layout = layout;
  g_last_reading = reading;
}

[[noreturn]] void fatal_io(int unit, std::string_view first_line) {
  Channel& c = unit_ref(unit);
  std::string text(first_line);
  text += "\napparent state: unit ";
  text += std::to_string(unit);
  if (c.name.empty()) {
    text += " (unnamed)\n";
  } else {
    // A name read from a damaged file may hold control characters; they are
    // shown as '?' so that the diagnostics cannot upset the terminal.
    text += " named ";
    for (char ch : c.name) text.push_back((ch >= 0 && ch < ' ') || ch == 0x7f ? '?' : ch);
    text += "\n";
  }
  text += "last layout: ";
  text += g_last_layout;
  text += g_last_reading ? "\nlast transfer: reading\n" : "\nlast transfer: writing\n";
  throw RunEnd{2, text};
}

void attach_output_fd(int unit, int fd, std::string_view name) {
  close_unit(unit);
  unit_ref(unit) = Channel{true, false, fd, nullptr, false, std::string(name), {}};
}

void inject_output_fault(int unit, const OutputFault& fault) { g_faults[unit_index(unit)] = fault; }

void attach_input_file(int unit, std::string_view path) {
  close_unit(unit);
  std::FILE* f = std::fopen(std::string(path).c_str(), "r");
  if (f == nullptr) return;
  unit_ref(unit) = Channel{true, true, -1, f, true, std::string(path), {}};
}

}  // namespace morvenak
