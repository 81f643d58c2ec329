// Load and bookkeeping of the soak (bench/soak): raw chat clients against
// one server, file transfers to one client window, hostile peers, and the
// size of both processes over time. Plain sockets and poll, no project code;
// it talks only to 127.x.y.z and is run inside a private network namespace.
//
//   soak_driver --server-pid P --window-pid P --save-folder DIR [--minutes N]
//               [--port 5757] [--window-name fenster]
//
// Load, at the rates the goal needs and not more:
//  - 100 raw clients that join, stay a few seconds, leave and come back under
//    a new name (churn), from 127.0.1.1 to 127.0.1.100;
//  - 4 raw clients that stay the whole run ("watchers", 127.0.1.201 to .204):
//    every public line must reach each of them once, in order;
//  - public lines from everybody joined, whispers and private-chat lines to
//    the watchers (and a few to the window);
//  - a file offer to the window every few seconds; once accepted, the file
//    goes to the window's receiver and must be saved byte for byte;
//  - hostile peers: garbage, connections that never join, a joined user that
//    never reads, garbage to the window's file port.
// The window runs a server search over 127.0.0.1 to .255 every minute.
//
// Lost: a line that a joined recipient should have got and did not (a gap in
// a sender's numbers, or missing at the end). Misdelivered: a line at the
// wrong recipient, twice, out of order, or under the wrong name.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// ---- settings: what the goal needs over ten minutes, with some room ----
constexpr int kChurners = 100;
constexpr int kWatchers = 4;
constexpr double kPublicPerSecond = 25;   // × ~75 recipients: ~1.1 million deliveries in 10 min
constexpr double kWhispersPerSecond = 3;
constexpr double kPrivatePerSecond = 3;
constexpr double kToWindowShare = 0.05;   // of whispers and private lines
// A churner stays 3.5 s and is away 1.5 s on average: 20 cycles/s with 100,
// and about 70 of them joined at a time, so that with the watchers, the
// window and the deaf user the registry (101 users) never fills.
constexpr double kStayMinS = 2, kStayMaxS = 5;
constexpr double kAwayMinS = 0.5, kAwayMaxS = 2.5;
constexpr int kOfferEveryMs = 3000;
// A client reads what arrives at once as one command, so an offer that
// reaches the window in one read behind another command is not seen there;
// the offerer offers again (a new file) after this long without an answer.
constexpr int kOfferUnansweredMs = 5000;
constexpr int kSampleEveryMs = 10000;
// The first seconds carry more public lines, enough to fill the window's
// bounded chat view (5,000 lines): the size after the first minute is the
// size of a window whose views are full, and growth after it is not the fill.
constexpr double kWarmUpS = 30;
constexpr double kWarmUpPublicPerSecond = 200;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "soak_driver: %s\n", what.c_str());
    std::exit(2);
}

std::mt19937_64 rng(18);

double uniform(double a, double b)
{
    return std::uniform_real_distribution<double>(a, b)(rng);
}

int pick(int n)
{
    return std::uniform_int_distribution<int>(0, n - 1)(rng);
}

sockaddr_in address(const std::string &dotted, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, dotted.c_str(), &a.sin_addr);
    return a;
}

// A non-blocking connect from `source` to `target`:`port`; -1 on failure.
int connectFrom(const std::string &source, const std::string &target, uint16_t port, int rcvbuf = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (rcvbuf > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    const sockaddr_in from = address(source, 0);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0) {
        ::close(fd);
        return -1;
    }
    const sockaddr_in to = address(target, port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void closeHard(int &fd)
{
    if (fd < 0)
        return;
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
    fd = -1;
}

// ---- process samples ----

struct Sample
{
    double at = 0;
    long rssKiB = -1;
    long anonKiB = -1; // the part of RSS that is no file: heap, stacks, mappings
    int fds = -1;
    int threads = -1;
};

Sample sampleOf(int pid, double at)
{
    Sample s;
    s.at = at;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            s.rssKiB = std::stol(line.substr(6));
        else if (line.rfind("RssAnon:", 0) == 0)
            s.anonKiB = std::stol(line.substr(8));
        else if (line.rfind("Threads:", 0) == 0)
            s.threads = std::stoi(line.substr(8));
    }
    if (DIR *dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        s.fds = 0;
        while (const dirent *entry = ::readdir(dir))
            s.fds += entry->d_name[0] != '.' ? 1 : 0;
        ::closedir(dir);
    }
    return s;
}

// ---- bookkeeping ----

struct Totals
{
    int64_t publicSent = 0, whispersSent = 0, privateSent = 0;
    int64_t toWindowSent = 0; // whispers and private lines to the window: shown there, not counted here
    int64_t delivered = 0;    // lines that reached raw clients
    int64_t lost = 0, misdelivered = 0;
    int64_t joins = 0, cycles = 0, refusedJoins = 0, droppedUsers = 0;
    int64_t listsReceived = 0, unknownPieces = 0;
    double joinSecondsMax = 0, joinSecondsSum = 0;
    int64_t offers = 0, unansweredOffers = 0, accepted = 0, declined = 0, transfersDone = 0, transfersFailed = 0;
    int64_t byteExact = 0, notExact = 0;
    int64_t hostileConnections = 0;
};
Totals totals;

std::string nameOf(int idx, int session)
{
    return "u" + std::to_string(idx) + "s" + std::to_string(session);
}

// The sender index that a name encodes; -1 for other names.
int indexOfName(const std::string &name)
{
    if (name.size() < 4 || name[0] != 'u')
        return -1;
    const size_t s = name.find('s');
    if (s == std::string::npos || s == 1)
        return -1;
    return std::atoi(name.substr(1, s - 1).c_str());
}

std::string padding(int n)
{
    std::string p;
    for (int i = 0; i < n; ++i)
        p += static_cast<char>('a' + pick(26));
    return p;
}

// ---- file contents: id, then a pattern of that id ----

int64_t fileSize(int id)
{
    if (id % 10 == 9)
        return 6 * 1024 * 1024 + id; // beyond what the receiver keeps in memory
    return 1024 + static_cast<int64_t>((static_cast<uint64_t>(id) * 2654435761u) % (512 * 1024));
}

std::string fileContent(int id)
{
    const int64_t size = fileSize(id);
    std::string data(static_cast<size_t>(size), '\0');
    char head[16];
    std::snprintf(head, sizeof head, "ID%010d", id);
    uint64_t x = 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(id + 1);
    for (int64_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        data[static_cast<size_t>(i)] = static_cast<char>(x);
    }
    std::memcpy(data.data(), head, 12);
    return data;
}

// ---- one raw chat client ----

enum class Role { Churner, Watcher };

struct Client
{
    int idx = 0;
    Role role = Role::Churner;
    std::string source;
    int fd = -1;
    enum class State { Away, Connecting, Joining, Joined } state = State::Away;
    int session = 0;
    std::string name;
    std::string in, out;
    Clock::time_point due;      // next connect (away) or leave (joined)
    Clock::time_point joinSent;
    // Public lines: the last number seen per sender, in this session.
    std::map<int, int64_t> lastSeen;
    int64_t publicSeq = 0; // lines this client sent, over all its sessions
};

std::vector<Client> clients;
// Whispers and private lines to watchers, by id: target index; and how often each arrived.
std::vector<int> directTarget;
std::vector<int> directArrived;

void flushOut(Client &c);

void sendTo(Client &c, const std::string &bytes)
{
    c.out += bytes;
    flushOut(c);
}

void flushOut(Client &c)
{
    while (c.fd >= 0 && !c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.out.erase(0, static_cast<size_t>(n));
        } else {
            break;
        }
    }
}

