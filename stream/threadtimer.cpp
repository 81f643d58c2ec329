#include "stream/threadtimer.h"

#include "platform/exception.h"
#include "platform/guard.h"

#include <QTimerEvent>

#include <algorithm>
#include <cstdint>

TThreadTimer::TThreadTimer(QObject *owner) : QObject(owner) {}

TThreadTimer::~TThreadTimer()
{
    m_enabled = false;
    try {
        UpdateTimer();
    } catch (...) {
        kc::logException("Zeitgeber beenden", std::current_exception());
    }
}

void TThreadTimer::setEnabled(bool value)
{
    if (value != m_enabled) {
        m_enabled = value;
        UpdateTimer();
    }
}

void TThreadTimer::setInterval(unsigned value)
{
    if (value != m_interval) {
        m_interval = value;
        UpdateTimer();
    }
}

void TThreadTimer::setOnTimer(TNotifyEvent handler)
{
    m_onTimer = std::move(handler);
    UpdateTimer();
}

void TThreadTimer::Timer()
{
    if (m_onTimer)
        m_onTimer(this);
}

void TThreadTimer::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timerId) {
        QObject::timerEvent(event);
        return;
    }
    kc::guarded([this] { Timer(); });
}

void TThreadTimer::UpdateTimer()
{
    if (m_timerId != 0) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
    if (m_interval != 0 && m_enabled && m_onTimer) {
        m_timerId = startTimer(static_cast<int>(std::min<unsigned>(m_interval, INT32_MAX)), Qt::PreciseTimer);
        if (m_timerId == 0)
            throw kc::Exception("Kein Zeitgeber");
    }
}
