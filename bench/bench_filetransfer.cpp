// A file from disk to disk through the client window: the window accepts an
// offer, offers its own file, gets the acceptance and sends the file to its
// own receiver, which saves it under the name the (scripted) save dialog
// gives. Compared with a plain copy of the same file over one TCP connection
// into a file in the same folder, in the same run, round by round (5 rounds,
// medians reported). Wall time and CPU time (user + system) are reported per
// GiB, for each side: the sending thread, the receiving thread, and the
// window's thread (which serves both). While the window works, a timer on its
// thread measures how late events are handled.
//
//   bench_filetransfer [MiB] [target folder] [quiet|tls|tls-pairs]   (default 1024, ./bench-files)
//
// "quiet" leaves out the sender's progress handling (line and bar), to tell
// its share of the cost.
//
// "tls" then sends the file three times more in plain text and three times
// encrypted, in turn (the acceptance names the receiver's key, as it does
// between our own programs over an encrypted chat connection), and prints
// the medians of wall and CPU time per GiB of both, and their ratios.
// "tls-pairs" does only that, without the rounds against the plain copy.
//
// A target folder on another file system than the spool folder (which
// follows the folder files were last saved in) makes the receiver copy.

#include "benchsupport.h"
#include "app/windows.h"
#include "client/clientform.h"
#include "client/filetransfer.h"
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
#include <dirent.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t chunk = 65536;

// CPU seconds (user + system) of one thread or process.
double seconds(const rusage &u)
{
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double threadCpu()
{
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return seconds(u);
}

double processCpu()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return seconds(u);
}

// CPU seconds of the threads of this process, by role, from /proc: the
// window's thread, the stream sender's thread ("QThread") and the stream
// receiver's service thread ("InstantiateServ..."). Threads end with their
// transfer, so the figures are sampled while they run and the last sample
// counts (the sampling interval bounds what is missed).
struct ThreadCpu
{
    double window = 0, sender = 0, receiver = 0;
};

class ThreadSampler
{
public:
    void reset() { m_last.clear(); }
    void sample()
    {
        const long tick = ::sysconf(_SC_CLK_TCK);
        DIR *tasks = ::opendir("/proc/self/task");
        if (!tasks)
            return;
        while (const dirent *entry = ::readdir(tasks)) {
            if (entry->d_name[0] == '.')
                continue;
            const std::string base = std::string("/proc/self/task/") + entry->d_name;
            std::ifstream comm(base + "/comm"), stat(base + "/stat");
            std::string name, line;
            std::getline(comm, name);
            std::getline(stat, line);
            const size_t close = line.rfind(')');
            if (close == std::string::npos)
                continue;
            // Fields after the name: state is field 3; utime and stime are 14 and 15.
            std::istringstream rest(line.substr(close + 2));
            std::string field;
            double utime = 0, stime = 0;
            for (int i = 3; i <= 15 && rest >> field; ++i) {
                if (i == 14)
                    utime = std::stod(field);
                else if (i == 15)
                    stime = std::stod(field);
            }
            const long tid = std::atol(entry->d_name);
            m_last[tid] = {name, (utime + stime) / double(tick)};
        }
        ::closedir(tasks);
    }
    ThreadCpu byRole(const std::map<long, double> &before) const
    {
        ThreadCpu cpu;
        const long self = ::getpid();
        for (const auto &[tid, seen] : m_last) {
            const auto earlier = before.find(tid);
            const double used = seen.second - (earlier == before.end() ? 0.0 : earlier->second);
            if (tid == self)
                cpu.window += used;
            else if (seen.first.rfind("Instantiate", 0) == 0)
                cpu.receiver += used;
            else if (seen.first == "QThread")
                cpu.sender += used;
        }
        return cpu;
    }
    std::map<long, double> snapshot() const
    {
        std::map<long, double> values;
        for (const auto &[tid, seen] : m_last)
            values[tid] = seen.second;
        return values;
    }

private:
    std::map<long, std::pair<std::string, double>> m_last;
};

