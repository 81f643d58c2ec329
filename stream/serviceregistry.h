#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

class TNMGeneralServer;

/// What a listening component shares with its service threads; it outlives
/// the component while services still run. The lock is the client list's own
/// lock (taken after ServerLock when both are held).
struct ServiceRegistry
{
    std::mutex lock;
    std::vector<TNMGeneralServer *> clients;
    /// Services built and not yet fully ended.
    int running = 0;
    std::condition_variable ended;
    /// The listening component; null once it is gone.
    TNMGeneralServer *server = nullptr;
};
