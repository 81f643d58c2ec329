// A file from disk to disk through the client window: the window accepts an
// offer, offers its own file, gets the acceptance and sends the file to its
// own receiver, which saves it under the name the (scripted) save dialog
// gives. Compared with a plain copy of the same file over one TCP connection
// into a file in the same folder, in the same run. While the window works, a
// timer on its thread measures how late events are handled.
//
//   bench_filetransfer [MiB] [target folder] [bar|tls]   (default 1024, ./bench-files)
//
// "bar" keeps the sender's progress bar but leaves out its progress line per
// send, to tell the chat view's share of the cost.
//
// "tls" sends the file a second time, encrypted (the acceptance names the
// receiver's key, as it does between our own programs over an encrypted
// chat connection), and then a third time in plain text; it prints the
// encrypted run against the mean of the plain runs before and after it, so
// that a machine whose load drifts during the run favours neither.
//
// A target folder on another file system than the spool folder (which
// follows the folder files were last saved in) makes the receiver copy.

#include "benchsupport.h"
#include "app/windows.h"
#include "client/clientform.h"
#include "net/tls.h"
#include "platform/dialogs.h"
#include "protocol/streamkey.h"
#include "protocol/clientsocket.h"
#include "stream/nmstrm.h"
#include "stream/nmstrmserv.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t chunk = 65536;

using bench::rate;
using bench::statusKiB;

sockaddr_in loopbackAddress(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

int listenLoopback(uint16_t &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopbackAddress(0);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(fd, 4);
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
    port = ntohs(a.sin_port);
    return fd;
}

uint16_t freePort()
{
    uint16_t port = 0;
    ::close(listenLoopback(port));
    return port;
}

// Runs the event loop until `done` holds.
template <class F>
void until(F done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

std::string receiveCommand(int fd)
{
    until([fd] { return readable(fd); });
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

void sendCommand(int fd, const std::string &command)
{
    ::send(fd, command.data(), command.size(), MSG_NOSIGNAL);
}

void makeSource(const QString &path, qint64 size)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    std::vector<char> buffer(1 << 20);
    for (qint64 at = 0; at < size; at += static_cast<qint64>(buffer.size())) {
        for (size_t i = 0; i < buffer.size(); ++i)
            buffer[i] = static_cast<char>(((at + static_cast<qint64>(i)) * 131) >> 3);
        file.write(buffer.data(), std::min<qint64>(static_cast<qint64>(buffer.size()), size - at));
    }
}

// The source file over one TCP connection into a file; ms until the file is closed.
qint64 plainCopy(const QString &source, const QString &target)
{
    uint16_t port = 0;
    const int listener = listenLoopback(port);
    QElapsedTimer clock;
    clock.start();
    std::thread receiver([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        const int out = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<char> buffer(chunk);
        for (;;) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0 || ::write(out, buffer.data(), static_cast<size_t>(n)) != n)
                break;
        }
        ::close(out);
        ::close(fd);
    });
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopbackAddress(port);
    ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    std::vector<char> buffer(chunk);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n <= 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t sent = ::send(fd, buffer.data() + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
            if (sent <= 0)
                break;
            done += sent;
        }
    }
    ::shutdown(fd, SHUT_WR);
    receiver.join();
    const qint64 ms = clock.elapsed();
    ::close(fd);
    ::close(in);
    ::close(listener);
    return ms;
}

struct WindowRun
{
    qint64 ms = 0;
    qint64 worstLateMs = 0;
    qint64 lateOver50 = 0;
};

// Measures how late a 5 ms timer on the window's thread fires.
class LatencyProbe
{
public:
    LatencyProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 late = m_clock.restart() - 5;
            m_worst = std::max(m_worst, late);
            m_over50 += late > 50;
        });
    }
    void start()
    {
        m_worst = 0;
        m_over50 = 0;
        m_clock.start();
        m_timer.start();
    }
    void stop() { m_timer.stop(); }
    qint64 worst() const { return m_worst; }
    qint64 over50() const { return m_over50; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_worst = 0;
    qint64 m_over50 = 0;
};

class Bench
{
public:
    Bench()
    {
        kc::setDialogService(&m_dialogs);
        kc::createWindows();
        clientForm->show();
        uint16_t chatPort = 0;
        m_listener = listenLoopback(chatPort);
        clientForm->serverPort = chatPort;
        m_dialogs.answerInput(true, QStringLiteral("127.0.0.1"));
        m_dialogs.answerInput(true, QStringLiteral("anna"));
        clientForm->connectBitBtnClick();
        until([this] { return readable(m_listener); });
        m_peer = ::accept(m_listener, nullptr, nullptr);
        receiveCommand(m_peer); // the announce
        sendCommand(m_peer, "$#neu:anna:127.0.0.1:bob:127.0.0.1#");
        until([] { return clientForm->angemeldet; });

        const uint16_t streamPort = freePort();
        clientForm->NMStrmServ->setPort(streamPort);
        clientForm->NMStrmServ->Loaded();
        clientForm->NMStrm->setPort(streamPort);
    }

