// The search through the chat logs over a year of logs: 365 days of 2,000
// lines (main chat, two rooms, three private chats), a word in 1 % of the
// lines. Measures, against the goals:
//   - a search from a cold start: a new process, the index present, until the
//     first lines and until all of them (goals 50 ms and 200 ms), medians of
//     3, once with the page cache as it is and once with the index's pages
//     dropped from it first (posix_fadvise DONTNEED on the index files, which
//     needs no root; the logs themselves are not read by a search);
//   - the CPU time the indexing thread spends per line, building the index
//     from the text and indexing lines as they are written (goal 50 us);
//   - the time from a line written to findable (goal 2 s).
//
// Usage: bench_logsearch [FOLDER]    (default: /tmp/kc-bench-logsearch)
// The logs are made once and kept; the index is built anew each run.
// Internal: bench_logsearch query FOLDER INPUT [--evict]
#include "logsearch/logindex.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kDays = 365;
constexpr int kLinesPerDay = 2000;
const char *const kWord = "Zimtschnecke";
constexpr double kFirstGoalMs = 50;
constexpr double kFullGoalMs = 200;
constexpr double kCpuGoalUs = 50;
constexpr double kFindableGoalMs = 2000;

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

QString server()
{
    return QStringLiteral("192.168.0.5_5757");
}

/// A year of logs ending yesterday; one line in a hundred holds kWord.
void makeLogs(const QString &folder)
{
    std::mt19937 random(37);
    const QStringList names = {QStringLiteral("anna"),   QStringLiteral("bettina"), QStringLiteral("carl"),
                               QStringLiteral("dora"),   QStringLiteral("emil"),    QStringLiteral("frieda"),
                               QStringLiteral("günther"), QStringLiteral("hans"),    QStringLiteral("ilse"),
                               QStringLiteral("jürgen"), QStringLiteral("karin"),   QStringLiteral("lena")};
    const QStringList words = QStringLiteral(
        "ich du wir sie das die der und nicht noch schon heute morgen gestern Besprechung Kaffee Drucker Server "
        "Termin Projekt Kunde Angebot Rechnung bitte danke genau vielleicht später Mittag Kantine Update Fehler "
        "Ticket erledigt Freigabe Urlaub krank Büro Meeting Zahlen Bericht Entwurf Version Liste Datei geschickt "
        "gelesen prüfe schaue melde mich gleich kurz lange Woche Montag Freitag Küche Tür Schlüssel Paket Post "
        "Lieferung Zug Stau Homeoffice Kalender Raum Telefon Mail Anhang wichtig dringend egal super prima okay")
                                  .split(u' ');
    // Conversations and their share of a day's lines.
    struct Conversation
    {
        QString relative;
        int lines;
    };
    const QList<Conversation> conversations = {
        {QStringLiteral("chat-"), 1400},
        {QStringLiteral("raum/Projekt%20Nord-"), 200},
        {QStringLiteral("raum/K%C3%BCche-"), 100},
        {QStringLiteral("privat/anna-"), 150},
        {QStringLiteral("privat/carl-"), 100},
        {QStringLiteral("privat/dora-"), 50},
    };
    int written = 0;
    for (int d = kDays; d >= 1; --d) {
        const QDate day = QDate::currentDate().addDays(-d);
        for (const Conversation &conversation : conversations) {
            const QString path =
                folder + u'/' + server() + u'/' + conversation.relative + day.toString(Qt::ISODate) + QStringLiteral(".log");
            QDir().mkpath(QFileInfo(path).path());
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
                std::exit(1);
            }
            QByteArray bytes;
            int second = 8 * 3600;
            for (int i = 0; i < conversation.lines; ++i) {
                second += 1 + static_cast<int>(random() % (10 * 3600 / conversation.lines * 2));
                second = std::min(second, 86399);
                QString text = names[static_cast<int>(random() % names.size())] + QStringLiteral(": ");
                // Lengths as a chat has them: mostly short, some long.
                const int count = 2 + static_cast<int>(random() % 8) + (random() % 10 == 0 ? 25 : 0);
                for (int w = 0; w < count; ++w)
                    text += (w ? QStringLiteral(" ") : QString()) + words[static_cast<int>(random() % words.size())];
                if (++written % 100 == 0)
                    text += QStringLiteral(" ") + QString::fromLatin1(kWord);
                bytes += QStringLiteral("[%1] %2\n")
                             .arg(QTime(0, 0).addSecs(second).toString(QStringLiteral("HH:mm:ss")), text)
                             .toUtf8();
            }
            file.write(bytes);
        }
    }
}

