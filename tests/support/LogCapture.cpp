#include "LogCapture.h"

namespace ombrix::testing {

LogCapture::LogCapture()
    : previousLevel(Logger::getLevel())
{
    previousSink = Logger::setSink([this](LogLevel level, const std::string& line) { record(level, line); });
    Logger::setLevel(LogLevel::Trace);
}

LogCapture::~LogCapture()
{
    Logger::setLevel(previousLevel);
    Logger::setSink(std::move(previousSink));
}

void LogCapture::record(LogLevel level, const std::string& line)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        recorded.push_back(Entry{level, line});
    }
    changed.notify_all();
}

std::vector<LogCapture::Entry> LogCapture::entries() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
}

std::vector<std::string> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> result;
    result.reserve(recorded.size());
    for (const Entry& entry : recorded) {
        result.push_back(entry.line);
    }
    return result;
}

std::vector<std::string> LogCapture::linesAt(LogLevel level) const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> result;
    for (const Entry& entry : recorded) {
        if (entry.level == level) {
            result.push_back(entry.line);
        }
    }
    return result;
}

bool LogCapture::contains(const std::string& substring) const
{
    return indexOf(substring) >= 0;
}

std::size_t LogCapture::count(const std::string& substring) const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::size_t n = 0;
    for (const Entry& entry : recorded) {
        if (entry.line.find(substring) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

long LogCapture::indexOf(const std::string& substring, std::size_t from) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return indexOfLocked(substring, from);
}

long LogCapture::indexOfLocked(const std::string& substring, std::size_t from) const
{
    for (std::size_t i = from; i < recorded.size(); ++i) {
        if (recorded[i].line.find(substring) != std::string::npos) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

bool LogCapture::waitFor(const std::string& substring, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return indexOfLocked(substring, 0) >= 0; });
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    recorded.clear();
}

} // namespace ombrix::testing