template <class T>
T median(std::vector<T> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

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

// Runs the event loop until `done` holds, looking every 5 ms. The loop waits
// for events in between: a busy loop here would be charged to the window's
// thread.
template <class F>
void until(F done)
{
    if (done())
        return;
    QEventLoop loop;
    QTimer look;
    look.setInterval(5);
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    look.start();
    loop.exec();
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

struct PlainRun
{
    qint64 ms = 0;
    double senderCpu = 0, receiverCpu = 0;
};

// The source file over one TCP connection into a file; ms until the file is closed.
PlainRun plainCopy(const QString &source, const QString &target)
{
    PlainRun run;
    uint16_t port = 0;
    const int listener = listenLoopback(port);
    QElapsedTimer clock;
    clock.start();
    const double senderStart = threadCpu();
    std::thread receiver([&] {
        const double start = threadCpu();
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
        run.receiverCpu = threadCpu() - start;
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
    run.senderCpu = threadCpu() - senderStart;
    receiver.join();
    run.ms = clock.elapsed();
    ::close(fd);
    ::close(in);
    ::close(listener);
    return run;
}

struct WindowRun
{
    qint64 ms = 0;
    qint64 worstLateMs = 0;
    qint64 lateOver50 = 0;
    ThreadCpu cpu;
    double processCpu = 0;
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
            if (++m_ticks % 4 == 0 && sampler)
                sampler->sample();
        });
    }
    ThreadSampler *sampler = nullptr;
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
    qint64 m_ticks = 0;
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
        clientForm->session()->setServerPort(chatPort);
        m_dialogs.answerInput(true, QStringLiteral("127.0.0.1"));
        m_dialogs.answerInput(true, QStringLiteral("anna"));
        clientForm->connectBitBtnClick();
        until([this] { return readable(m_listener); });
        m_peer = ::accept(m_listener, nullptr, nullptr);
        receiveCommand(m_peer); // the announce
        sendCommand(m_peer, "$#neu:anna:127.0.0.1:bob:127.0.0.1#");
        until([] { return clientForm->session()->admitted(); });

        const uint16_t streamPort = freePort();
        clientForm->session()->fileTransfer().streamReceiver()->setPort(streamPort);
        clientForm->session()->fileTransfer().streamReceiver()->Loaded();
        clientForm->session()->fileTransfer().streamSender()->setPort(streamPort);
    }

    WindowRun send(const QString &source, const QString &targetBase, qint64 size, LatencyProbe &probe,
                   bool encrypted = false)
    {
        // bob offers a file and anna accepts: a stream from 127.0.0.1 is expected.
        m_dialogs.answerMessage(kc::mbOk);
        sendCommand(m_peer, "$#file:bob:127.0.0.1:C:\\bench.bin#");
        receiveCommand(m_peer);
        clientForm->session()->offerFile("bob", source);
        receiveCommand(m_peer);
        m_dialogs.answerSave(targetBase);
        const QString target = targetBase + QStringLiteral(".bin");
        QFile::remove(target);

        WindowRun run;
        ThreadSampler sampler;
        sampler.sample();
        const std::map<long, double> before = sampler.snapshot();
        probe.sampler = &sampler;
        const double cpuStart = processCpu();
        probe.start();
        QElapsedTimer clock;
        clock.start();
        // The acceptance names the file as it was offered: its name, not its path.
        sendCommand(m_peer, "$#fileangenommen:bob:127.0.0.1:" + QFile::encodeName(QFileInfo(source).fileName()).toStdString() + "#"
                                + (encrypted ? chat::streamKeyText(kc::tls::localFingerprint()) : std::string()));
        until([&] { return QFileInfo(target).size() == size; });
        run.ms = clock.elapsed();
        // The sender's last events and the receiver's last line.
        until([] { return !clientForm->session()->fileTransfer().streamSender()->Posting(); });
        probe.stop();
        sampler.sample();
        probe.sampler = nullptr;
        run.processCpu = processCpu() - cpuStart;
        run.cpu = sampler.byRole(before);
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
    const double gib = double(size) / double(1 << 30);
    const QString folder = QDir(QString::fromLocal8Bit(argc > 2 ? argv[2] : "bench-files")).absolutePath();
    QDir().mkpath(folder);
    const QString source = folder + QStringLiteral("/quelle.bin");
    makeSource(source, size);
    constexpr int rounds = 5;

    Bench bench;
    const bool pairsOnly = argc > 3 && std::strcmp(argv[3], "tls-pairs") == 0;
    const bool tls = pairsOnly || (argc > 3 && std::strcmp(argv[3], "tls") == 0);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each row as it is measured
    if (argc > 3 && std::strcmp(argv[3], "quiet") == 0) {
        clientForm->session()->fileTransfer().streamSender()->OnPacketSent = [](QObject *) {};
        std::printf("without the sender's progress handling\n");
    }
    LatencyProbe probe;
    // A first small file, so that the spool follows the folder files are saved in.
    makeSource(folder + QStringLiteral("/klein.bin"), 1 << 20);
    bench.send(folder + QStringLiteral("/klein.bin"), folder + QStringLiteral("/klein-empfangen"), 1 << 20, probe);
    QFile::remove(folder + QStringLiteral("/klein.bin"));
    QFile::remove(folder + QStringLiteral("/klein-empfangen.bin"));
    const long baseHWM = statusKiB("VmHWM:");

    std::printf("file of %lld MiB, file to file over 127.0.0.1, into %s; %d rounds, each the plain copy "
                "then the window\n",
                static_cast<long long>(mib), qPrintable(folder), rounds);
    std::printf("%-6s %10s %10s %10s %10s | %10s %10s %10s %10s %10s %7s %7s\n", "round", "plain ms", "p-send s",
                "p-recv s", "", "window ms", "w-send s", "w-recv s", "w-ui s", "w-all s", "ratio", "late ms");
    std::vector<double> plainWall, plainSend, plainRecv, winWall, winSend, winRecv, winUi, winAll, ratios;
    std::vector<qint64> worstLate;
    for (int round = 1; round <= rounds && !pairsOnly; ++round) {
        const PlainRun plain = plainCopy(source, folder + QStringLiteral("/kopie.bin"));
        QFile::remove(folder + QStringLiteral("/kopie.bin"));
        const WindowRun run = bench.send(source, folder + QStringLiteral("/empfangen"), size, probe);
        QFile::remove(folder + QStringLiteral("/empfangen.bin"));
        const double ratio = run.ms > 0 ? double(plain.ms) / double(run.ms) : 0.0;
        std::printf("%-6d %10lld %10.3f %10.3f %10s | %10lld %10.3f %10.3f %10.3f %10.3f %7.2f %7lld\n", round,
                    static_cast<long long>(plain.ms), plain.senderCpu, plain.receiverCpu, "",
                    static_cast<long long>(run.ms), run.cpu.sender, run.cpu.receiver, run.cpu.window,
                    run.processCpu, ratio, static_cast<long long>(run.worstLateMs));
        plainWall.push_back(plain.ms / 1000.0 / gib);
        plainSend.push_back(plain.senderCpu / gib);
        plainRecv.push_back(plain.receiverCpu / gib);
        winWall.push_back(run.ms / 1000.0 / gib);
        winSend.push_back(run.cpu.sender / gib);
        winRecv.push_back(run.cpu.receiver / gib);
        winUi.push_back(run.cpu.window / gib);
        winAll.push_back(run.processCpu / gib);
        ratios.push_back(ratio);
        worstLate.push_back(run.worstLateMs);
    }
    if (!pairsOnly) {
    std::printf("\nmedians of %d, per GiB:\n", rounds);
    std::printf("  plain copy:    wall %.2f s; CPU sender %.3f s, receiver %.3f s, both %.3f s\n", median(plainWall),
                median(plainSend), median(plainRecv), median(plainSend) + median(plainRecv));
    std::printf("  client window: wall %.2f s; CPU sender thread %.3f s, receiver thread %.3f s, window thread "
                "%.3f s, whole process %.3f s\n",
                median(winWall), median(winSend), median(winRecv), median(winUi), median(winAll));
    std::printf("  ratio plain/window (wall, per round): median %.2f (1.00: as fast as the plain copy)\n",
                median(ratios));
    std::printf("  ratio CPU plain/window (both sides): %.2f\n",
                (median(plainSend) + median(plainRecv)) / median(winAll));
    std::printf("  UI event latency during a transfer: median of the worst %lld ms\n",
                static_cast<long long>(median(worstLate)));
    }
    if (tls) {
        // Plain and encrypted in turn, so that a drifting machine favours neither.
        constexpr int pairs = 3;
        std::vector<double> pWall, pCpu, sWall, sCpu, pSend, pRecv, sSend, sRecv;
        std::printf("\n%-6s %12s %12s %9s %9s | %12s %12s %9s %9s   (through the window, per GiB)\n", "pair",
                    "plain s", "plain CPU s", "send", "receive", "TLS s", "TLS CPU s", "send", "receive");
        for (int pair = 1; pair <= pairs; ++pair) {
            const WindowRun plain = bench.send(source, folder + QStringLiteral("/empfangen"), size, probe);
            QFile::remove(folder + QStringLiteral("/empfangen.bin"));
            const WindowRun secure = bench.send(source, folder + QStringLiteral("/empfangen"), size, probe, true);
            QFile::remove(folder + QStringLiteral("/empfangen.bin"));
            pWall.push_back(plain.ms / 1000.0 / gib);
            pCpu.push_back(plain.processCpu / gib);
            sWall.push_back(secure.ms / 1000.0 / gib);
            sCpu.push_back(secure.processCpu / gib);
            pSend.push_back(plain.cpu.sender / gib);
            pRecv.push_back(plain.cpu.receiver / gib);
            sSend.push_back(secure.cpu.sender / gib);
            sRecv.push_back(secure.cpu.receiver / gib);
            std::printf("%-6d %12.3f %12.3f %9.3f %9.3f | %12.3f %12.3f %9.3f %9.3f\n", pair, pWall.back(),
                        pCpu.back(), pSend.back(), pRecv.back(), sWall.back(), sCpu.back(), sSend.back(),
                        sRecv.back());
        }
        std::printf("medians of %d: plain %.3f s and %.3f CPU s per GiB, TLS %.3f s and %.3f CPU s per GiB\n", pairs,
                    median(pWall), median(pCpu), median(sWall), median(sCpu));
        std::printf("  of which the sender thread %.3f and %.3f, the receiver thread %.3f and %.3f CPU s per GiB\n",
                    median(pSend), median(sSend), median(pRecv), median(sRecv));
        std::printf("ratio encrypted/plain window: wall %.2f, CPU %.2f (1.00: encryption costs nothing)\n",
                    median(pWall) / median(sWall), median(pCpu) / median(sCpu));
    }
    std::printf("peak memory: %ld KiB before the large file, %ld KiB after (VmHWM, sender and receiver in one "
                "process)\n",
                baseHWM, statusKiB("VmHWM:"));
    QFile::remove(source);
    return 0;
}
