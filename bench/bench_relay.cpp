// Load generator for the chat server's relay, measured against an IRC server
// under the same load. Run by bench/relay.sh, which starts both servers inside
// a private network namespace; this program only talks to 127.0.0.1.
//
//   bench_relay --ours PORT:PID --irc PORT:PID [--seconds S] [--fill N] [--runs R] [--in-flight K]
//   bench_relay --ours PORT:PID --profile-lines L [--members M] [--fill N] [--mode framed|tls]
//       (a fixed load on our server alone, e.g. under callgrind)
//   bench_relay [--ours PORT:PID] --irc-ours PORT:PID --profile-rate R --mode irc-ours [--members M]
//       (a paced load of IRC members on our server alone, e.g. under perf)
//   bench_relay --ours PORT:PID --tls-only [--seconds S] [--runs R]
//       (framed members against encrypted framed members, nothing else)
//   bench_relay --irc-ours PORT:PID [--irc-channel NAME] --irc PORT:PID [--ours PORT:PID] ...
//       (IRC members on both sides: our server's IRC port, whose members are
//       all in its public channel, "#chat" unless told, against ngircd; with
//       --ours, our server's views are filled first through its own wire)
//
// Our server is measured three times: with legacy members (one command per
// write, no framing), with members that speak the framed extension as the
// README describes it (a join marked "kcx:frame", then netstring frames both
// ways), and with members that also encrypt ("kcx:frame,tls": after the
// acknowledgement a TLS 1.3 handshake, the frames inside it). Every cell of
// the table is the median of R runs (default 3).
//
// Every line carries its sender, a sequence number and its send time. A sender
// keeps one line in flight (K with --in-flight K): it sends the next once the
// member after it has received the previous one (IRC does not echo a line to
// its author, so the author's own copy cannot be the signal for both servers).

#include "net/tls.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "bench_relay: %s\n", what.c_str());
    std::exit(2);
}

enum class Proto { Ours, OursFramed, OursTls, Irc };

// length ":" payload "," (the framed extension's frame).
std::string frame(const std::string &payload)
{
    return std::to_string(payload.size()) + ":" + payload + ",";
}

struct Server
{
    Proto proto;
    int port = 0;
    int pid = 0;
    const char *label;
    // IRC: the channel every member joins and speaks in.
    std::string channel = "#bench";
};

struct Member
{
    int fd = -1;
    std::string name;
    std::string in;
    // Per sender: the highest sequence number seen so far.
    std::vector<int64_t> lastSeen;
    int64_t sent = 0;      // lines sent by this member
    bool inFlight = false;
    int64_t nextSendNs = 0;
    // Encrypted members: the session on fd (blocking socket; the session
    // never waits, the helpers below poll).
    std::unique_ptr<kc::tls::Session> tls;
};

struct Stats
{
    int64_t linesSent = 0;
    int64_t delivered = 0;
    int64_t reordered = 0;
    int64_t serverMerged = 0;   // a relayed line carrying a second command in its text
    int64_t clientReads = 0;    // reads that completed at least one command
    int64_t clientMerged = 0;   // reads that completed two commands or more
    int64_t foreign = 0;        // pieces that are neither lines nor lists
    int64_t split = 0;          // frames that do not parse
    std::vector<int64_t> latencyNs;
};

