// A server restart under a full room: N client sessions (the client's real
// core with its reconnector, no windows) in the chat room of a headless
// server, which is killed with SIGKILL and started again on the same port
// and key. Measures how long the room takes to fill again, against the first
// fill of the same run, and the delay of live public lines before the kill
// and after everybody is back (all sessions in this process, so one clock).
//
//   bench_restart SERVER_PROGRAM [CLIENTS [LINES]]     (default 100, 200)
//
// Run it through bench/restart.sh, which keeps it inside a network namespace
// of its own with only loopback. Exit status 1 when a session was refused,
// did not come back, or missed a line.

#include "client/chatsession.h"
#include "client/reconnector.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace {

constexpr int kPort = 5757;

qint64 nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Member
{
    std::unique_ptr<client::ChatSession> session;
    client::Reconnector *reconnector = nullptr;
    int nameRefusals = 0;
    int received = 0;
    QStringList lastLines;
};

class Bench
{
public:
    Bench(QString server, int clients, int lines) : m_server(std::move(server)), m_clients(clients), m_lines(lines) {}

    int run()
    {
        if (!m_dir.isValid())
            return fail("no temporary folder");
        qputenv("XDG_DATA_HOME", (m_dir.path() + "/data").toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_dir.path() + "/config").toUtf8());
        if (!startServer())
            return fail("the server does not listen");

        m_members.resize(m_clients);
        for (int i = 0; i < m_clients; ++i) {
            Member &m = m_members[i];
            m.session = std::make_unique<client::ChatSession>();
            m.reconnector = new client::Reconnector(*m.session, m.session.get());
            QObject::connect(m.session.get(), &client::ChatSession::connectionEnded, m.session.get(),
                             [&m](client::EndReason reason) {
                                 if (reason == client::EndReason::NameRefused)
                                     ++m.nameRefusals;
                             });
            QObject::connect(m.session.get(), &client::ChatSession::lineAdded, m.session.get(),
                             [this, &m](const QString &text, qint32) { lineAt(m, text); });
        }

        const qint64 firstStart = nowUs();
        // All members share one address here, where a LAN has one per host:
        // they arrive 10 ms apart, as people do, not in one burst that the
        // server's limit for connections without a join would meet.
        for (int i = 0; i < m_clients; ++i) {
            m_members[i].session->join("127.0.0.1", kPort, "u" + std::to_string(1000 + i));
            waitFor(10, [] { return false; });
        }
        if (!waitFull(30000))
            return fail("the room did not fill at the first join");
        const double firstFillMs = (nowUs() - firstStart) / 1000.0;
        const Latency before = sendLines();

        // The server dies without a word, and its successor takes the port.
        stopServer();
        const qint64 killedAt = nowUs();
        if (!startServer())
            return fail("the server does not listen after the restart");
        if (!waitFull(60000)) {
            describeMissing();
            return fail("the room did not fill again within 60 s");
        }
        const double refillMs = (nowUs() - killedAt) / 1000.0;
        const Latency after = sendLines();

        int refused = 0;
        for (const Member &m : m_members)
            refused += m.nameRefusals;
        std::printf("clients: %d, lines per phase: %d\n", m_clients, m_lines);
        std::printf("first fill:  %8.0f ms\n", firstFillMs);
        std::printf("after SIGKILL and restart, all back: %8.0f ms  (ratio to the first fill %.2f)\n", refillMs,
                    refillMs / firstFillMs);
        std::printf("live lines p50/p99 ms before the kill: %.2f / %.2f, lost %d\n", before.p50, before.p99,
                    before.lost);
        std::printf("live lines p50/p99 ms once back:       %.2f / %.2f, lost %d (ratio p99 %.2f)\n", after.p50,
                    after.p99, after.lost, before.p99 > 0 ? after.p99 / before.p99 : 0.0);
        std::printf("refused for a taken name: %d\n", refused);
        stopServer();
        return refused == 0 && before.lost == 0 && after.lost == 0 ? 0 : 1;
    }

