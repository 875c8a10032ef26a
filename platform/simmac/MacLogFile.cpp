#include "platform/simmac/MacLogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/PrintableText.h"

namespace vantrel::simmac {

using platform::LogLevel;

namespace {

const char* levelName(LogLevel level) {
    switch (level) {
        case LogLevel::Debug:
            return "Debug";
        case LogLevel::Default:
            return "Default";
        case LogLevel::Error:
            return "Error";
    }
    return "Default";
}

int openLog(const platform::MacRoot& root) {
    const auto path = root.host("/private/var/log/vantrel.log");
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
}

std::string timestamp(std::chrono::system_clock::time_point now) {
    using namespace std::chrono;
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto micros = duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    char full[48];
    std::snprintf(full, sizeof full, "%s.%06lld", text, static_cast<long long>(micros));
    return full;
}

}  // namespace

MacLogFile::~MacLogFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void MacLogFile::write(std::string_view subsystem, std::string_view category, LogLevel level,
                       std::string_view message) {
    int logFd;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (fd_ < 0) {
            fd_ = openLog(root_);
        }
        logFd = fd_;
    }
    if (logFd < 0) {
        return;
    }
    std::string line = timestamp(clock_.now());
    line += ' ';
    line += subsystem;
    line += " [";
    line += category;
    line += "] <";
    line += levelName(level);
    line += "> ";
    line += platform::printableKeepingBackslashes(message);
    line += '\n';
    (void)!::write(logFd, line.data(), line.size());
}

}  // namespace vantrel::simmac
