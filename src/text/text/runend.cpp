// Stops, the pause, and the handlers of interrupt and termination signals.
#include "text/runend.hpp"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "text/channels.hpp"

namespace morvenak {

[[noreturn]] void stop(std::string_view message, int status) {
  std::string text;
  if (!message.empty()) text = "STOP " + std::string(message) + " statement executed\n";
  throw RunEnd{status, text};
}

void pause(std::string_view message) {
  put_text(kErrorUnit, "PAUSE  " + std::string(message) + " statement executed\n");
  std::string answer;
  bool got = false;
  if (::isatty(0)) {
    put_text(kErrorUnit, "To resume execution, type go.  Other input will terminate the job.\n");
    got = get_line(kConsoleIn, answer);
  } else {
    std::FILE* tty = std::fopen("/dev/tty", "r");
    if (tty == nullptr) throw RunEnd{1, "No terminal to answer the pause; the run ends.\n"};
    put_text(kErrorUnit, "To resume execution, type go.  Other input will terminate the job.\n");
    int ch;
    while ((ch = std::fgetc(tty)) != EOF && ch != '\n') answer.push_back(static_cast<char>(ch));
    got = ch == '\n';
    std::fclose(tty);
  }
  if (got && answer == "go") {
    put_text(kErrorUnit, "Execution resumes after PAUSE.\n");
    return;
  }
  throw RunEnd{1, "STOP\n"};
}

namespace {

// Every record is already with the operating system, so a signal only needs to
// say what happened and leave; _exit closes every file.
extern "C" void on_signal(int sig) {
  const char* text = sig == SIGINT ? "Interrupt\n" : sig == SIGTERM ? "Killed\n" : "Floating Exception\n";
  std::size_t len = 0;
  while (text[len] != '\0') ++len;
  ssize_t ignored = ::write(2, text, len);
  (void)ignored;
  ::_exit(sig == SIGFPE ? 3 : 1);
}

}  // namespace

void install_signal_handlers() {
  struct sigaction old {};
  struct sigaction act {};
  act.sa_handler = on_signal;
  sigemptyset(&act.sa_mask);
  if (::sigaction(SIGINT, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) ::sigaction(SIGINT, &act, nullptr);
  ::sigaction(SIGTERM, &act, nullptr);
  ::sigaction(SIGFPE, &act, nullptr);
}

}  // namespace morvenak
