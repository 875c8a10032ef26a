#pragma once

#include <string>
#include <string_view>

#include "platform/Log.h"

namespace vantrel {

// The program's unified-log subsystem and its six categories. Message formats are fixed
// texts that take at most one argument: "%{public}s" for a text, "%f" for a number.
inline constexpr std::string_view kLogSubsystem = "com.corvane.vantrel";

using platform::LogLevel;

class LogCategory {
  public:
    explicit constexpr LogCategory(std::string_view name) : name_(name) {}
    std::string_view name() const { return name_; }

    void log(LogLevel level, std::string_view format) const;
    void log(LogLevel level, std::string_view format, std::string_view argument) const;
    void log(LogLevel level, std::string_view format, double argument) const;

    void debug(std::string_view format) const { log(LogLevel::Debug, format); }
    void debug(std::string_view format, std::string_view argument) const {
        log(LogLevel::Debug, format, argument);
    }
    void debug(std::string_view format, double argument) const {
        log(LogLevel::Debug, format, argument);
    }
    void notice(std::string_view format) const { log(LogLevel::Default, format); }
    void notice(std::string_view format, std::string_view argument) const {
        log(LogLevel::Default, format, argument);
    }
    void error(std::string_view format) const { log(LogLevel::Error, format); }
    void error(std::string_view format, std::string_view argument) const {
        log(LogLevel::Error, format, argument);
    }

  private:
    std::string_view name_;
};

// `number` as "%f" writes it in the C locale: six decimals after a point, in every locale.
// Every number the program logs goes through here.
std::string decimalText(double number);

// Where every category writes: the Mac's unified log. The entry point sets it before the
// first message; messages before that, or after it is cleared with null, are dropped.
void useLogSink(platform::LogSink* sink);
// Stops writing to `sink` if it is the one in use, before it goes away.
void forgetLogSink(platform::LogSink* sink);

const LogCategory& mainLog();
const LogCategory& networkingLog();
const LogCategory& installerLog();
const LogCategory& startosinstallLog();
const LogCategory& argumentsLog();
const LogCategory& cachingLog();

}  // namespace vantrel
