#include "app/delegated_passwords.h"

#include <unistd.h>

#include <cstdlib>

#include "app/terminal_echo.h"

namespace {

// One line without its newline; empty at the end of input.
std::string ReadAnswer(FILE* in) {
  char* line = nullptr;
  size_t capacity = 0;
  const ssize_t length = getline(&line, &capacity, in);
  std::string answer;
  if (length > 0) answer.assign(line, static_cast<size_t>(length));
  std::free(line);
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  return answer;
}

std::string Ask(const std::string& prompt, FILE* in, FILE* out) {
  std::fputs(prompt.c_str(), out);
  std::fflush(out);
  std::string answer = ReadAnswer(in);
  std::fputs("\n", out);
  std::fflush(out);
  return answer;
}

// Echo is back on however the prompt ends.
class EchoOffWhileTyping {
 public:
  explicit EchoOffWhileTyping(FILE* in)
      // Not a terminal (a pipe or a file): there is no echo to switch off.
      : off_(fileno(in) == STDIN_FILENO && SwitchTerminalEchoOff()) {}
  ~EchoOffWhileTyping() {
    if (off_) RestoreTerminalEcho();
  }
  EchoOffWhileTyping(const EchoOffWhileTyping&) = delete;
  EchoOffWhileTyping& operator=(const EchoOffWhileTyping&) = delete;

 private:
  const bool off_;
};

}  // namespace

bool PromptDelegatedPasswords(const std::vector<std::string>& given, uint32_t count, FILE* in,
                              FILE* out, FILE* err,
                              const std::function<void(const char* password)>& deriveKey) {
  for (uint32_t i = 0; i < count; ++i) {
    if (i < given.size()) {
      deriveKey(given[i].c_str());
      continue;
    }
    EchoOffWhileTyping echo(in);
    std::string number;
    if (count != 1) number.append(" ").append(std::to_string(i + 1));
    const std::string password = Ask("Enter password" + number + ": ", in, out);
    const std::string retyped = Ask("Retype password" + number + ": ", in, out);
    if (password != retyped) {
      std::fputs("ERROR: Password mismatch\n", err);
      std::fflush(err);
      return false;
    }
    deriveKey(password.c_str());
  }
  return true;
}
