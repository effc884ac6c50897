#include "runtime/console_logger.h"

#include <cstdio>
#include <ctime>
#include <exception>

namespace {

void WriteToStdout(const std::string& text) {
  std::puts(text.c_str());
  std::fflush(stdout);
}

}  // namespace

std::string LogTimePrefix() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[16];
  const size_t length = std::strftime(buffer, sizeof buffer, "%H:%M:%S ", &local);
  return std::string(buffer, length);
}

ConsoleLogger::ConsoleLogger() : ConsoleLogger(WriteToStdout) {}

ConsoleLogger::ConsoleLogger(Writer writer) : writer_(std::move(writer)) {}

ConsoleLogger::~ConsoleLogger() { StopPrinter(); }

void ConsoleLogger::StopPrinter() {
  // New lines go straight out again; only the caller that clears the flag joins the printer.
  if (!started_.exchange(false, std::memory_order_acq_rel)) return;
  {
    std::lock_guard lock(mutex_);
    running_.store(false, std::memory_order_release);
  }
  wake_.notify_all();
  if (printer_.joinable()) printer_.join();
}

void ConsoleLogger::Write(const std::string& text) { writer_(text); }

void ConsoleLogger::LogLine(const std::string& text) {
  std::string line = LogTimePrefix();
  line += text;
  if (started_.load(std::memory_order_acquire)) {
    std::unique_lock lock(mutex_);
    // Checked under the lock: once the printer is told to stop nothing more is queued, so its
    // final drain cannot miss a line.
    if (running_.load(std::memory_order_relaxed)) {
      while (queue_.size() > kQueueLimit) {
        queue_.pop_front();
        ++skipped_;
      }
      queue_.push_back(std::move(line));
      lock.unlock();
      wake_.notify_one();
      return;
    }
  }
  Write(line);
}

void ConsoleLogger::VLogF(const char* format, va_list args) {
  char buffer[kFormatBufferSize];
  std::vsnprintf(buffer, sizeof buffer, format, args);  // longer output is cut
  LogLine(buffer);
}

void ConsoleLogger::LogF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VLogF(format, args);
  va_end(args);
}

void ConsoleLogger::PrintLine(const std::string& text) {
  const PrintLineGate gate = gate_.load(std::memory_order_acquire);
  if (gate != nullptr && gate()) {
    LogLine(text);
  } else {
    Write(text);
  }
}

void ConsoleLogger::StartPrinter() {
  std::lock_guard lock(mutex_);
  if (running_.load(std::memory_order_relaxed) || started_.load(std::memory_order_relaxed)) return;
  skipped_ = 0;
  queue_.clear();
  running_.store(true, std::memory_order_relaxed);
  printer_ = std::thread(&ConsoleLogger::PrinterThreadMain, this);
  started_.store(true, std::memory_order_release);
}

void ConsoleLogger::PrinterThreadMain() {
  try {
    std::unique_lock lock(mutex_);
    for (;;) {
      // The predicate keeps a wake-up sent while the printer was busy writing from being lost.
      wake_.wait(lock,
                 [this] { return !queue_.empty() || !running_.load(std::memory_order_relaxed); });
      while (!queue_.empty()) {
        std::string text = std::move(queue_.front());
        queue_.pop_front();
        if (skipped_ != 0) {
          text = "(skipped " + std::to_string(skipped_) + " messages)\n" + text;
          skipped_ = 0;
        }
        lock.unlock();
        Write(text);
        lock.lock();
      }
      // Lines still queued at the stop were printed above: a failed run's last ERROR line
      // reaches the console.
      if (!running_.load(std::memory_order_relaxed)) return;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "exception in stdout thread: %s\n", error.what());
    throw;
  }
}

ConsoleLogger& ConsoleLoggerInstance() {
  static ConsoleLogger logger;
  return logger;
}

void LogLine(const std::string& text) { ConsoleLoggerInstance().LogLine(text); }

void LogF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ConsoleLoggerInstance().VLogF(format, args);
  va_end(args);
}

void PrintLine(const std::string& text) { ConsoleLoggerInstance().PrintLine(text); }
