#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Every console line of the program. Lines carry the local time as "%H:%M:%S ". Until
// StartPrinter runs (and again once the logger is stopped) the caller prints its line itself;
// while the printer thread runs, lines wait in a bounded queue so no caller waits for the
// terminal, and the oldest are dropped when the terminal falls behind.
class ConsoleLogger {
 public:
  // Writes one line; the line's newline is the writer's to add.
  using Writer = std::function<void(const std::string& text)>;
  // Whether PrintLine lines get the time prefix (the Client exists and has ended its start-up
  // scan); without a gate they never do.
  using PrintLineGate = bool (*)();

  static constexpr size_t kQueueLimit = 16384;  // lines kept before a new one is queued
  static constexpr size_t kFormatBufferSize = 4096;

  ConsoleLogger();  // writes to standard output
  explicit ConsoleLogger(Writer writer);
  ~ConsoleLogger();  // stops the printer after it has printed every queued line

  ConsoleLogger(const ConsoleLogger&) = delete;
  ConsoleLogger& operator=(const ConsoleLogger&) = delete;

  void LogLine(const std::string& text);
  void LogF(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void VLogF(const char* format, va_list args);
  void PrintLine(const std::string& text);

  // Starts the printer thread; later calls do nothing.
  void StartPrinter();
  // Prints what is queued and ends the printer thread; later lines are printed directly.
  void StopPrinter();
  bool PrinterStarted() const { return started_.load(std::memory_order_acquire); }

  void SetPrintLineGate(PrintLineGate gate) { gate_.store(gate, std::memory_order_release); }

 private:
  void PrinterThreadMain();
  void Write(const std::string& text);

  const Writer writer_;
  std::atomic<PrintLineGate> gate_{nullptr};

  uint32_t skipped_ = 0;           // lines dropped since the printer last printed
  std::deque<std::string> queue_;  // oldest first
  std::atomic<bool> running_{false};
  std::mutex mutex_;  // guards skipped_, queue_ and changes of running_
  std::condition_variable wake_;
  std::thread printer_;
  std::atomic<bool> started_{false};  // clear: callers print directly
};

// The process-wide logger (built by the start-up code, see app/process_objects.h).
ConsoleLogger& ConsoleLoggerInstance();

// The local time as "%H:%M:%S " (nine characters).
std::string LogTimePrefix();

void LogLine(const std::string& text);
void LogF(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The log callback handed to the Client: time-prefixed through LogLine once the Client has
// finished its start-up scan, printed bare before that.
void PrintLine(const std::string& text);