    WindowRun send(const QString &source, const QString &targetBase, qint64 size, LatencyProbe &probe,
                   bool encrypted = false)
    {
        // bob offers a file and anna accepts: a stream from 127.0.0.1 is expected.
        m_dialogs.answerMessage(kc::mbOk);
        sendCommand(m_peer, "$#file:bob:127.0.0.1:C:\\bench.bin#");
        receiveCommand(m_peer);
        clientForm->sendTargetName = "bob";
        clientForm->sendFileOffer(source);
        receiveCommand(m_peer);
        m_dialogs.answerSave(targetBase);
        const QString target = targetBase + QStringLiteral(".bin");
        QFile::remove(target);

        WindowRun run;
        probe.start();
        QElapsedTimer clock;
        clock.start();
        sendCommand(m_peer, "$#fileangenommen:bob:127.0.0.1:" + QFile::encodeName(source).toStdString() + "#"
                                + (encrypted ? chat::streamKeyText(kc::tls::localFingerprint()) : std::string()));
        until([&] { return QFileInfo(target).size() == size; });
        run.ms = clock.elapsed();
        // The sender's last events and the receiver's last line.
        until([] { return !clientForm->NMStrm->Posting(); });
        probe.stop();
        run.worstLateMs = probe.worst();
        run.lateOver50 = probe.over50();
        return run;
    }

private:
    kc::ScriptedDialogService m_dialogs;
    int m_listener = -1;
    int m_peer = -1;
};

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const qint64 mib = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1024;
    const qint64 size = mib * 1024 * 1024;
    const QString folder = QDir(QString::fromLocal8Bit(argc > 2 ? argv[2] : "bench-files")).absolutePath();
    QDir().mkpath(folder);
    const QString source = folder + QStringLiteral("/quelle.bin");
    makeSource(source, size);

    Bench bench;
    const bool tls = argc > 3 && std::strcmp(argv[3], "tls") == 0;
    if (argc > 3 && std::strcmp(argv[3], "bar") == 0) {
        clientForm->NMStrm->OnPacketSent = [](QObject *) {
            clientForm->ProgressBar1->setMaximum(clientForm->NMStrm->BytesTotal());
            clientForm->ProgressBar1->setValue(clientForm->NMStrm->BytesSent());
        };
        std::printf("without the progress lines in the chat view\n");
    }
    LatencyProbe probe;
    // A first small file, so that the spool follows the folder files are saved in.
    makeSource(folder + QStringLiteral("/klein.bin"), 1 << 20);
    bench.send(folder + QStringLiteral("/klein.bin"), folder + QStringLiteral("/klein-empfangen"), 1 << 20, probe);
    QFile::remove(folder + QStringLiteral("/klein.bin"));
    QFile::remove(folder + QStringLiteral("/klein-empfangen.bin"));
    const long baseHWM = statusKiB("VmHWM:");

    std::printf("file of %lld MiB, file to file over 127.0.0.1, into %s\n", static_cast<long long>(mib),
                qPrintable(folder));
    const qint64 plainMs = plainCopy(source, folder + QStringLiteral("/kopie.bin"));
    QFile::remove(folder + QStringLiteral("/kopie.bin"));
    // The same probe with nothing to do, as long as the plain copy took: what
    // this machine's load alone costs.
    probe.start();
    QElapsedTimer idle;
    idle.start();
    until([&] { return idle.elapsed() >= std::max<qint64>(plainMs, 1000); });
    probe.stop();
    const qint64 idleWorst = probe.worst();
    const WindowRun run = bench.send(source, folder + QStringLiteral("/empfangen"), size, probe);
    std::printf("plain copy (file, TCP, file): %lld ms (%.0f MiB/s)\n", static_cast<long long>(plainMs),
                rate(size, plainMs));
    std::printf("client window (file to file): %lld ms (%.0f MiB/s)\n", static_cast<long long>(run.ms),
                rate(size, run.ms));
    std::printf("ratio window/plain: %.2f\n", run.ms > 0 ? double(plainMs) / double(run.ms) : 0.0);
    std::printf("UI event latency during the transfer and save: worst %lld ms, %lld ticks later than 50 ms\n",
                static_cast<long long>(run.worstLateMs), static_cast<long long>(run.lateOver50));
    std::printf("UI event latency with nothing to do, same run: worst %lld ms\n", static_cast<long long>(idleWorst));
    if (tls) {
        QFile::remove(folder + QStringLiteral("/empfangen.bin"));
        const WindowRun secure = bench.send(source, folder + QStringLiteral("/empfangen"), size, probe, true);
        QFile::remove(folder + QStringLiteral("/empfangen.bin"));
        const WindowRun again = bench.send(source, folder + QStringLiteral("/empfangen"), size, probe);
        std::printf("client window inside TLS (file to file): %lld ms (%.0f MiB/s)\n",
                    static_cast<long long>(secure.ms), rate(size, secure.ms));
        std::printf("client window in plain text again: %lld ms (%.0f MiB/s)\n", static_cast<long long>(again.ms),
                    rate(size, again.ms));
        const double plainMean = (double(run.ms) + double(again.ms)) / 2;
        std::printf("ratio encrypted/plain window: %.2f (speed against the mean of both plain runs; goal at least 0.8)\n",
                    secure.ms > 0 ? plainMean / double(secure.ms) : 0.0);
        std::printf("UI event latency during the encrypted transfer: worst %lld ms, %lld ticks later than 50 ms\n",
                    static_cast<long long>(secure.worstLateMs), static_cast<long long>(secure.lateOver50));
    }
    std::printf("peak memory: %ld KiB before the large file, %ld KiB after (VmHWM, sender and receiver in one "
                "process)\n",
                baseHWM, statusKiB("VmHWM:"));
    QFile::remove(folder + QStringLiteral("/empfangen.bin"));
    QFile::remove(source);
    return 0;
}
