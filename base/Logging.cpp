#include "base/Logging.h"

#include <atomic>
#include <charconv>
#include <string>

namespace vantrel {

namespace {

std::string substitute(std::string_view format, std::string_view marker, std::string_view value) {
    std::string out(format);
    if (const auto at = out.find(marker); at != std::string::npos) {
        out.replace(at, marker.size(), value);
    }
    return out;
}

std::atomic<platform::LogSink*> logSink{nullptr};

void writeLog(std::string_view category, LogLevel level, std::string_view message) {
    if (platform::LogSink* sink = logSink.load(std::memory_order_acquire)) {
        sink->write(kLogSubsystem, category, level, message);
    }
}

}  // namespace

void useLogSink(platform::LogSink* sink) {
    logSink.store(sink, std::memory_order_release);
}

void forgetLogSink(platform::LogSink* sink) {
    logSink.compare_exchange_strong(sink, nullptr, std::memory_order_acq_rel);
}

void LogCategory::log(LogLevel level, std::string_view format) const {
    writeLog(name_, level, format);
}

void LogCategory::log(LogLevel level, std::string_view format, std::string_view argument) const {
    writeLog(name_, level, substitute(format, "%{public}s", argument));
}

std::string decimalText(double number) {
    // The "%f" layout (six decimals) with a decimal point, whatever locale the toolkit took
    // from the caller's environment: printf would write "45,500000" under a German locale.
    char text[400];  // the largest double has 309 integer digits
    const auto [end, error] =
        std::to_chars(text, text + sizeof text, number, std::chars_format::fixed, 6);
    return error == std::errc() ? std::string(text, end) : std::string("nan");
}

void LogCategory::log(LogLevel level, std::string_view format, double argument) const {
    writeLog(name_, level, substitute(format, "%f", decimalText(argument)));
}

// Each category's log object is made on first use and kept for the life of the process.
const LogCategory& mainLog() {
    static const LogCategory category("main");
    return category;
}
const LogCategory& networkingLog() {
    static const LogCategory category("networking");
    return category;
}
const LogCategory& installerLog() {
    static const LogCategory category("installer");
    return category;
}
const LogCategory& startosinstallLog() {
    static const LogCategory category("startosinstall");
    return category;
}
const LogCategory& argumentsLog() {
    static const LogCategory category("arguments");
    return category;
}
const LogCategory& cachingLog() {
    static const LogCategory category("caching");
    return category;
}

}  // namespace vantrel
