#include "Progress.h"

#include <unistd.h>

#include <string>

namespace ombrix::tools {

namespace {

Progress::Clock::duration secondsToDuration(double seconds)
{
    return std::chrono::duration_cast<Progress::Clock::duration>(std::chrono::duration<double>(seconds));
}

} // namespace

Progress::Progress(std::FILE* stream, bool show)
    : out(stream)
    , enabled(show && stream != nullptr)
    , terminal(stream != nullptr && isatty(fileno(stream)) == 1)
    , interval(secondsToDuration(terminal ? kTerminalIntervalSeconds : kLineIntervalSeconds))
    // The first report waits a full line interval in both cases: short work shows none.
    , nextReport(Clock::now() + secondsToDuration(kLineIntervalSeconds))
{
}

Progress::~Progress()
{
    finish();
}

void Progress::report(const std::string& line)
{
    if (!enabled) {
        return;
    }
    if (terminal) {
        // Pad over the rest of a longer previous line.
        std::string shown = line;
        if (shown.size() < shownLength) {
            shown.append(shownLength - shown.size(), ' ');
        }
        std::fprintf(out, "\r%s", shown.c_str());
        shownLength = line.size();
        lineOpen = true;
    } else {
        std::fprintf(out, "%s\n", line.c_str());
    }
    std::fflush(out);
    nextReport = Clock::now() + interval;
}

void Progress::finish()
{
    if (lineOpen) {
        std::fputc('\n', out);
        std::fflush(out);
        lineOpen = false;
        shownLength = 0;
    }
}

} // namespace ombrix::tools
