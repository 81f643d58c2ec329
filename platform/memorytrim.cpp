#include "platform/memorytrim.h"

#include <QTimer>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kc {

void trimFreedMemory()
{
#if defined(__GLIBC__)
    // 0: keep no pad at the top; also releases free whole pages inside the
    // heap and the threads' arenas, not only the top.
    ::malloc_trim(0);
#endif
}

void trimFreedMemoryEvery(QObject *owner, std::chrono::milliseconds interval)
{
#if defined(__GLIBC__)
    auto *timer = new QTimer(owner);
    timer->setTimerType(Qt::VeryCoarseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, [] { trimFreedMemory(); });
    timer->start(interval);
#else
    (void)owner;
    (void)interval;
#endif
}

} // namespace kc
