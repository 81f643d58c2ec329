#pragma once

#include <QtGlobal>

#include <cstring>
#include <fstream>
#include <string>

namespace bench {

/// A "VmHWM:"-style field of /proc/self/status in KiB; -1 when absent.
inline long statusKiB(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::strlen(field)));
    }
    return -1;
}

/// MiB per second.
inline double rate(qint64 bytes, qint64 ms)
{
    return ms > 0 ? bytes / 1048576.0 / (ms / 1000.0) : 0;
}

} // namespace bench