// Connections on their way out: they are read (and what comes is thrown
// away) until the server closes its end, so that closing them never resets
// a connection whose last lines the server has not read yet.
struct Lingering
{
    int fd;
    Clock::time_point until;
};
std::vector<Lingering> lingering;

void leave(Client &c, Clock::time_point now)
{
    if (c.state == Client::State::Joined) {
        sendTo(c, "$#disconnect:" + c.name + "#");
        ++totals.cycles;
    }
    // Whatever is still on its way to this session is not counted: the client has gone.
    if (c.fd >= 0) {
        ::shutdown(c.fd, SHUT_WR);
        lingering.push_back({c.fd, now + std::chrono::seconds(5)});
        c.fd = -1;
    }
    c.state = Client::State::Away;
    c.in.clear();
    c.out.clear();
    c.lastSeen.clear();
    c.due = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(uniform(kAwayMinS, kAwayMaxS)));
}

std::string serverHost = "127.0.0.1";
uint16_t chatPort = 5757;
std::string windowName = "fenster";
std::string windowAddress;

void connectClient(Client &c, Clock::time_point now)
{
    c.fd = connectFrom(c.source, serverHost, chatPort);
    if (c.fd < 0)
        die("cannot open a client socket");
    ++c.session;
    c.name = nameOf(c.idx, c.session);
    c.state = Client::State::Connecting;
    c.joinSent = now;
}

// ---- file transfer to the window ----

struct Transfer
{
    int id = -1;
    int fd = -1;
    std::string data; // header and file
    size_t sent = 0;
    std::string ack;
    Clock::time_point started;
};
std::unique_ptr<Transfer> transfer; // one at a time: each one takes a slot of the receiver
int nextFileId = 0;
bool offerOpen = false;
Clock::time_point lastOffer;
std::map<int, Clock::time_point> awaitingFile; // acknowledged, not yet found saved
std::string saveFolder;

std::string offerPath(int id)
{
    char path[64];
    std::snprintf(path, sizeof path, "C:\\soak\\f%06d.bin", id);
    return path;
}

void startTransfer(Client &offerer, int id, Clock::time_point now)
{
    auto t = std::make_unique<Transfer>();
    t->id = id;
    t->fd = connectFrom(offerer.source, windowAddress, 6711);
    if (t->fd < 0) {
        ++totals.transfersFailed;
        offerOpen = false;
        return;
    }
    const std::string body = fileContent(id);
    char size[16];
    std::snprintf(size, sizeof size, "%10d", static_cast<int>(body.size()));
    t->data = std::string("0000") + size + body;
    t->started = now;
    transfer = std::move(t);
}

void endTransfer(bool ok, Clock::time_point now)
{
    if (ok) {
        ++totals.transfersDone;
        awaitingFile[transfer->id] = now;
    } else {
        ++totals.transfersFailed;
        std::fprintf(stderr, "soak_driver: transfer %d failed (%zu of %zu bytes sent, ack '%s')\n", transfer->id,
                     transfer->sent, transfer->data.size(), transfer->ack.c_str());
    }
    ::close(transfer->fd);
    transfer.reset();
    offerOpen = false;
}

