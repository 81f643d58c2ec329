#pragma once

#include <QObject>

#include <functional>

/// A notify event: Sender is the component that raises it.
using TNotifyEvent = std::function<void(QObject *Sender)>;

/// A periodic timer for the stream transport's time-outs. It ticks on the
/// thread the object lives on, while that thread processes its events.
/// Setting Enabled or Interval to a different value, and setting OnTimer at
/// all, re-arms it; setting the same value again does not restart the count.
class TThreadTimer : public QObject
{
    Q_OBJECT
public:
    explicit TThreadTimer(QObject *owner = nullptr);
    ~TThreadTimer() override;

    /// True after construction.
    bool Enabled() const { return m_enabled; }
    void setEnabled(bool value);
    /// Milliseconds between ticks; 1000 after construction; 0 never ticks.
    unsigned Interval() const { return m_interval; }
    void setInterval(unsigned value);
    const TNotifyEvent &OnTimer() const { return m_onTimer; }
    void setOnTimer(TNotifyEvent handler);

protected:
    /// Runs on each tick: raises OnTimer (Sender = the timer). An exception
    /// from the handler goes to the program's error box.
    virtual void Timer();
    void timerEvent(QTimerEvent *event) override;

private:
    /// Throws kc::Exception "Kein Zeitgeber" when no timer can be set.
    void UpdateTimer();

    bool m_enabled = true;
    unsigned m_interval = 1000;
    TNotifyEvent m_onTimer;
    int m_timerId = 0;
};
