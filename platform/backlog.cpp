#include "platform/backlog.h"

#include <sys/socket.h>

#include <fstream>

namespace kc {

int listenBacklog()
{
    static const int backlog = [] {
        std::ifstream file("/proc/sys/net/core/somaxconn");
        int value = 0;
        if (file >> value && value > 0)
            return value;
        return SOMAXCONN;
    }();
    return backlog;
}

} // namespace kc