double cpuSeconds(int pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = all.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    // Fields from the state (3rd) on; utime and stime are the 14th and 15th.
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

long rssKiB(int pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

double ownCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int connectLoopback(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        die("connect to 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void sendAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            die(std::string("send: ") + std::strerror(errno));
        done += size_t(n);
    }
}

void waitFd(int fd, kc::tls::Io io)
{
    pollfd p{fd, short(io == kc::tls::Io::WantWrite ? POLLOUT : POLLIN), 0};
    ::poll(&p, 1, 1000);
}

// All of `bytes`, through the member's session when it has one.
void sendTo(Member &m, const std::string &bytes)
{
    if (!m.tls)
        return sendAll(m.fd, bytes);
    size_t done = 0;
    while (done < bytes.size()) {
        const kc::tls::Result r = m.tls->write(bytes.data() + done, bytes.size() - done);
        if (r.io == kc::tls::Io::Done)
            done += r.bytes;
        else if (r.io == kc::tls::Io::WantRead || r.io == kc::tls::Io::WantWrite)
            waitFd(m.fd, r.io);
        else
            die("TLS send: " + m.tls->error());
    }
}

// What one receive brings (decrypted for encrypted members): false when the
// socket was readable but held no whole record yet.
bool receiveInto(Member &m)
{
    char buffer[65536];
    if (!m.tls) {
        const ssize_t n = ::recv(m.fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            die("server closed member " + m.name);
        m.in.append(buffer, size_t(n));
        return true;
    }
    bool got = false;
    for (;;) {
        const kc::tls::Result r = m.tls->read(buffer, sizeof buffer);
        if (r.io == kc::tls::Io::Done) {
            m.in.append(buffer, r.bytes);
            got = true;
            continue;
        }
        if (r.io == kc::tls::Io::WantRead || r.io == kc::tls::Io::WantWrite)
            return got;
        die("server closed member " + m.name + (r.io == kc::tls::Io::Failed ? ": " + m.tls->error() : ""));
    }
}

// Reads what is there (blocking up to `ms` for the first byte).
bool readSome(Member &m, int ms)
{
    pollfd p{m.fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
        return false;
    receiveInto(m);
    return true;
}

void waitForText(Member &m, const std::string &needle, int timeoutMs = 10000)
{
    const int64_t end = nowNs() + int64_t(timeoutMs) * 1000000;
    while (m.in.find(needle) == std::string::npos) {
        if (nowNs() > end)
            die("time-out waiting for \"" + needle + "\" as " + m.name);
        readSome(m, 100);
        // Answer the IRC server's keep-alive while waiting.
        const size_t ping = m.in.find("PING ");
        if (ping != std::string::npos && (ping == 0 || m.in[ping - 1] == '\n')) {
            const size_t end = m.in.find("\r\n", ping);
            if (end != std::string::npos) {
                sendTo(m, "PONG " + m.in.substr(ping + 5, end - ping - 5) + "\r\n");
                m.in.erase(ping, end + 2 - ping);
            }
        }
    }
}

std::string lineText(int sender, int64_t seq)
{
    char text[96];
    std::snprintf(text, sizeof text, "s=%d n=%" PRId64 " t=%" PRId64 "|", sender, seq, nowNs());
    return text;
}

std::string lineCommand(const Server &server, const Member &m, const std::string &text)
{
    if (server.proto == Proto::Ours)
        return "$#user:" + m.name + ":0#" + text;
    if (server.proto == Proto::OursFramed || server.proto == Proto::OursTls)
        return frame("$#user:" + m.name + ":0#" + text);
    return "PRIVMSG " + server.channel + " :" + text + "\r\n";
}

class Phase
{
public:
    Phase(const Server &server, int members, const std::string &tag) : m_server(server)
    {
        for (int i = 0; i < members; ++i) {
            Member m;
            m.name = tag + std::to_string(i);
            m.fd = connectLoopback(server.port);
            m.lastSeen.assign(size_t(members), -1);
            if (server.proto == Proto::Ours) {
                sendAll(m.fd, "$#neu:" + m.name + ":0:127.0.0.1#");
                waitForText(m, ":" + m.name + ":127.0.0.1");
            } else if (server.proto == Proto::OursFramed) {
                // Nothing more is sent until the acknowledgement is in.
                sendAll(m.fd, "$#neu:" + m.name + ":0:127.0.0.1#kcx:frame");
                waitForText(m, ":" + m.name + ":127.0.0.1");
                if (m.in.rfind("$#kcx:frame#", 0) != 0)
                    die("no acknowledgement of the marked join for " + m.name);
            } else if (server.proto == Proto::OursTls) {
                // The acknowledgement is the last plain byte; the handshake follows.
                sendAll(m.fd, "$#neu:" + m.name + ":0:127.0.0.1#kcx:frame,tls");
                waitForText(m, "$#kcx:frame,tls#");
                if (m.in != "$#kcx:frame,tls#")
                    die("no acknowledgement of TLS alone for " + m.name + ": " + m.in);
                m.in.clear();
                m.tls = std::make_unique<kc::tls::Session>(kc::tls::Role::Client, m.fd);
                for (kc::tls::Io io; (io = m.tls->handshake()) != kc::tls::Io::Done;) {
                    if (io != kc::tls::Io::WantRead && io != kc::tls::Io::WantWrite)
                        die("TLS handshake: " + m.tls->error());
                    waitFd(m.fd, io);
                }
                waitForText(m, ":" + m.name + ":127.0.0.1");
            } else {
                sendAll(m.fd, "NICK " + m.name + "\r\nUSER " + m.name + " 0 * :bench\r\n");
                waitForText(m, " 001 ");
                // A server that puts every user into its channel at
                // registration answers the JOIN with nothing or a second list.
                sendAll(m.fd, "JOIN " + server.channel + "\r\n");
                waitForText(m, " 366 ");
            }
            m.in.clear();
            m_members.push_back(std::move(m));
        }
        // Earlier members got the later joins' lists; none of that is measured.
        for (Member &m : m_members) {
            while (readSome(m, 20)) {
            }
            m.in.clear();
        }
    }

    ~Phase()
    {
        for (Member &m : m_members) {
            if (m_server.proto == Proto::Ours)
                sendAll(m.fd, "$#disconnect:" + m.name + "#");
            else if (m_server.proto == Proto::OursFramed || m_server.proto == Proto::OursTls)
                sendTo(m, frame("$#disconnect:" + m.name + "#"));
            else
                sendAll(m.fd, "QUIT :done\r\n");
            ::close(m.fd);
        }
        // Let the server finish the leaves before the next phase measures it.
        ::usleep(300 * 1000);
    }

    // Closed loop: every member keeps one line in flight for `seconds`, or
    // until `lineLimit` lines are sent.
    void saturate(double seconds, int64_t lineLimit = INT64_MAX, int inFlight = 1)
    {
        m_closedLoop = true;
        m_lineLimit = lineLimit;
        m_inFlight = std::max(1, inFlight);
        const int64_t end = nowNs() + int64_t(seconds * 1e9);
        for (int k = 0; k < m_inFlight; ++k)
            for (size_t i = 0; i < m_members.size(); ++i)
                sendLine(int(i));
        run(end, true);
        drain();
    }

    // Open loop: `rate` lines per second spread evenly over the members.
    void steady(double rate, double seconds)
    {
        m_closedLoop = false;
        m_steadyRate = rate;
        const int64_t start = nowNs();
        const int64_t period = int64_t(1e9 * double(m_members.size()) / rate);
        for (size_t i = 0; i < m_members.size(); ++i)
            m_members[i].nextSendNs = start + period * int64_t(i) / int64_t(m_members.size());
        run(start + int64_t(seconds * 1e9), true);
        drain();
    }

    const Stats &stats() const { return m_stats; }
    // Copies of each line the server is to deliver.
    int64_t expectedDeliveries() const
    {
        const int64_t perLine = int64_t(m_members.size()) - (m_server.proto == Proto::Irc ? 1 : 0);
        return m_stats.linesSent * perLine;
    }

private:
    void sendLine(int i)
    {
        if (m_stats.linesSent >= m_lineLimit) {
            m_members[size_t(i)].inFlight = false;
            return;
        }
        Member &m = m_members[size_t(i)];
        sendTo(m, lineCommand(m_server, m, lineText(i, m.sent)));
        ++m.sent;
        ++m_stats.linesSent;
        m.inFlight = true;
    }

    void drain()
    {
        // Lines still under way reach their receivers or count as lost.
        m_sending = false;
        run(nowNs() + int64_t(2e9), false);
        m_sending = true;
    }

    void run(int64_t endNs, bool untilEnd)
    {
        std::vector<pollfd> fds(m_members.size());
        for (size_t i = 0; i < m_members.size(); ++i)
            fds[i] = {m_members[i].fd, POLLIN, 0};
        for (;;) {
            const int64_t now = nowNs();
            if (now >= endNs)
                break;
            if ((!untilEnd || m_stats.linesSent >= m_lineLimit) && m_stats.delivered >= expectedDeliveries())
                break;
            int64_t waitNs = endNs - now;
            if (!m_closedLoop && m_sending) {
                for (size_t i = 0; i < m_members.size(); ++i) {
                    if (m_members[i].nextSendNs <= now) {
                        sendLine(int(i));
                        m_members[i].nextSendNs += int64_t(1e9 * double(m_members.size()) / m_steadyRate);
                    }
                    waitNs = std::min(waitNs, m_members[i].nextSendNs - now);
                }
            }
            const int ms = int(std::max<int64_t>(0, (waitNs + 999999) / 1000000));
            if (::poll(fds.data(), fds.size(), std::min(ms, 50)) <= 0)
                continue;
            for (size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents)
                    readMember(int(i));
            }
        }
    }

    void readMember(int r)
    {
        Member &m = m_members[size_t(r)];
        if (!receiveInto(m))
            return;
        const int64_t at = nowNs();
        const int pieces = m_server.proto == Proto::Ours ? splitOurs(r, at)
                           : m_server.proto == Proto::Irc ? splitIrc(r, at)
                                                          : splitFramed(r, at);
        if (pieces > 0)
            ++m_stats.clientReads;
        if (pieces > 1)
            ++m_stats.clientMerged;
    }

    // The chat has no framing: a command runs to the next "$#". A relayed line
    // ends with '|', a list with '#'; anything else may still be incomplete.
    int splitOurs(int r, int64_t at)
    {
        Member &m = m_members[size_t(r)];
        int pieces = 0;
        size_t pos = 0;
        while (pos < m.in.size()) {
            if (m.in.compare(pos, 2, "$#") != 0) {
                ++m_stats.foreign;
                const size_t next = m.in.find("$#", pos);
                pos = next == std::string::npos ? m.in.size() : next;
                continue;
            }
            size_t next = m.in.find("$#", pos + 2);
            if (next == std::string::npos) {
                const char last = m.in.back();
                if (last != '|' && last != '#')
                    break;
                next = m.in.size();
            }
            const std::string_view piece(m.in.data() + pos, next - pos);
            takePiece(r, piece, at);
            ++pieces;
            pos = next;
        }
        m.in.erase(0, pos);
        return pieces;
    }

    // One command a member received: a relayed line, a user list, or what
    // the relay should never send.
    void takePiece(int r, std::string_view piece, int64_t at)
    {
        if (piece.starts_with("$#farbe:"))
            takeLine(r, piece, at);
        else if (piece.starts_with("$#user:"))
            ++m_stats.serverMerged;
        else if (!piece.starts_with("$#neu:"))
            ++m_stats.foreign;
    }

    // Frames: a payload is one command, whatever it holds. A frame that does
    // not parse counts as split (and ends the reading of that member).
    int splitFramed(int r, int64_t at)
    {
        Member &m = m_members[size_t(r)];
        int pieces = 0;
        size_t pos = 0;
        while (pos < m.in.size()) {
            size_t colon = pos;
            while (colon < m.in.size() && colon - pos <= 5 && m.in[colon] >= '0' && m.in[colon] <= '9')
                ++colon;
            if (colon == m.in.size())
                break;
            if (colon == pos || m.in[colon] != ':') {
                ++m_stats.split;
                pos = m.in.size();
                break;
            }
            const size_t length = std::strtoul(m.in.c_str() + pos, nullptr, 10);
            if (colon + 1 + length + 1 > m.in.size())
                break;
            if (m.in[colon + 1 + length] != ',') {
                ++m_stats.split;
                pos = m.in.size();
                break;
            }
            const std::string_view piece(m.in.data() + colon + 1, length);
            takePiece(r, piece, at);
            ++pieces;
            pos = colon + 1 + length + 1;
        }
        m.in.erase(0, pos);
        return pieces;
    }

    int splitIrc(int r, int64_t at)
    {
        Member &m = m_members[size_t(r)];
        int pieces = 0;
        size_t pos = 0;
        for (;;) {
            const size_t end = m.in.find("\r\n", pos);
            if (end == std::string::npos)
                break;
            const std::string_view line(m.in.data() + pos, end - pos);
            if (line.starts_with("PING "))
                sendTo(m, "PONG " + std::string(line.substr(5)) + "\r\n");
            else if (line.find(" PRIVMSG " + m_server.channel + " :") != std::string_view::npos)
                takeLine(r, line, at);
            else if (line.find(" JOIN ") == std::string_view::npos && line.find(" QUIT ") == std::string_view::npos
                     && line.find(" PART ") == std::string_view::npos)
                ++m_stats.foreign;
            ++pieces;
            pos = end + 2;
        }
        m.in.erase(0, pos);
        return pieces;
    }

    void takeLine(int r, std::string_view piece, int64_t at)
    {
        const size_t s = piece.find("s=");
        if (s == std::string_view::npos) {
            ++m_stats.foreign;
            return;
        }
        int sender = -1;
        long long seq = -1, sentAt = 0;
        if (std::sscanf(std::string(piece.substr(s)).c_str(), "s=%d n=%lld t=%lld|", &sender, &seq, &sentAt) != 3
            || sender < 0 || size_t(sender) >= m_members.size()) {
            ++m_stats.foreign;
            return;
        }
        if (piece.find("s=", s + 2) != std::string_view::npos)
            ++m_stats.serverMerged;
        Member &m = m_members[size_t(r)];
        int64_t &last = m.lastSeen[size_t(sender)];
        if (seq < last)
            ++m_stats.reordered;
        else
            last = seq;
        ++m_stats.delivered;
        m_stats.latencyNs.push_back(at - sentAt);
        // The member after the sender confirms the line for the sender; with
        // more than one in flight each confirmed line lets the next one go.
        if (m_closedLoop && m_sending && r == (sender + 1) % int(m_members.size())
            && (m_inFlight > 1 || seq == m_members[size_t(sender)].sent - 1))
            sendLine(sender);
    }

    const Server &m_server;
    std::vector<Member> m_members;
    Stats m_stats;
    bool m_closedLoop = true;
    int m_inFlight = 1;
    bool m_sending = true;
    double m_steadyRate = 100;
    int64_t m_lineLimit = INT64_MAX;
};

struct Result
{
    double linesPerSecond = 0;
    double deliveriesPerSecond = 0;
    int64_t lost = 0;
    int64_t reordered = 0;
    int64_t serverMerged = 0;
    int64_t clientMerged = 0;
    int64_t clientReads = 0;
    int64_t foreign = 0;
    int64_t split = 0;
    double cpuMsPerLine = 0;
    long rssKiB = 0;
    double generatorCpuShare = 0;
    double p50Ms = 0;
    double p99Ms = 0;
};

double percentile(std::vector<int64_t> &v, double q)
{
    if (v.empty())
        return 0;
    const size_t k = std::min(v.size() - 1, size_t(q * double(v.size())));
    std::nth_element(v.begin(), v.begin() + long(k), v.end());
    return double(v[k]) / 1e6;
}

// Lines each sender keeps in flight when saturating.
int g_inFlight = 1;

// `rate` lines per second spread over the members, or saturation when 0.
Result measure(const Server &server, int members, double rate, double seconds, int round)
{
    const std::string tag = std::string(server.proto == Proto::Ours         ? "k"
                                        : server.proto == Proto::OursFramed ? "f"
                                        : server.proto == Proto::OursTls    ? "t"
                                                                            : "i")
                            + std::to_string(round) + "m";
    Phase phase(server, members, tag);
    const double cpu0 = cpuSeconds(server.pid);
    const double own0 = ownCpuSeconds();
    const int64_t t0 = nowNs();
    if (rate > 0)
        phase.steady(rate, seconds);
    else
        phase.saturate(seconds, INT64_MAX, g_inFlight);
    const double wall = double(nowNs() - t0) / 1e9;
    const double cpu = cpuSeconds(server.pid) - cpu0;
    Result r;
    Stats s = phase.stats();
    r.linesPerSecond = double(s.linesSent) / seconds;
    r.deliveriesPerSecond = double(s.delivered) / seconds;
    r.lost = phase.expectedDeliveries() - s.delivered;
    r.reordered = s.reordered;
    r.serverMerged = s.serverMerged;
    r.clientMerged = s.clientMerged;
    r.clientReads = s.clientReads;
    r.foreign = s.foreign;
    r.split = s.split;
    r.cpuMsPerLine = s.linesSent ? cpu * 1000 / double(s.linesSent) : 0;
    r.rssKiB = rssKiB(server.pid);
    r.generatorCpuShare = (ownCpuSeconds() - own0) / wall;
    r.p50Ms = percentile(s.latencyNs, 0.50);
    r.p99Ms = percentile(s.latencyNs, 0.99);
    return r;
}

// A running server has full views: one member sends `lines` public lines, one
// in flight, each also a line of the message log.
void fill(const Server &server, int lines)
{
    Member m;
    m.name = "fill";
    m.fd = connectLoopback(server.port);
    sendAll(m.fd, "$#neu:fill:0:127.0.0.1#");
    waitForText(m, ":fill:127.0.0.1");
    m.in.clear();
    for (int i = 0; i < lines; ++i) {
        const std::string text = "Vorlauf " + std::to_string(i) + "|";
        sendAll(m.fd, "$#user:fill:0#" + text);
        waitForText(m, text, 30000);
        m.in.clear();
    }
    sendAll(m.fd, "$#disconnect:fill#");
    ::close(m.fd);
    ::usleep(300 * 1000);
}

Server parseServer(const char *arg, Proto proto, const char *label)
{
    Server s{proto, 0, 0, label, "#bench"};
    if (std::sscanf(arg, "%d:%d", &s.port, &s.pid) != 2)
        die(std::string("expected PORT:PID, got ") + arg);
    return s;
}

std::string fmt(double v, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string ratio(double a, double b)
{
    return b > 0 ? fmt(a / b, 2) : "-";
}

void row(const char *name, const std::string &a, const std::string &b, const std::string &q)
{
    std::printf("| %-56s | %12s | %12s | %11s |\n", name, a.c_str(), b.c_str(), q.c_str());
}

// The median of each measure over the runs.
Result median(std::vector<Result> runs)
{
    auto mid = [&](auto field) {
        std::vector<double> v;
        for (const Result &r : runs)
            v.push_back(double(r.*field));
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    Result m;
    m.linesPerSecond = mid(&Result::linesPerSecond);
    m.deliveriesPerSecond = mid(&Result::deliveriesPerSecond);
    m.lost = int64_t(mid(&Result::lost));
    m.reordered = int64_t(mid(&Result::reordered));
    m.serverMerged = int64_t(mid(&Result::serverMerged));
    m.clientMerged = int64_t(mid(&Result::clientMerged));
    m.clientReads = int64_t(mid(&Result::clientReads));
    m.foreign = int64_t(mid(&Result::foreign));
    m.split = int64_t(mid(&Result::split));
    m.cpuMsPerLine = mid(&Result::cpuMsPerLine);
    m.rssKiB = long(mid(&Result::rssKiB));
    m.generatorCpuShare = mid(&Result::generatorCpuShare);
    m.p50Ms = mid(&Result::p50Ms);
    m.p99Ms = mid(&Result::p99Ms);
    // Losses are never hidden by the median: the worst run counts.
    for (const Result &r : runs) {
        m.lost = std::max(m.lost, r.lost);
        m.reordered = std::max(m.reordered, r.reordered);
        m.serverMerged = std::max(m.serverMerged, r.serverMerged);
        m.split = std::max(m.split, r.split);
        m.foreign = std::max(m.foreign, r.foreign);
    }
    return m;
}

std::string losses(const Result &r)
{
    return std::to_string(r.lost) + "/" + std::to_string(r.reordered) + "/" + std::to_string(r.serverMerged) + "/"
           + std::to_string(r.split);
}

void rows(const std::string &mode, const std::string &n, const Result &a, const Result &b)
{
    const std::string p = mode + ", " + n + " members: ";
    row((p + "lines/s").c_str(), fmt(a.linesPerSecond, 0), fmt(b.linesPerSecond, 0),
        ratio(a.linesPerSecond, b.linesPerSecond));
    row((p + "deliveries/s").c_str(), fmt(a.deliveriesPerSecond, 0), fmt(b.deliveriesPerSecond, 0),
        ratio(a.deliveriesPerSecond, b.deliveriesPerSecond));
    row((p + "lost / reord. / merged / split").c_str(), losses(a), losses(b), "");
    row((p + "server CPU ms per line").c_str(), fmt(a.cpuMsPerLine, 3), fmt(b.cpuMsPerLine, 3),
        ratio(a.cpuMsPerLine, b.cpuMsPerLine));
    row((p + "server RSS MiB").c_str(), fmt(double(a.rssKiB) / 1024, 1), fmt(double(b.rssKiB) / 1024, 1),
        ratio(double(a.rssKiB), double(b.rssKiB)));
    row((p + "generator CPU share").c_str(), fmt(a.generatorCpuShare * 100, 0) + " %",
        fmt(b.generatorCpuShare * 100, 0) + " %", "");
    row((p + "client reads with >1 command").c_str(),
        fmt(a.clientReads ? 100.0 * double(a.clientMerged) / double(a.clientReads) : 0, 1) + " %", "n/a", "");
    if (a.foreign || b.foreign)
        row((p + "unexpected pieces").c_str(), std::to_string(a.foreign), std::to_string(b.foreign), "");
}

void steadyRows(const std::string &mode, int rate, const Result &a, const Result &b)
{
    const std::string p = mode + ", " + std::to_string(rate) + " lines/s, 100 members: ";
    row((p + "p50 latency ms").c_str(), fmt(a.p50Ms, 2), fmt(b.p50Ms, 2), ratio(a.p50Ms, b.p50Ms));
    row((p + "p99 latency ms").c_str(), fmt(a.p99Ms, 2), fmt(b.p99Ms, 2), ratio(a.p99Ms, b.p99Ms));
    row((p + "lost / reord. / merged / split").c_str(), losses(a), losses(b), "");
    row((p + "server CPU ms per line").c_str(), fmt(a.cpuMsPerLine, 3), fmt(b.cpuMsPerLine, 3),
        ratio(a.cpuMsPerLine, b.cpuMsPerLine));
    row((p + "generator CPU share").c_str(), fmt(a.generatorCpuShare * 100, 0) + " %",
        fmt(b.generatorCpuShare * 100, 0) + " %", "");
}

// IRC members on both sides, same generator, run by run in turn: saturation
// with 10, 50 and 100 members, then 100 and 1,000 lines/s over 100 members.
int ircOnly(const Server &ours, const Server &irc, const Server &fillTarget, int fillLines, double seconds, int runs)
{
    if (fillTarget.port && fillLines > 0) {
        std::fprintf(stderr, "filling our server's views with %d lines...\n", fillLines);
        fill(fillTarget, fillLines);
    }
    const int counts[] = {10, 50, 100};
    const int rates[] = {100, 1000};
    std::map<int, std::vector<Result>> sat[2], steadyAll[2];
    int round = 0;
    for (int run = 1; run <= runs; ++run) {
        for (int members : counts) {
            std::fprintf(stderr, "run %d of %d: saturation, %d IRC members...\n", run, runs, members);
            ++round;
            sat[0][members].push_back(measure(ours, members, 0, seconds, round));
            sat[1][members].push_back(measure(irc, members, 0, seconds, round));
        }
        for (int rate : rates) {
            std::fprintf(stderr, "run %d of %d: %d lines/s over 100 IRC members...\n", run, runs, rate);
            ++round;
            steadyAll[0][rate].push_back(measure(ours, 100, rate, 2 * seconds, round));
            steadyAll[1][rate].push_back(measure(irc, 100, rate, 2 * seconds, round));
        }
    }
    std::printf("IRC members on both sides (%s on 127.0.0.1:%d in %s, ngircd on 127.0.0.1:%d in %s).\n", ours.label,
                ours.port, ours.channel.c_str(), irc.port, irc.channel.c_str());
    std::printf("Medians of %d runs; saturation with %d line(s) in flight per sender; lost/reordered/merged/split: "
                "the worst run.\n",
                runs, g_inFlight);
    row("measure", ours.label, irc.label, "ours/ngircd");
    std::printf("|%s|%s|%s|%s|\n", std::string(58, '-').c_str(), std::string(14, '-').c_str(),
                std::string(14, '-').c_str(), std::string(13, '-').c_str());
    for (int members : counts)
        rows("IRC", std::to_string(members), median(sat[0][members]), median(sat[1][members]));
    for (int rate : rates)
        steadyRows("IRC", rate, median(steadyAll[0][rate]), median(steadyAll[1][rate]));
    // The goals, each against its measure.
    std::printf("\nGoals with IRC members:\n");
    for (int members : counts) {
        const Result a = median(sat[0][members]), b = median(sat[1][members]);
        std::printf("  %3d members: lines/s %s (goal >= 1.20), CPU per line %s (goal <= 1.00)\n", members,
                    ratio(a.linesPerSecond, b.linesPerSecond).c_str(), ratio(a.cpuMsPerLine, b.cpuMsPerLine).c_str());
    }
    std::printf("  1000 lines/s over 100 members: p99 %s ms (goal <= 1.00 ms)\n",
                fmt(median(steadyAll[0][1000]).p99Ms, 2).c_str());
    // How far the runs lie apart: the machine is shared, a median alone hides it.
    auto spread = [](const std::vector<Result> &runs, double Result::*field, int digits) {
        std::string text;
        for (const Result &r : runs)
            text += (text.empty() ? "" : " / ") + fmt(r.*field, digits);
        return text;
    };
    std::printf("\nEach run (ours | ngircd):\n");
    for (int members : counts) {
        std::printf("  %3d members, lines/s: %s | %s\n", members,
                    spread(sat[0][members], &Result::linesPerSecond, 0).c_str(),
                    spread(sat[1][members], &Result::linesPerSecond, 0).c_str());
        std::printf("  %3d members, CPU ms per line: %s | %s\n", members,
                    spread(sat[0][members], &Result::cpuMsPerLine, 3).c_str(),
                    spread(sat[1][members], &Result::cpuMsPerLine, 3).c_str());
    }
    for (int rate : rates)
        std::printf("  %d lines/s, p99 ms: %s | %s\n", rate, spread(steadyAll[0][rate], &Result::p99Ms, 2).c_str(),
                    spread(steadyAll[1][rate], &Result::p99Ms, 2).c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Server ours{Proto::Ours, 0, 0, "ours"}, irc{Proto::Irc, 0, 0, "ngircd"}, oursIrc{Proto::Irc, 0, 0, "ours (IRC)"};
    std::string oursChannel = "#chat";
    double seconds = 5;
    int fillLines = 5100;
    int profileLines = 0;
    double profileRate = 0;
    int profileMembers = 100;
    int runs = 3;
    std::string profileMode = "legacy";
    bool tlsOnly = false;
    for (int i = 1; i < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--tls-only") {
            tlsOnly = true;
            --i;
            continue;
        }
        if (i + 1 >= argc)
            die("option " + opt + " needs a value");
        if (opt == "--ours")
            ours = parseServer(argv[i + 1], Proto::Ours, "ours");
        else if (opt == "--irc")
            irc = parseServer(argv[i + 1], Proto::Irc, "ngircd");
        else if (opt == "--irc-ours")
            oursIrc = parseServer(argv[i + 1], Proto::Irc, "ours (IRC)");
        else if (opt == "--irc-channel")
            oursChannel = argv[i + 1];
        else if (opt == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (opt == "--fill")
            fillLines = std::atoi(argv[i + 1]);
        else if (opt == "--profile-lines")
            profileLines = std::atoi(argv[i + 1]);
        else if (opt == "--profile-rate")
            profileRate = std::atof(argv[i + 1]);
        else if (opt == "--members")
            profileMembers = std::atoi(argv[i + 1]);
        else if (opt == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (opt == "--mode")
            profileMode = argv[i + 1];
        else if (opt == "--in-flight")
            g_inFlight = std::max(1, std::atoi(argv[i + 1]));
        else
            die("unknown option " + opt);
    }
    Server framed = ours;
    framed.proto = Proto::OursFramed;
    Server encrypted = ours;
    encrypted.proto = Proto::OursTls;
    if (profileRate > 0) {
        // A paced load on one server alone, for a profile or for a quick look
        // at its CPU per line.
        oursIrc.channel = oursChannel;
        const Server &target = profileMode == "framed"     ? framed
                               : profileMode == "tls"      ? encrypted
                               : profileMode == "irc"      ? irc
                               : profileMode == "irc-ours" ? oursIrc
                                                           : ours;
        if (fillLines > 0 && ours.port && &target != &irc)
            fill(ours, fillLines);
        const Result r = measure(target, profileMembers, profileRate, seconds, 1);
        std::printf("%s, %.0f lines/s, %d members: server CPU ms per line %.3f, p50 %.2f ms, p99 %.2f ms, lost %lld\n",
                    profileMode.c_str(), profileRate, profileMembers, r.cpuMsPerLine, r.p50Ms, r.p99Ms,
                    (long long)r.lost);
        return 0;
    }
    if (profileLines > 0) {
        // A fixed load for an instruction profile of our server alone.
        if (fillLines > 0)
            fill(ours, fillLines);
        Phase phase(profileMode == "framed" ? framed : profileMode == "tls" ? encrypted : ours, profileMembers, "p");
        const int64_t t0 = nowNs();
        phase.saturate(600, profileLines);
        std::printf("%" PRId64 " lines, %" PRId64 " deliveries in %.2f s\n", phase.stats().linesSent,
                    phase.stats().delivered, double(nowNs() - t0) / 1e9);
        return 0;
    }
    const int counts[] = {10, 50, 100};
    if (oursIrc.port) {
        if (!irc.port)
            die("usage: bench_relay --irc-ours PORT:PID --irc PORT:PID [--ours PORT:PID] [--irc-channel NAME]");
        oursIrc.channel = oursChannel;
        return ircOnly(oursIrc, irc, ours, fillLines, seconds, runs);
    }
    if (tlsOnly) {
        if (!ours.port)
            die("usage: bench_relay --ours PORT:PID --tls-only [--seconds S] [--runs R]");
        // Framed plain text against framed inside TLS, run by run in turn.
        std::map<int, std::vector<Result>> plain, secure;
        for (int run = 1; run <= runs; ++run)
            for (int members : counts) {
                std::fprintf(stderr, "run %d of %d: saturation, %d members, framed and encrypted...\n", run, runs,
                             members);
                plain[members].push_back(measure(framed, members, 0, seconds, 2 * run));
                secure[members].push_back(measure(encrypted, members, 0, seconds, 2 * run + 1));
            }
        std::printf("Medians of %d runs; lost/reordered/merged/split: the worst run.\n", runs);
        row("measure", "framed+TLS", "framed", "TLS/plain");
        std::printf("|%s|%s|%s|%s|\n", std::string(58, '-').c_str(), std::string(14, '-').c_str(),
                    std::string(14, '-').c_str(), std::string(13, '-').c_str());
        for (int members : counts)
            rows("encrypted", std::to_string(members), median(secure[members]), median(plain[members]));
        return 0;
    }
    if (!ours.port || !irc.port)
        die("usage: bench_relay --ours PORT:PID --irc PORT:PID [--seconds S] [--fill N] [--runs R]");

    std::fprintf(stderr, "filling our server's views with %d lines...\n", fillLines);
    fill(ours, fillLines);

    // [members][server]: legacy, framed, ngircd, framed inside TLS.
    std::map<int, std::vector<Result>> all[4];
    // [rate][server], as above.
    const int rates[] = {100, 1000};
    std::map<int, std::vector<Result>> steadyAll[4];
    int round = 0;
    for (int run = 1; run <= runs; ++run) {
        for (int members : counts) {
            std::fprintf(stderr, "run %d of %d: saturation, %d members...\n", run, runs, members);
            ++round;
            all[0][members].push_back(measure(ours, members, 0, seconds, round));
            all[1][members].push_back(measure(framed, members, 0, seconds, round));
            all[2][members].push_back(measure(irc, members, 0, seconds, round));
            all[3][members].push_back(measure(encrypted, members, 0, seconds, round));
        }
        for (int rate : rates) {
            std::fprintf(stderr, "run %d of %d: %d lines/s over 100 members...\n", run, runs, rate);
            ++round;
            for (int k = 0; k < 4; ++k) {
                const Server &server = k == 0 ? ours : k == 1 ? framed : k == 2 ? irc : encrypted;
                steadyAll[k][rate].push_back(measure(server, 100, rate, 2 * seconds, round));
            }
        }
    }

    std::printf("Medians of %d runs; saturation with %d line(s) in flight per sender; lost/reordered/merged/split: "
                "the worst run.\n",
                runs, g_inFlight);
    row("measure", ours.label, irc.label, "ours/ngircd");
    std::printf("|%s|%s|%s|%s|\n", std::string(58, '-').c_str(), std::string(14, '-').c_str(),
                std::string(14, '-').c_str(), std::string(13, '-').c_str());
    for (int members : counts) {
        const Result b = median(all[2][members]);
        rows("legacy", std::to_string(members), median(all[0][members]), b);
        rows("framed", std::to_string(members), median(all[1][members]), b);
        rows("framed+TLS", std::to_string(members), median(all[3][members]), b);
    }
    for (int rate : rates) {
        const Result sb = median(steadyAll[2][rate]);
        steadyRows("legacy", rate, median(steadyAll[0][rate]), sb);
        steadyRows("framed", rate, median(steadyAll[1][rate]), sb);
        steadyRows("framed+TLS", rate, median(steadyAll[3][rate]), sb);
    }
    // The price of encryption on our server alone.
    std::printf("\nframed inside TLS against framed plain text, server CPU ms per line (goal: at most 1.3):\n");
    for (int members : counts) {
        const double a = median(all[3][members]).cpuMsPerLine, b = median(all[1][members]).cpuMsPerLine;
        std::printf("  %3d members: %s / %s = %s\n", members, fmt(a, 3).c_str(), fmt(b, 3).c_str(),
                    ratio(a, b).c_str());
    }
    return 0;
}