// Checks saved files whose size has reached their id's size; removes them.
void checkSavedFiles(Clock::time_point now, bool final)
{
    DIR *dir = ::opendir(saveFolder.c_str());
    if (!dir)
        return;
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == 'r')
            names.push_back(entry->d_name);
    }
    ::closedir(dir);
    for (const std::string &name : names) {
        const std::string path = saveFolder + "/" + name;
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0 || st.st_size < 12)
            continue;
        char head[13] = {};
        {
            std::ifstream f(path, std::ios::binary);
            f.read(head, 12);
        }
        const int id = std::atoi(head + 2);
        if (std::strncmp(head, "ID", 2) != 0 || !awaitingFile.count(id)) {
            ++totals.notExact;
            std::fprintf(stderr, "soak_driver: saved file %s is no file that was sent\n", name.c_str());
            ::unlink(path.c_str());
            continue;
        }
        if (st.st_size < fileSize(id) && !final)
            continue; // still being written
        std::string data(static_cast<size_t>(st.st_size), '\0');
        {
            std::ifstream f(path, std::ios::binary);
            f.read(data.data(), st.st_size);
        }
        if (data == fileContent(id)) {
            ++totals.byteExact;
        } else {
            ++totals.notExact;
            std::fprintf(stderr, "soak_driver: saved file %s (id %d) differs from what was sent\n", name.c_str(), id);
        }
        awaitingFile.erase(id);
        ::unlink(path.c_str());
    }
    (void)now;
}

// ---- hostile peers ----

struct Hostile
{
    enum class Kind { Garbage, Silent, DeafUser, StreamGarbage } kind = Kind::Garbage;
    std::string source;
    int fd = -1;
    Clock::time_point due;
    int session = 0;
    bool joined = false;
};
std::vector<Hostile> hostiles;

// ---- reading ----

// Splits what arrived into commands: each starts with "$#" (the server never
// relays "$#" inside text), and a command is complete once the next one
// starts or it ends as every command of this load ends ("~" or "#").
std::vector<std::string> takeCommands(std::string &in, bool flush)
{
    std::vector<std::string> out;
    size_t start = in.find("$#");
    if (start == std::string::npos) {
        if (flush)
            in.clear();
        return out;
    }
    while (true) {
        const size_t next = in.find("$#", start + 2);
        if (next == std::string::npos)
            break;
        out.push_back(in.substr(start, next - start));
        start = next;
    }
    std::string last = in.substr(start);
    while (!last.empty() && (last.back() == '\n' || last.back() == '\r' || last.back() == '\0'))
        last.pop_back();
    if (flush || (!last.empty() && (last.back() == '~' || last.back() == '#'))) {
        out.push_back(last);
        in.clear();
    } else {
        in = in.substr(start);
    }
    return out;
}

void handleCommand(Client &c, std::string cmd, Clock::time_point now)
{
    while (!cmd.empty() && (cmd.back() == '\n' || cmd.back() == '\r' || cmd.back() == '\0'))
        cmd.pop_back();
    auto startsWith = [&](const char *p) { return cmd.rfind(p, 0) == 0; };
    if (startsWith("$#farbe:")) {
        // $#farbe:COLOUR#NAME: L FROM SEQ PAD~
        const size_t hash = cmd.find('#', 2);
        const size_t colon = cmd.find(": L ", hash);
        if (hash == std::string::npos || colon == std::string::npos) {
            if (cmd.find(windowName + ": ") == std::string::npos)
                ++totals.misdelivered;
            return;
        }
        const std::string name = cmd.substr(hash + 1, colon - hash - 1);
        int from = -1;
        long long seq = -1;
        if (std::sscanf(cmd.c_str() + colon + 4, "%d %lld", &from, &seq) != 2 || indexOfName(name) != from) {
            ++totals.misdelivered;
            return;
        }
        ++totals.delivered;
        auto [it, fresh] = c.lastSeen.try_emplace(from, seq - 1);
        if (c.role == Role::Watcher && fresh)
            it->second = 0; // watchers are there from the first line on
        if (seq == it->second + 1) {
            it->second = seq;
        } else if (seq > it->second + 1) {
            totals.lost += seq - it->second - 1;
            std::fprintf(stderr, "soak_driver: %s missed lines %lld..%lld of u%d\n", c.name.c_str(),
                         static_cast<long long>(it->second + 1), seq - 1, from);
            it->second = seq;
        } else {
            ++totals.misdelivered;
        }
        return;
    }
    if (startsWith("$#pmassage:") || startsWith("$#pchat:")) {
        const bool whisper = startsWith("$#pmassage:");
        const size_t hash = cmd.find('#', 2);
        const size_t mark = cmd.find(whisper ? "Private Nachricht: W " : "P ", hash);
        int from = -1, id = -1, to = -1;
        const std::string sender = hash == std::string::npos ? "" : cmd.substr(cmd.find(':') + 1, hash - cmd.find(':') - 1);
        if (mark != hash + 1 || std::sscanf(cmd.c_str() + mark + (whisper ? 21 : 2), "%d %d %d", &from, &id, &to) != 3
            || indexOfName(sender) != from || to != c.idx || id < 0 || id >= int(directTarget.size())
            || directTarget[id] != c.idx) {
            ++totals.misdelivered;
            return;
        }
        ++totals.delivered;
        if (++directArrived[id] > 1)
            ++totals.misdelivered;
        return;
    }
    if (startsWith("$#neu")) {
        ++totals.listsReceived;
        if (c.state == Client::State::Joining && cmd.find(":" + c.name + ":") != std::string::npos) {
            c.state = Client::State::Joined;
            ++totals.joins;
            const double took = seconds(now - c.joinSent);
            totals.joinSecondsMax = std::max(totals.joinSecondsMax, took);
            totals.joinSecondsSum += took;
            if (c.role == Role::Churner)
                c.due = now + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(uniform(kStayMinS, kStayMaxS)));
        }
        return;
    }
    if (startsWith("$#noconnect")) {
        ++totals.refusedJoins;
        std::fprintf(stderr, "soak_driver: join of %s refused\n", c.name.c_str());
        leave(c, now);
        return;
    }
    if (startsWith("$#fileangenommen:")) {
        // $#fileangenommen:ACCEPTOR:ADDRESS:PATH#
        const size_t a = cmd.find(':') + 1;
        const size_t b = cmd.find(':', a);
        const size_t d = cmd.find(':', b + 1);
        const std::string acceptor = cmd.substr(a, b - a);
        windowAddress = cmd.substr(b + 1, d - b - 1);
        const std::string path = cmd.substr(d + 1, cmd.size() - d - 2);
        int id = -1;
        if (acceptor != windowName || std::sscanf(path.c_str(), "C:\\soak\\f%d.bin", &id) != 1) {
            ++totals.unknownPieces;
            return;
        }
        ++totals.accepted;
        startTransfer(c, id, now);
        return;
    }
    if (startsWith("$#fileabgelehnt:")) {
        ++totals.declined;
        offerOpen = false;
        return;
    }
    ++totals.unknownPieces;
    std::fprintf(stderr, "soak_driver: %s got '%.80s'\n", c.name.c_str(), cmd.c_str());
}

