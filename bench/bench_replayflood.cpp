// Memory of a running server under a replay flood: joiners that ask for the
// whole history and never read what they get. Talks only to 127.0.0.1.
//
//   bench_replayflood PORT PID [--joiners N] [--tls] [--rcvbuf BYTES] [--more LINES] [--after-ms MS]
//
// A first member fills the history with lines of about 500 bytes until the
// server holds as much as it keeps, and learns the run. Then N joiners offer
// "frame,history" ("frame,tls,history" with --tls) with "seen=RUN.1", so that
// each gets the whole replay, and never read again (a receive buffer of
// BYTES, 4096 by default, so that the kernel holds little of it for them).
// The member then says LINES more (200 by default), which go to the joiners
// too; past the few megabytes the kernel holds for each, they queue in the
// server. The
// server's VmRSS and VmHWM (from /proc/PID/status) are printed after each
// phase, after the joiners closed, and MS milliseconds later (default 35000,
// past the server's periodic trim). The server's log says which joiners it
// closed ("liest nicht mehr").

#include "net/tls.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "bench_replayflood: %s\n", what.c_str());
    std::exit(2);
}

std::string memory(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line, rss, hwm;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            rss = line.substr(6);
        else if (line.rfind("VmHWM:", 0) == 0)
            hwm = line.substr(6);
    }
    auto trim = [](std::string s) { return s.erase(0, s.find_first_not_of(" \t")); };
    return "VmRSS " + trim(rss) + ", VmHWM " + trim(hwm);
}

int connectTo(uint16_t port, int rcvbuf)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        die("socket");
    if (rcvbuf > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        die(std::string("connect: ") + std::strerror(errno));
    return fd;
}

void sendAll(int fd, const std::string &bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            die(std::string("send: ") + std::strerror(errno));
        done += size_t(n);
    }
}

// Reads until `text` has arrived (false after ten seconds).
bool readUntil(int fd, std::string &in, const std::string &text)
{
    char buffer[65536];
    for (int waited = 0; in.find(text) == std::string::npos; waited += 10) {
        pollfd p{fd, POLLIN, 0};
        if (waited > 10000)
            return false;
        if (::poll(&p, 1, 10) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        in.append(buffer, size_t(n));
    }
    return true;
}

std::string frame(const std::string &payload)
{
    return std::to_string(payload.size()) + ":" + payload + ",";
}

void drain(int fd)
{
    char buffer[65536];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 0) > 0 && ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        die("usage: bench_replayflood PORT PID [--joiners N] [--tls] [--rcvbuf BYTES] [--more LINES] [--after-ms MS]");
    const uint16_t port = uint16_t(std::atoi(argv[1]));
    const int pid = std::atoi(argv[2]);
    int joiners = 90, rcvbuf = 4096, afterMs = 35000, more = 200;
    bool tls = false;
    for (int i = 3; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--tls")
            tls = true;
        else if (opt == "--joiners" && i + 1 < argc)
            joiners = std::atoi(argv[++i]);
        else if (opt == "--rcvbuf" && i + 1 < argc)
            rcvbuf = std::atoi(argv[++i]);
        else if (opt == "--more" && i + 1 < argc)
            more = std::atoi(argv[++i]);
        else if (opt == "--after-ms" && i + 1 < argc)
            afterMs = std::atoi(argv[++i]);
        else
            die("unknown option " + opt);
    }
    std::printf("start: %s\n", memory(pid).c_str());

    const int member = connectTo(port, 0);
    std::string in;
    sendAll(member, "$#neu:fueller:0:127.0.0.1#kcx:frame,history");
    if (!readUntil(member, in, "$#hist:"))
        die("no history mark for the member: " + in.substr(0, 200));
    const size_t mark = in.find("$#hist:") + 7;
    const std::string run = in.substr(mark, in.find(':', mark) - mark);
    const std::string text(480, 'x');
    auto say = [&](int count, int from) {
        for (int i = 0; i < count; ++i) {
            sendAll(member, frame("$#user:fueller:0#" + std::to_string(from + i) + " " + text));
            drain(member);
        }
    };
    say(1200, 0);
    in.clear();
    sendAll(member, frame("$#user:fueller:0#ende"));
    if (!readUntil(member, in, "ende"))
        die("the member's lines did not come back");
    std::printf("history filled (run %s): %s\n", run.c_str(), memory(pid).c_str());

    std::vector<int> fds;
    std::vector<std::unique_ptr<kc::tls::Session>> sessions;
    const std::string offer = tls ? "kcx:frame,tls,history,seen=" : "kcx:frame,history,seen=";
    for (int i = 0; i < joiners; ++i) {
        const int fd = connectTo(port, rcvbuf);
        fds.push_back(fd);
        sendAll(fd, "$#neu:flut" + std::to_string(i) + ":0:127.0.0.1#" + offer + run + ".1");
        if (tls) {
            std::string ack;
            if (!readUntil(fd, ack, "#"))
                die("no acknowledgement");
            auto session = std::make_unique<kc::tls::Session>(kc::tls::Role::Client, fd);
            for (kc::tls::Io io; (io = session->handshake()) != kc::tls::Io::Done;) {
                if (io != kc::tls::Io::WantRead && io != kc::tls::Io::WantWrite)
                    break; // closed by the server already
                pollfd p{fd, short(io == kc::tls::Io::WantWrite ? POLLOUT : POLLIN), 0};
                ::poll(&p, 1, 1000);
            }
            sessions.push_back(std::move(session));
        }
        drain(member);
        if ((i + 1) % 10 == 0)
            std::printf("%d joiners: %s\n", i + 1, memory(pid).c_str());
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("all joined: %s\n", memory(pid).c_str());
    for (int said = 0; said < more; said += 200) {
        say(200, 2000 + said);
        std::printf("%d more lines: %s\n", said + 200, memory(pid).c_str());
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("settled: %s\n", memory(pid).c_str());
    sessions.clear();
    for (int fd : fds) {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf("joiners gone: %s\n", memory(pid).c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    drain(member);
    std::printf("%d ms later: %s\n", afterMs, memory(pid).c_str());
    ::close(member);
    return 0;
}
