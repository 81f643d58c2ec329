#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace kc {

/// Turns SIGTERM and SIGINT into a call on the event loop's thread, where the
/// program can stop cleanly (the handler itself only writes to a pipe).
/// One instance per process.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    explicit TerminationSignals(std::function<void(int signal)> handler, QObject *parent = nullptr);
    ~TerminationSignals() override;

private:
    std::function<void(int)> m_handler;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace kc