void readClient(Client &c, Clock::time_point now, bool flush = false)
{
    char buffer[65536];
    while (c.fd >= 0) {
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            c.in.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            // The server closed us: only a joined user that it dropped would see this.
            if (c.state == Client::State::Joined) {
                ++totals.droppedUsers;
                std::fprintf(stderr, "soak_driver: the server closed %s\n", c.name.c_str());
            }
            for (const std::string &cmd : takeCommands(c.in, true))
                handleCommand(c, cmd, now);
            c.state = Client::State::Away; // leave() would count a cycle
            leave(c, now);
            return;
        }
        break;
    }
    for (const std::string &cmd : takeCommands(c.in, flush))
        handleCommand(c, cmd, now);
}

void sendPublic(Client &c)
{
    ++c.publicSeq;
    ++totals.publicSent;
    sendTo(c, "$#user:" + c.name + ":" + std::to_string(255 * (c.idx % 3 + 1)) + "#L " + std::to_string(c.idx) + " "
                  + std::to_string(c.publicSeq) + " " + padding(10 + pick(50)) + "~");
}

void sendDirect(Client &c, bool whisper, int firstWatcher)
{
    const bool toWindow = uniform(0, 1) < kToWindowShare;
    std::string target;
    int to = -1;
    if (toWindow) {
        if (!whisper && c.role != Role::Watcher)
            return; // private-chat windows of the window: only from the watchers, so they stay few
        target = windowName;
        ++totals.toWindowSent;
    } else {
        to = firstWatcher + pick(kWatchers);
        if (to == c.idx)
            to = firstWatcher + (to - firstWatcher + 1) % kWatchers;
        target = clients[static_cast<size_t>(to)].name;
        (whisper ? totals.whispersSent : totals.privateSent)++;
    }
    const int id = static_cast<int>(directTarget.size());
    directTarget.push_back(to);
    directArrived.push_back(0);
    const std::string text = std::string(whisper ? "W " : "P ") + std::to_string(c.idx) + " " + std::to_string(id) + " "
                             + std::to_string(to) + "~";
    sendTo(c, std::string(whisper ? "$#pmessage:" : "$#pchat:") + target + ":" + c.name + "#" + text);
}

// The watchers' private-chat windows at the window, one per watcher, open at
// the start of the load: one opened later would count as growth of a window
// that merely opened another.
void openPrivateWindows(const std::vector<Client *> &watchers)
{
    for (Client *c : watchers) {
        ++totals.toWindowSent;
        const int id = static_cast<int>(directTarget.size());
        directTarget.push_back(-1);
        directArrived.push_back(0);
        sendTo(*c, "$#pchat:" + windowName + ":" + c->name + "#P " + std::to_string(c->idx) + " " + std::to_string(id)
                       + " -1~");
    }
}

void printSamples(const char *who, const std::vector<Sample> &samples, size_t firstMinute, size_t fifthMinute)
{
    const Sample &start = samples.front();
    const Sample &end = samples.back();
    const Sample &minute = samples[std::min(firstMinute, samples.size() - 1)];
    const Sample &fifth = samples[std::min(fifthMinute, samples.size() - 1)];
    long peakRss = 0, peakAnon = 0;
    int peakFds = 0, peakThreads = 0;
    for (const Sample &s : samples) {
        peakRss = std::max(peakRss, s.rssKiB);
        peakAnon = std::max(peakAnon, s.anonKiB);
        peakFds = std::max(peakFds, s.fds);
        peakThreads = std::max(peakThreads, s.threads);
    }
    const double drift = minute.rssKiB > 0 ? 100.0 * (end.rssKiB - minute.rssKiB) / minute.rssKiB : 0;
    const double drift5 = fifth.rssKiB > 0 ? 100.0 * (end.rssKiB - fifth.rssKiB) / fifth.rssKiB : 0;
    std::printf("| %-7s | RSS KiB     | %9ld | %9ld | %9ld | %9ld | %9ld | %+6.1f %% %s | %+6.1f %% |\n", who, start.rssKiB,
                minute.rssKiB, fifth.rssKiB, end.rssKiB, peakRss, drift, std::abs(drift) <= 5 ? "ok" : "OVER", drift5);
    // At start a thread or descriptor of the window's own connecting may still be about.
    const double anonDrift = minute.anonKiB > 0 ? 100.0 * (end.anonKiB - minute.anonKiB) / minute.anonKiB : 0;
    const double anonDrift5 = fifth.anonKiB > 0 ? 100.0 * (end.anonKiB - fifth.anonKiB) / fifth.anonKiB : 0;
    std::printf("| %-7s | of it anon  | %9ld | %9ld | %9ld | %9ld | %9ld | %+6.1f %%    | %+6.1f %% |\n", who,
                start.anonKiB, minute.anonKiB, fifth.anonKiB, end.anonKiB, peakAnon, anonDrift, anonDrift5);
    std::printf("| %-7s | descriptors | %9d | %9d | %9d | %9d | %9d | %s |          |\n", who, start.fds, minute.fds,
                fifth.fds, end.fds, peakFds, end.fds <= start.fds ? "back to start" : "NOT back    ");
    std::printf("| %-7s | threads     | %9d | %9d | %9d | %9d | %9d | %s |          |\n", who, start.threads,
                minute.threads, fifth.threads, end.threads, peakThreads,
                end.threads <= start.threads ? "back to start" : "NOT back    ");
}

} // namespace