private:
    struct Latency
    {
        double p50 = 0;
        double p99 = 0;
        int lost = 0;
    };

    // Who is not back, and what its session last said.
    void describeMissing()
    {
        for (const Member &m : m_members) {
            if (m.session->admitted() && int(m.session->listedUsers().size()) == m_clients)
                continue;
            std::fprintf(stderr, "%s: admitted %d, listed %zu, retrying %d, tries %d, refused %d, last: %s\n",
                         m.session->userName().c_str(), int(m.session->admitted()), m.session->listedUsers().size(),
                         int(m.reconnector->retrying()), m.reconnector->attempts(), m.nameRefusals,
                         m.lastLines.join(QStringLiteral(" | ")).toUtf8().constData());
        }
    }

    int fail(const char *why)
    {
        std::fprintf(stderr, "bench_restart: %s\n", why);
        if (m_process) {
            std::fprintf(stderr, "%s\n", m_process->readAllStandardOutput().right(4000).constData());
            stopServer();
        }
        return 1;
    }

    void stopServer()
    {
        m_process->kill();
        m_process->waitForFinished(5000);
    }

    bool startServer()
    {
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->start(m_server, {QStringLiteral("--headless"), QStringLiteral("--port"), QString::number(kPort),
                                    QStringLiteral("--key"), m_dir.path() + QStringLiteral("/server.key"),
                                    // Every session comes from 127.0.0.1.
                                    QStringLiteral("--users-per-address"), QStringLiteral("0")});
        if (!m_process->waitForStarted(5000))
            return false;
        for (int i = 0; i < 200; ++i) {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), kPort);
            if (probe.waitForConnected(100))
                return true;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(20);
        }
        return false;
    }

    bool full() const
    {
        return std::all_of(m_members.begin(), m_members.end(), [this](const Member &m) {
            return m.session->admitted() && int(m.session->listedUsers().size()) == m_clients;
        });
    }

    bool waitFor(int ms, const std::function<bool()> &done)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > ms)
                return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        }
        return true;
    }

    bool waitFull(int ms) { return waitFor(ms, [this] { return full(); }); }

    void lineAt(Member &m, const QString &text)
    {
        m.lastLines << text;
        while (m.lastLines.size() > 6)
            m.lastLines.removeFirst();
        // "uNNNN: mark SEQ"; replayed or context lines carry a prefix and do not count.
        const int at = text.indexOf(QStringLiteral(": mark "));
        if (at < 0 || text.startsWith(QLatin1Char('[')))
            return;
        const int seq = text.mid(at + 7).toInt();
        const auto sent = m_sentAt.find(seq);
        if (sent == m_sentAt.end())
            return;
        ++m.received;
        m_delays.push_back((nowUs() - sent->second) / 1000.0);
    }

    // Four members speak in turn, a line every 20 ms (each reaches every
    // member in this one thread, so a faster pace would measure this
    // process, not the server); every member must get each line once.
    Latency sendLines()
    {
        m_delays.clear();
        for (Member &m : m_members)
            m.received = 0;
        for (int i = 0; i < m_lines; ++i) {
            const int seq = m_nextSeq++;
            m_sentAt[seq] = nowUs();
            m_members[i % 4].session->sendLine("mark " + std::to_string(seq));
            waitFor(20, [] { return false; });
        }
        waitFor(10000, [this] {
            return std::all_of(m_members.begin(), m_members.end(),
                               [this](const Member &m) { return m.received >= m_lines; });
        });
        Latency result;
        for (const Member &m : m_members)
            result.lost += std::max(0, m_lines - m.received);
        if (!m_delays.empty()) {
            std::sort(m_delays.begin(), m_delays.end());
            result.p50 = m_delays[m_delays.size() / 2];
            result.p99 = m_delays[std::min(m_delays.size() - 1, m_delays.size() * 99 / 100)];
        }
        return result;
    }

    QString m_server;
    int m_clients;
    int m_lines;
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    std::vector<Member> m_members;
    std::map<int, qint64> m_sentAt;
    std::vector<double> m_delays;
    int m_nextSeq = 1;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_restart SERVER_PROGRAM [CLIENTS [LINES]]\n");
        return 2;
    }
    Bench bench(QString::fromLocal8Bit(argv[1]), argc > 2 ? std::atoi(argv[2]) : 100,
                argc > 3 ? std::atoi(argv[3]) : 200);
    return bench.run();
}