void evict(const QString &folder)
{
    const QString index = logsearch::LogStore::indexFile(folder);
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        const int fd = ::open(QFile::encodeName(index + suffix).constData(), O_RDONLY);
        if (fd < 0)
            continue;
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

/// One search in a fresh process, as the window's thread runs it: prints
/// "first full hits" in milliseconds from before the index is opened.
int query(const QString &folder, const QString &input, bool drop)
{
    if (drop)
        evict(folder);
    const Clock::time_point start = Clock::now();
    double first = -1;
    int hits = 0;
    logsearch::LogStore store(folder);
    store.open(false);
    store.search(logsearch::parseQuery(input), logsearch::LogIndex::kMaxHits, logsearch::LogIndex::kFirstHits,
                 [&](const QList<logsearch::LogHit> &found, bool) {
                     hits += static_cast<int>(found.size());
                     if (first < 0)
                         first = msSince(start);
                     return true;
                 });
    const double full = msSince(start);
    std::printf("%.3f %.3f %d\n", first, full, hits);
    return 0;
}

struct Cold
{
    double first = 0;
    double full = 0;
    int hits = 0;
};

Cold coldSearch(const QString &self, const QString &folder, const QString &input, bool drop)
{
    QProcess process;
    QStringList arguments = {QStringLiteral("query"), folder, input};
    if (drop)
        arguments << QStringLiteral("--evict");
    process.start(self, arguments);
    process.waitForFinished(-1);
    const QStringList parts = QString::fromLatin1(process.readAllStandardOutput()).split(u' ');
    if (parts.size() < 3)
        return {};
    return {parts[0].toDouble(), parts[1].toDouble(), parts[2].trimmed().toInt()};
}

QString ratio(double measured, double goal)
{
    return QString::asprintf("%.2f", measured / goal);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() >= 4 && arguments[1] == QStringLiteral("query"))
        return query(arguments[2], arguments[3], arguments.contains(QStringLiteral("--evict")));
    const QString folder = arguments.size() >= 2 ? arguments[1] : QStringLiteral("/tmp/kc-bench-logsearch");

    if (!QFileInfo::exists(folder + u'/' + server())) {
        const Clock::time_point start = Clock::now();
        makeLogs(folder);
        std::printf("made %d days x %d lines in %.1f s\n", kDays, kLinesPerDay, msSince(start) / 1000);
    }

    // Building the index from the text.
    logsearch::LogStore::removeIndex(folder);
    double buildSeconds = 0;
    double buildCpuUs = 0;
    qint64 lines = 0;
    {
        logsearch::LogIndex index;
        index.setFolder(folder);
        const Clock::time_point start = Clock::now();
        index.start();
        index.waitIdle();
        buildSeconds = msSince(start) / 1000;
        lines = index.linesIndexed();
        buildCpuUs = index.indexingNanoseconds() / 1000.0 / std::max<qint64>(1, lines);
    }
    const qint64 indexBytes = QFileInfo(logsearch::LogStore::indexFile(folder)).size();

    // Searches from a cold start, medians of 3; each run in a new process.
    const QString typed = QString::fromLatin1(kWord);
    const QString finished = typed + u' ';
    struct Row
    {
        const char *name;
        QString input;
        bool drop;
        std::vector<double> first, full;
        int hits = 0;
    };
    std::vector<Row> rows = {{"typed (prefix), page cache as is", typed, false, {}, {}},
                             {"typed (prefix), index evicted", typed, true, {}, {}},
                             {"finished word, page cache as is", finished, false, {}, {}},
                             {"finished word, index evicted", finished, true, {}, {}}};
    for (int run = 0; run < 3; ++run) {
        for (Row &row : rows) {
            const Cold cold = coldSearch(QCoreApplication::applicationFilePath(), folder, row.input, row.drop);
            row.first.push_back(cold.first);
            row.full.push_back(cold.full);
            row.hits = cold.hits;
        }
    }

    // Lines written while the index runs: findable after how long, and at what CPU cost.
    const QString today = folder + u'/' + server() + QStringLiteral("/chat-") + QDate::currentDate().toString(Qt::ISODate)
                          + QStringLiteral(".log");
    QFile::remove(today);
    std::vector<double> findable;
    double liveCpuUs = 0;
    {
        logsearch::LogIndex index;
        index.setFolder(folder);
        index.start();
        index.waitIdle();
        logsearch::LogStore reader(folder);
        reader.open(false);
        const auto append = [&today](const QByteArray &bytes) {
            QFile file(today);
            file.open(QIODevice::Append);
            file.write(bytes);
        };
        for (int probe = 0; probe < 20; ++probe) {
            const QString token = QStringLiteral("probe%1x").arg(probe);
            append(QStringLiteral("[%1] anna: %2 steht jetzt im Verlauf\n")
                       .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), token)
                       .toUtf8());
            const Clock::time_point written = Clock::now();
            index.fileWritten(today);
            for (;;) {
                int hits = 0;
                reader.search(logsearch::parseQuery(token + u' '), 10, 10,
                              [&hits](const QList<logsearch::LogHit> &found, bool) {
                                  hits += static_cast<int>(found.size());
                                  return true;
                              });
                if (hits > 0 || msSince(written) > 10000)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            findable.push_back(msSince(written));
        }
        index.waitIdle();
        // Bursts of 20 lines, each burst told to the index as the chat log tells it.
        const qint64 cpuBefore = index.indexingNanoseconds();
        const qint64 linesBefore = index.linesIndexed();
        std::mt19937 random(5);
        for (int burst = 0; burst < 250; ++burst) {
            QByteArray bytes;
            for (int i = 0; i < 20; ++i)
                bytes += QStringLiteral("[%1] carl: Zeile %2 mit ein paar Wörtern mehr, Nummer %3\n")
                             .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")))
                             .arg(burst * 20 + i)
                             .arg(random())
                             .toUtf8();
            append(bytes);
            index.fileWritten(today);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        index.waitIdle();
        liveCpuUs = (index.indexingNanoseconds() - cpuBefore) / 1000.0
                    / std::max<qint64>(1, index.linesIndexed() - linesBefore);
    }
    QFile::remove(today);

    std::printf("Search through a year of logs: %lld lines in %d days, the word \"%s\" in 1 %% of them; "
                "index %.1f MiB, built in %.1f s.\n",
                static_cast<long long>(lines), kDays, kWord, indexBytes / 1048576.0, buildSeconds);
    std::printf("Cold start: a new process opens the index and searches; medians of 3. \"index evicted\": the index "
                "files' pages dropped from the page cache first (posix_fadvise DONTNEED).\n\n");
    std::printf("| %-34s | %6s | %13s | %13s | %11s | %11s |\n", "search", "lines", "first ms", "all ms",
                "first/50ms", "all/200ms");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(8, '-').c_str(),
                std::string(15, '-').c_str(), std::string(15, '-').c_str(), std::string(13, '-').c_str(),
                std::string(13, '-').c_str());
    for (const Row &row : rows) {
        const double first = median(row.first);
        const double full = median(row.full);
        std::printf("| %-34s | %6d | %13.1f | %13.1f | %11s | %11s |\n", row.name, row.hits, first, full,
                    qPrintable(ratio(first, kFirstGoalMs)), qPrintable(ratio(full, kFullGoalMs)));
    }
    std::printf("\nIndexing CPU per line (goal <= 50 us):\n");
    std::printf("  building from the text:  %6.1f us  (%s of the goal)\n", buildCpuUs, qPrintable(ratio(buildCpuUs, kCpuGoalUs)));
    std::printf("  lines as they are written (bursts of 20): %6.1f us  (%s of the goal)\n", liveCpuUs,
                qPrintable(ratio(liveCpuUs, kCpuGoalUs)));
    std::printf("Written to findable, median of %zu lines (goal <= 2000 ms): %.0f ms, worst %.0f ms (%s of the goal)\n",
                findable.size(), median(findable), *std::max_element(findable.begin(), findable.end()),
                qPrintable(ratio(median(findable), kFindableGoalMs)));
    return 0;
}