int main(int argc, char **argv)
{
    int serverPid = 0, windowPid = 0;
    double minutes = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--server-pid")
            serverPid = std::atoi(value.c_str());
        else if (option == "--window-pid")
            windowPid = std::atoi(value.c_str());
        else if (option == "--minutes")
            minutes = std::atof(value.c_str());
        else if (option == "--port")
            chatPort = static_cast<uint16_t>(std::atoi(value.c_str()));
        else if (option == "--save-folder")
            saveFolder = value;
        else if (option == "--window-name")
            windowName = value;
        else
            die("unknown option " + option);
    }
    if (serverPid <= 0 || windowPid <= 0 || saveFolder.empty() || minutes <= 0)
        die("usage: soak_driver --server-pid P --window-pid P --save-folder DIR [--minutes N]");
    ::signal(SIGPIPE, SIG_IGN);

    const auto begin = Clock::now();
    std::vector<Sample> serverSamples, windowSamples;
    auto sample = [&](Clock::time_point now) {
        serverSamples.push_back(sampleOf(serverPid, seconds(now - begin)));
        windowSamples.push_back(sampleOf(windowPid, seconds(now - begin)));
        const Sample &s = serverSamples.back(), &w = windowSamples.back();
        std::fprintf(stderr,
                     "soak_driver: %6.0f s  server %7ld KiB %4d fds %3d thr | window %7ld KiB (anon %6ld) %4d fds %3d thr | "
                     "%" PRId64 " delivered, %" PRId64 " cycles, %" PRId64 " transfers\n",
                     s.at, s.rssKiB, s.fds, s.threads, w.rssKiB, w.anonKiB, w.fds, w.threads, totals.delivered, totals.cycles,
                     totals.byteExact);
    };
    if (sampleOf(serverPid, 0).rssKiB < 0 || sampleOf(windowPid, 0).rssKiB < 0)
        die("server or window process not found");
    sample(Clock::now());

    clients.resize(kChurners + kWatchers);
    const int firstWatcher = kChurners;
    for (int i = 0; i < kChurners + kWatchers; ++i) {
        Client &c = clients[static_cast<size_t>(i)];
        c.idx = i;
        c.role = i < kChurners ? Role::Churner : Role::Watcher;
        c.source = i < kChurners ? "127.0.1." + std::to_string(i + 1) : "127.0.1." + std::to_string(201 + i - kChurners);
    }
    // The watchers first; nothing else starts before they are in.
    {
        const auto now = Clock::now();
        for (int i = firstWatcher; i < kChurners + kWatchers; ++i)
            connectClient(clients[static_cast<size_t>(i)], now);
    }
    for (auto [kind, source] : {std::pair{Hostile::Kind::Garbage, "127.0.4.1"},
                                std::pair{Hostile::Kind::Silent, "127.0.4.2"},
                                std::pair{Hostile::Kind::Silent, "127.0.4.2"},
                                std::pair{Hostile::Kind::DeafUser, "127.0.4.3"},
                                std::pair{Hostile::Kind::StreamGarbage, "127.0.4.4"}}) {
        Hostile h;
        h.kind = kind;
        h.source = source;
        hostiles.push_back(h);
    }

    const auto loadEnd = begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(minutes * 60));
    bool loadStarted = false;
    Clock::time_point loadBegin;
    auto lastTick = Clock::now();
    auto nextSample = begin + std::chrono::milliseconds(kSampleEveryMs);
    auto nextFileCheck = begin + std::chrono::seconds(1);
    double publicBudget = 0, whisperBudget = 0, privateBudget = 0;
    size_t firstMinuteSample = 6;
    const size_t fifthMinuteSample = 30;

    auto joinedClients = [&] {
        std::vector<Client *> joined;
        for (Client &c : clients) {
            if (c.state == Client::State::Joined)
                joined.push_back(&c);
        }
        return joined;
    };

    std::vector<pollfd> fds;
    std::vector<std::pair<int, int>> owners; // (kind, index): 0 client, 1 hostile, 2 transfer
    while (true) {
        const auto now = Clock::now();
        const bool loading = now < loadEnd;
        if (!loading)
            break;
        const double dt = seconds(now - lastTick);
        lastTick = now;

        if (!loadStarted) {
            bool allIn = true;
            for (int i = firstWatcher; i < kChurners + kWatchers; ++i)
                allIn &= clients[static_cast<size_t>(i)].state == Client::State::Joined;
            if (allIn) {
                loadStarted = true;
                loadBegin = now;
                for (int i = 0; i < kChurners; ++i)
                    clients[static_cast<size_t>(i)].due = now + std::chrono::milliseconds(pick(7000)); // spread, so the first stays overlap no more than later ones
                for (Hostile &h : hostiles)
                    h.due = now + std::chrono::milliseconds(pick(5000));
                lastOffer = now;
                std::vector<Client *> watchers;
                for (int i = firstWatcher; i < kChurners + kWatchers; ++i)
                    watchers.push_back(&clients[static_cast<size_t>(i)]);
                openPrivateWindows(watchers);
            } else if (now - begin > std::chrono::seconds(20)) {
                die("the watchers could not join");
            }
        }

        if (loadStarted) {
            // Churn.
            for (int i = 0; i < kChurners; ++i) {
                Client &c = clients[static_cast<size_t>(i)];
                if (c.state == Client::State::Away && now >= c.due) {
                    connectClient(c, now);
                } else if ((c.state == Client::State::Connecting || c.state == Client::State::Joining)
                           && now - c.joinSent > std::chrono::seconds(10)) {
                    ++totals.refusedJoins;
                    std::fprintf(stderr, "soak_driver: join of %s unanswered\n", c.name.c_str());
                    c.state = Client::State::Away;
                    leave(c, now);
                }
                else if (c.state == Client::State::Joined && now >= c.due)
                    leave(c, now);
            }
            // Lines.
            publicBudget += (seconds(now - loadBegin) < kWarmUpS ? kWarmUpPublicPerSecond : kPublicPerSecond) * dt;
            whisperBudget += kWhispersPerSecond * dt;
            privateBudget += kPrivatePerSecond * dt;
            std::vector<Client *> joined = joinedClients();
            if (!joined.empty()) {
                for (; publicBudget >= 1; publicBudget -= 1)
                    sendPublic(*joined[static_cast<size_t>(pick(int(joined.size())))]);
                for (; whisperBudget >= 1; whisperBudget -= 1)
                    sendDirect(*joined[static_cast<size_t>(pick(int(joined.size())))], true, firstWatcher);
                for (; privateBudget >= 1; privateBudget -= 1)
                    sendDirect(*joined[static_cast<size_t>(pick(int(joined.size())))], false, firstWatcher);
            }
            // A file offer every few seconds, one transfer at a time.
            if (!offerOpen && now - lastOffer >= std::chrono::milliseconds(kOfferEveryMs)) {
                Client &offerer = clients[static_cast<size_t>(firstWatcher)];
                const int id = nextFileId++;
                sendTo(offerer, "$#file:" + offerer.name + ":" + windowName + ":" + offerPath(id) + "#");
                ++totals.offers;
                offerOpen = true;
                lastOffer = now;
            } else if (offerOpen && !transfer && now - lastOffer > std::chrono::milliseconds(kOfferUnansweredMs)) {
                ++totals.unansweredOffers;
                offerOpen = false;
                lastOffer = now - std::chrono::milliseconds(kOfferEveryMs);
            }
            // Hostile peers.
            for (Hostile &h : hostiles) {
                if (now < h.due)
                    continue;
                switch (h.kind) {
                case Hostile::Kind::Garbage:
                    if (h.fd < 0) {
                        h.fd = connectFrom(h.source, serverHost, chatPort);
                        ++totals.hostileConnections;
                    }
                    if (h.fd >= 0) {
                        std::string junk = padding(50) + std::string(1, '\0') + "\xff\xfe$#" + padding(20);
                        ::send(h.fd, junk.data(), junk.size(), MSG_NOSIGNAL);
                    }
                    h.due = now + std::chrono::seconds(2);
                    break;
                case Hostile::Kind::Silent:
                    if (h.fd < 0) {
                        h.fd = connectFrom(h.source, serverHost, chatPort);
                        ++totals.hostileConnections;
                    }
                    h.due = now + std::chrono::seconds(5);
                    break;
                case Hostile::Kind::DeafUser:
                    if (h.fd < 0) {
                        h.fd = connectFrom(h.source, serverHost, chatPort, 4096);
                        ++totals.hostileConnections;
                        ++h.session;
                        h.joined = false;
                    } else if (!h.joined) {
                        const std::string join = "$#neu:taub" + std::to_string(h.session) + ":255:" + h.source + "#";
                        ::send(h.fd, join.data(), join.size(), MSG_NOSIGNAL);
                        h.joined = true;
                    }
                    h.due = now + std::chrono::milliseconds(200);
                    break;
                case Hostile::Kind::StreamGarbage:
                    if (h.fd >= 0)
                        closeHard(h.fd);
                    if (!windowAddress.empty()) {
                        h.fd = connectFrom(h.source, windowAddress, 6711);
                        ++totals.hostileConnections;
                        if (h.fd >= 0) {
                            const std::string junk = "0003eve         5EVIL!";
                            ::send(h.fd, junk.data(), junk.size(), MSG_NOSIGNAL);
                        }
                    }
                    h.due = now + std::chrono::seconds(10);
                    break;
                }
            }
        }

        // Poll everything.
        fds.clear();
        owners.clear();
        for (size_t i = 0; i < clients.size(); ++i) {
            Client &c = clients[i];
            if (c.fd < 0)
                continue;
            short events = POLLIN;
            if (c.state == Client::State::Connecting || !c.out.empty())
                events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
            owners.push_back({0, int(i)});
        }
        for (size_t i = 0; i < hostiles.size(); ++i) {
            Hostile &h = hostiles[i];
            if (h.fd < 0)
                continue;
            // The deaf user never reads; the others notice when the peer closes.
            fds.push_back({h.fd, short(h.kind == Hostile::Kind::DeafUser ? POLLRDHUP : POLLIN | POLLRDHUP), 0});
            owners.push_back({1, int(i)});
        }
        if (transfer) {
            fds.push_back({transfer->fd, short(POLLIN | (transfer->sent < transfer->data.size() ? POLLOUT : 0)), 0});
            owners.push_back({2, 0});
        }
        for (size_t i = 0; i < lingering.size(); ++i) {
            fds.push_back({lingering[i].fd, POLLIN, 0});
            owners.push_back({3, int(i)});
        }
        ::poll(fds.data(), fds.size(), 10);
        const auto after = Clock::now();
        for (size_t k = 0; k < fds.size(); ++k) {
            const short re = fds[k].revents;
            if (!re)
                continue;
            auto [kind, index] = owners[k];
            if (kind == 0) {
                Client &c = clients[static_cast<size_t>(index)];
                if (c.fd != fds[k].fd)
                    continue;
                if (c.state == Client::State::Connecting && (re & (POLLOUT | POLLERR | POLLHUP))) {
                    int error = 0;
                    socklen_t length = sizeof error;
                    ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                    if (error != 0) {
                        std::fprintf(stderr, "soak_driver: connect of %s failed: %s\n", c.name.c_str(),
                                     std::strerror(error));
                        c.state = Client::State::Away;
                        leave(c, after);
                        continue;
                    }
                    c.state = Client::State::Joining;
                    c.joinSent = after;
                    sendTo(c, "$#neu:" + c.name + ":255:" + c.source + "#");
                }
                if (re & POLLOUT)
                    flushOut(c);
                if (re & (POLLIN | POLLERR | POLLHUP))
                    readClient(c, after);
            } else if (kind == 1) {
                Hostile &h = hostiles[static_cast<size_t>(index)];
                if (h.fd != fds[k].fd)
                    continue;
                char junk[4096];
                const ssize_t n = h.kind == Hostile::Kind::DeafUser ? 0 : ::recv(h.fd, junk, sizeof junk, 0);
                if (n == 0 || (re & (POLLHUP | POLLERR | POLLRDHUP))) {
                    // Closed by the server (join time up, stuck reader, refused stream): again later.
                    closeHard(h.fd);
                    h.due = after + std::chrono::seconds(h.kind == Hostile::Kind::StreamGarbage ? 10 : 1);
                }
            } else if (kind == 3) {
                Lingering &l = lingering[static_cast<size_t>(index)];
                char junk[65536];
                ssize_t n;
                while ((n = ::recv(l.fd, junk, sizeof junk, MSG_DONTWAIT)) > 0) {
                }
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    ::close(l.fd);
                    l.fd = -1;
                }
            } else if (transfer && transfer->fd == fds[k].fd) {
                if ((re & POLLOUT) && transfer->sent < transfer->data.size()) {
                    const ssize_t n = ::send(transfer->fd, transfer->data.data() + transfer->sent,
                                             transfer->data.size() - transfer->sent, MSG_NOSIGNAL);
                    if (n > 0)
                        transfer->sent += static_cast<size_t>(n);
                    else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                        endTransfer(false, after);
                        continue;
                    }
                }
                if (re & (POLLIN | POLLHUP | POLLERR)) {
                    char reply[64];
                    const ssize_t n = ::recv(transfer->fd, reply, sizeof reply, 0);
                    if (n > 0)
                        transfer->ack.append(reply, static_cast<size_t>(n));
                    if (transfer->ack.size() >= 16)
                        endTransfer(transfer->ack == "OK              ", after);
                    else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                        endTransfer(false, after);
                }
            }
        }
        for (Lingering &l : lingering) {
            if (l.fd >= 0 && after > l.until)
                closeHard(l.fd);
        }
        std::erase_if(lingering, [](const Lingering &l) { return l.fd < 0; });
        if (transfer && after - transfer->started > std::chrono::seconds(60))
            endTransfer(false, after);
        if (after >= nextFileCheck) {
            checkSavedFiles(after, false);
            nextFileCheck = after + std::chrono::seconds(1);
        }
        if (after >= nextSample) {
            sample(after);
            nextSample += std::chrono::milliseconds(kSampleEveryMs);
        }
    }

    // ---- end of load: everybody leaves, then the processes settle ----
    const auto stopAt = Clock::now();
    std::fprintf(stderr, "soak_driver: load ends; everybody leaves\n");
    for (Hostile &h : hostiles)
        closeHard(h.fd);
    for (int i = 0; i < kChurners; ++i)
        leave(clients[static_cast<size_t>(i)], stopAt);
    // The watchers read what is still on its way, then leave too.
    const auto drainEnd = stopAt + std::chrono::seconds(3);
    while (Clock::now() < drainEnd || transfer) {
        std::vector<pollfd> watch;
        for (int i = firstWatcher; i < kChurners + kWatchers; ++i)
            watch.push_back({clients[static_cast<size_t>(i)].fd, POLLIN, 0});
        if (transfer)
            watch.push_back({transfer->fd, short(POLLIN | (transfer->sent < transfer->data.size() ? POLLOUT : 0)), 0});
        ::poll(watch.data(), watch.size(), 20);
        const auto now = Clock::now();
        for (int i = firstWatcher; i < kChurners + kWatchers; ++i)
            readClient(clients[static_cast<size_t>(i)], now);
        if (transfer) {
            if (transfer->sent < transfer->data.size()) {
                const ssize_t n = ::send(transfer->fd, transfer->data.data() + transfer->sent,
                                         transfer->data.size() - transfer->sent, MSG_NOSIGNAL);
                if (n > 0)
                    transfer->sent += static_cast<size_t>(n);
            }
            char reply[64];
            const ssize_t n = ::recv(transfer->fd, reply, sizeof reply, MSG_DONTWAIT);
            if (n > 0)
                transfer->ack.append(reply, static_cast<size_t>(n));
            if (transfer->ack.size() >= 16)
                endTransfer(transfer->ack == "OK              ", now);
            else if (n == 0 || now - transfer->started > std::chrono::seconds(60))
                endTransfer(false, now);
        }
    }
    for (int i = firstWatcher; i < kChurners + kWatchers; ++i) {
        Client &c = clients[static_cast<size_t>(i)];
        readClient(c, Clock::now(), true);
        // Every public line must have reached every watcher.
        for (const Client &sender : clients) {
            if (sender.publicSeq == 0)
                continue;
            const auto seen = c.lastSeen.find(sender.idx);
            const int64_t last = seen == c.lastSeen.end() ? 0 : seen->second;
            if (last < sender.publicSeq) {
                totals.lost += sender.publicSeq - last;
                std::fprintf(stderr, "soak_driver: %s lacks the last %" PRId64 " lines of u%d\n", c.name.c_str(),
                             sender.publicSeq - last, sender.idx);
            }
        }
    }
    for (size_t id = 0; id < directTarget.size(); ++id) {
        if (directTarget[id] >= 0 && directArrived[id] == 0)
            ++totals.lost;
    }
    for (int i = firstWatcher; i < kChurners + kWatchers; ++i)
        leave(clients[static_cast<size_t>(i)], Clock::now());
    while (!lingering.empty()) {
        std::vector<pollfd> watch;
        for (const Lingering &l : lingering)
            watch.push_back({l.fd, POLLIN, 0});
        ::poll(watch.data(), watch.size(), 50);
        const auto now = Clock::now();
        for (Lingering &l : lingering) {
            char junk[65536];
            ssize_t n;
            while ((n = ::recv(l.fd, junk, sizeof junk, MSG_DONTWAIT)) > 0) {
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || now > l.until) {
                closeHard(l.fd);
            }
        }
        std::erase_if(lingering, [](const Lingering &l) { return l.fd < 0; });
    }

    // Files still being saved, then the processes back at rest.
    const auto settleEnd = Clock::now() + std::chrono::seconds(90);
    const Sample &serverStart = serverSamples.front(), &windowStart = windowSamples.front();
    while (Clock::now() < settleEnd) {
        checkSavedFiles(Clock::now(), false);
        const Sample s = sampleOf(serverPid, 0), w = sampleOf(windowPid, 0);
        if (awaitingFile.empty() && s.fds <= serverStart.fds && s.threads <= serverStart.threads
            && w.fds <= windowStart.fds && w.threads <= windowStart.threads)
            break;
        ::usleep(500 * 1000);
    }
    checkSavedFiles(Clock::now(), true);
    totals.notExact += static_cast<int64_t>(awaitingFile.size());
    const auto end = Clock::now();
    sample(end);

    const double loadSeconds = seconds(stopAt - begin);
    std::printf("\nSoak: %.1f minutes of load, %.0f s to settle afterwards\n\n", loadSeconds / 60,
                seconds(end - stopAt));
    std::printf("| process | measure     |     start | after 1 m | after 5 m |       end |      peak | end against 1 m / start "
                "| end against 5 m |\n");
    std::printf("|---------|-------------|-----------|-----------|-----------|-----------|-----------|-------------------------"
                "|-----------------|\n");
    printSamples("server", serverSamples, firstMinuteSample, fifthMinuteSample);
    printSamples("window", windowSamples, firstMinuteSample, fifthMinuteSample);
    const int64_t linesSent = totals.publicSent + totals.whispersSent + totals.privateSent;
    std::printf("\n| load | count |\n|---|---|\n");
    std::printf("| lines sent (public / whispers / private) | %" PRId64 " (%" PRId64 " / %" PRId64 " / %" PRId64 ") |\n",
                linesSent, totals.publicSent, totals.whispersSent, totals.privateSent);
    std::printf("| lines delivered to raw clients | %" PRId64 " |\n", totals.delivered);
    std::printf("| lost | %" PRId64 " |\n", totals.lost);
    std::printf("| misdelivered | %" PRId64 " |\n", totals.misdelivered);
    std::printf("| whispers and private lines to the window (shown there, not counted) | %" PRId64 " |\n",
                totals.toWindowSent);
    std::printf("| joins / join-leave cycles | %" PRId64 " / %" PRId64 " |\n", totals.joins, totals.cycles);
    std::printf("| join answered: mean / worst | %.1f ms / %.1f ms |\n",
                totals.joins ? 1000 * totals.joinSecondsSum / totals.joins : 0.0, 1000 * totals.joinSecondsMax);
    std::printf("| joins refused / users dropped by the server | %" PRId64 " / %" PRId64 " |\n", totals.refusedJoins,
                totals.droppedUsers);
    std::printf("| user lists received | %" PRId64 " |\n", totals.listsReceived);
    std::printf("| file offers / accepted / declined / unanswered | %" PRId64 " / %" PRId64 " / %" PRId64 " / %" PRId64
                " |\n",
                totals.offers, totals.accepted, totals.declined, totals.unansweredOffers);
    std::printf("| transfers done / failed | %" PRId64 " / %" PRId64 " |\n", totals.transfersDone,
                totals.transfersFailed);
    std::printf("| saved byte-exact / not | %" PRId64 " / %" PRId64 " |\n", totals.byteExact, totals.notExact);
    std::printf("| hostile connections opened | %" PRId64 " |\n", totals.hostileConnections);
    std::printf("| unexpected pieces | %" PRId64 " |\n", totals.unknownPieces);
    std::fflush(stdout);
    const bool ok = totals.lost == 0 && totals.misdelivered == 0 && totals.notExact == 0;
    return ok ? 0 : 1;
}
