// Posts one large stream message over loopback from TNMStrm to TNMStrmServ
// and copies the same bytes over a plain TCP socket pair; prints both rates,
// their ratio and the process's peak memory.
//
//   bench_stream [MiB]      (default 1024)

#include "benchsupport.h"
#include "stream/nmstrm.h"
#include "stream/nmstrmserv.h"
#include "stream/spoolstream.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QIODevice>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t chunk = 65536;

// The same bytes for both runs, made on the fly: no 1 GiB buffer on the sending side.
void fill(char *data, qint64 at, qint64 count)
{
    for (qint64 i = 0; i < count; ++i)
        data[i] = static_cast<char>(((at + i) * 131) >> 3);
}

class PatternDevice : public QIODevice
{
public:
    explicit PatternDevice(qint64 size) : m_size(size) { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    qint64 size() const override { return m_size; }
    bool isSequential() const override { return false; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 count = std::min(maxSize, m_size - pos());
        if (count <= 0)
            return 0;
        fill(data, pos(), count);
        return count;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    qint64 m_size;
};

uint64_t checksum(const char *data, size_t count, uint64_t sum)
{
    for (size_t i = 0; i < count; ++i)
        sum = sum * 31 + static_cast<unsigned char>(data[i]);
    return sum;
}

using bench::rate;
using bench::statusKiB;

// Plain TCP over loopback: blocking send and receive in chunks of 64 KiB.
qint64 plainCopy(qint64 size)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(listener, 1);
    socklen_t length = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &length);

    std::atomic<qint64> received{0};
    std::thread receiver([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        std::vector<char> buffer(chunk);
        for (;;) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            received += n;
        }
        ::close(fd);
    });

    QElapsedTimer clock;
    clock.start();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    std::vector<char> buffer(chunk);
    for (qint64 at = 0; at < size;) {
        const qint64 count = std::min<qint64>(chunk, size - at);
        fill(buffer.data(), at, count);
        qint64 done = 0;
        while (done < count) {
            const ssize_t n = ::send(fd, buffer.data() + done, static_cast<size_t>(count - done), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            done += n;
        }
        at += count;
    }
    ::shutdown(fd, SHUT_WR);
    receiver.join();
    const qint64 ms = clock.elapsed();
    ::close(fd);
    ::close(listener);
    if (received != size)
        std::fprintf(stderr, "plain copy lost bytes: %lld of %lld\n", static_cast<long long>(received.load()),
                     static_cast<long long>(size));
    return ms;
}

struct StreamResult
{
    qint64 ms = 0;
    qint64 delivered = -1;
    uint64_t sum = 0;
    qint64 memoryInUse = -1;
    bool spooled = false;
};

StreamResult streamPost(qint64 size)
{
    StreamResult result;
    std::atomic<bool> done{false};
    TNMStrmServ receiver;
    receiver.setPort(0);
    {
        // A port nobody uses right now.
        const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t length = sizeof a;
        ::getsockname(probe, reinterpret_cast<sockaddr *>(&a), &length);
        receiver.setPort(ntohs(a.sin_port));
        ::close(probe);
    }
    receiver.setOnMSG([&](QObject *, const std::string &, QIODevice *strm) {
        if (auto *spool = qobject_cast<TSpoolStream *>(strm)) {
            result.spooled = spool->isSpooled();
            result.memoryInUse = spool->memoryInUse();
        }
        std::vector<char> buffer(chunk);
        uint64_t sum = 0;
        qint64 total = 0;
        for (;;) {
            const qint64 n = strm->read(buffer.data(), chunk);
            if (n <= 0)
                break;
            sum = checksum(buffer.data(), static_cast<size_t>(n), sum);
            total += n;
        }
        result.sum = sum;
        result.delivered = total;
        done = true;
    });
    receiver.Loaded();

    TNMStrm sender;
    sender.setHost("127.0.0.1");
    sender.setPort(receiver.Port());
    sender.setFromName("bench");
    PatternDevice source(size);
    QElapsedTimer clock;
    clock.start();
    const std::string ack = sender.PostStream(&source);
    result.ms = clock.elapsed();
    if (ack != "OK              ")
        std::fprintf(stderr, "unexpected acknowledgement '%s'\n", ack.c_str());
    while (!done)
        QThread::msleep(10);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1024;
    const qint64 size = mib * 1024 * 1024;
    std::printf("stream of %lld MiB over 127.0.0.1, chunks of 64 KiB\n", static_cast<long long>(mib));
    std::printf("peak memory before: %ld KiB\n", statusKiB("VmHWM:"));

    uint64_t expectedSum = 0;
    {
        std::vector<char> buffer(chunk);
        for (qint64 at = 0; at < size; at += chunk) {
            const qint64 count = std::min<qint64>(chunk, size - at);
            fill(buffer.data(), at, count);
            expectedSum = checksum(buffer.data(), static_cast<size_t>(count), expectedSum);
        }
    }

    qint64 bestPlain = 0;
    qint64 bestStream = 0;
    for (int round = 1; round <= 2; ++round) {
        const qint64 plainMs = plainCopy(size);
        const StreamResult stream = streamPost(size);
        std::printf("round %d: plain %lld ms (%.0f MiB/s), stream %lld ms (%.0f MiB/s)%s%s\n", round,
                    static_cast<long long>(plainMs), rate(size, plainMs), static_cast<long long>(stream.ms),
                    rate(size, stream.ms), stream.delivered == size ? "" : ", SIZE MISMATCH",
                    stream.sum == expectedSum ? "" : ", CHECKSUM MISMATCH");
        std::printf("         receiver held %lld bytes in memory, rest spooled: %s\n",
                    static_cast<long long>(stream.memoryInUse), stream.spooled ? "yes" : "no");
        bestPlain = bestPlain == 0 ? plainMs : std::min(bestPlain, plainMs);
        bestStream = bestStream == 0 ? stream.ms : std::min(bestStream, stream.ms);
    }
    std::printf("best plain copy:   %.0f MiB/s\n", rate(size, bestPlain));
    std::printf("best stream post:  %.0f MiB/s\n", rate(size, bestStream));
    std::printf("ratio stream/plain: %.2f\n", bestStream > 0 ? double(bestPlain) / double(bestStream) : 0.0);
    std::printf("peak memory after: %ld KiB (VmHWM of the whole process)\n", statusKiB("VmHWM:"));
    return 0;
}
