#include "WavOutput.h"

#include "ToolCommon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace ombrix::tools {

namespace {

[[noreturn]] void cannotWrite(const std::string& path, int error)
{
    throw ToolError(kExitRuntime, "cannot write " + path + ": " + systemReason(error));
}

} // namespace

void checkWritable(const std::string& path)
{
    if (path == kStandardStreamName) {
        return;
    }
    struct stat status { };
    if (stat(path.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            cannotWrite(path, EISDIR);
        }
        if (access(path.c_str(), W_OK) != 0) {
            cannotWrite(path, errno);
        }
        return;
    }
    // Not there yet: creating it is the only complete test (directory missing, not
    // writable, read-only file system, ...). The probe goes again at once.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        cannotWrite(path, errno);
    }
    close(fd);
    unlink(path.c_str());
}

void openWavOutput(ombrix::WavWriter& writer, const std::string& path, int sampleRate, unsigned channels,
    ombrix::WavWriter::Format format)
{
    errno = 0;
    const bool opened = path == kStandardStreamName ? writer.open(stdout, sampleRate, channels, format)
                                                    : writer.open(path, sampleRate, channels, format);
    if (!opened) {
        cannotWrite(path, errno != 0 ? errno : EIO);
    }
}

} // namespace ombrix::tools
