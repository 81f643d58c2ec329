// Appends chat lines to a view that is empty and to one that already holds
// its 5,000 lines, one line per pass of the event loop (as a server relays
// them), and prints the processor time per line and how often the view was
// painted. Then resizes the full view back and forth and prints the time for
// one resize, until it is painted again. The line view is set against the
// text-document widgets the windows used before, capped the same way.
//
// Two more loads follow, for every view: lines that stream in faster than the
// frame rate (a timer that fires every millisecond and appends two lines, as a
// busy server's relay does), and lines that mix scripts (German, Polish,
// Greek, CJK and emoji, which need fallback fonts).
//
//   bench_views [lines] [view name prefix]      (default 500, all views)
//
// Run with QT_QPA_PLATFORM=offscreen, or under a display to include its painting.

#include "widgets/lineview.h"

#include <QApplication>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <memory>

namespace {

constexpr int kCap = 5000;
// The server's "Meldungen" view.
constexpr int kWidth = 257;
constexpr int kHeight = 145;
constexpr int kResizes = 20;
constexpr int kSettleMs = 40;

QString chatLine(int i)
{
    return QStringLiteral("user%1: the quick brown fox jumps over the lazy dog, line %2").arg(i % 100).arg(i);
}

// Polish, Greek, Chinese, Japanese and emoji between German words.
QString mixedLine(int i)
{
    static const QString words[] = {
        QStringLiteral("Grüße"), QStringLiteral("\U0001F44D"), QStringLiteral("Łódź"), QStringLiteral("€"),
        QStringLiteral("Ελλάδα"), QStringLiteral("日本"), QStringLiteral("Zażółć gęślą jaźń"),
        QStringLiteral("你好，世界"), QStringLiteral("\U0001F600\U0001F389"), QStringLiteral("Καλημέρα"),
        QStringLiteral("東京タワー"), QStringLiteral("Straße")};
    constexpr int count = static_cast<int>(std::size(words));
    QString line = QStringLiteral("Łukasz%1:").arg(i % 100);
    for (int k = 0; k < 8; ++k)
        line += u' ' + words[(i + k * 5) % count];
    return line + QStringLiteral(" %1").arg(i);
}

using TextOf = QString (*)(int);

QColor colourOf(int i)
{
    return QColor::fromHsv((i * 37) % 360, 255, 160);
}

// Processor time rather than wall time: the figures stay put on a busy machine.
double cpuMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

struct Subject
{
    const char *name;
    std::function<std::unique_ptr<QWidget>()> make;
    std::function<void(QWidget *, const QString &, const QColor &)> append;
};

// Counts the paint events a view's viewport receives.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *view) { static_cast<QAbstractScrollArea *>(view)->viewport()->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

struct Run
{
    double micros = 0;      // processor time per line
    double paints = 0;      // paints per 100 lines
    double linesPerSecond = 0;
};

// Lines the line view laid out in the last full-view runs, all and those not on screen.
struct Layouts
{
    int64_t prefill = 0;
    int64_t appended = 0;
    int64_t resized = 0;
    int64_t offScreen = 0;
};
Layouts layouts;

int64_t laidOut(QWidget *view)
{
    const auto *lines = qobject_cast<const kc::LineView *>(view);
    return lines ? lines->linesLaidOut() : 0;
}

int64_t laidOutOffScreen(QWidget *view)
{
    const auto *lines = qobject_cast<const kc::LineView *>(view);
    return lines ? lines->linesLaidOutOffScreen() : 0;
}

// Runs the event loop long enough for a view to lay out and paint its last frame.
void settle()
{
    QEventLoop loop;
    QTimer::singleShot(kSettleMs, &loop, &QEventLoop::quit);
    loop.exec();
}

// Processor time per appended line after `prefill` lines, one line per pass of
// the event loop, the last frame included.
Run perLine(const Subject &subject, int prefill, int lines, TextOf text = chatLine)
{
    std::unique_ptr<QWidget> view = subject.make();
    view->resize(kWidth, kHeight);
    view->show();
    for (int i = 0; i < prefill; ++i)
        subject.append(view.get(), text(i), colourOf(i));
    QApplication::processEvents();
    PaintCounter counter(view.get());
    const int64_t before = laidOut(view.get());
    const double start = cpuMicroseconds();
    for (int i = 0; i < lines; ++i) {
        subject.append(view.get(), text(prefill + i), colourOf(prefill + i));
        QApplication::processEvents();
    }
    settle();
    Run run;
    run.micros = (cpuMicroseconds() - start) / lines;
    run.paints = 100.0 * counter.paints / lines;
    if (prefill > 0) {
        layouts.prefill = before;
        layouts.appended = laidOut(view.get()) - before;
        layouts.offScreen = laidOutOffScreen(view.get());
    }
    return run;
}

double wallMicroseconds();

// Lines from a timer, `perTick` every `intervalMs`, with the event loop
// running in between: two every millisecond stream in faster than the frame
// rate, one every 20 ms comes slower. Processor time per line includes the
// last repaint.
Run streamed(const Subject &subject, int prefill, int lines, int intervalMs = 1, int perTick = 2,
             TextOf text = chatLine)
{
    std::unique_ptr<QWidget> view = subject.make();
    view->resize(kWidth, kHeight);
    view->show();
    for (int i = 0; i < prefill; ++i)
        subject.append(view.get(), text(i), colourOf(i));
    QApplication::processEvents();
    PaintCounter counter(view.get());
    QEventLoop loop;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(intervalMs);
    int sent = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        for (int k = 0; k < perTick && sent < lines; ++k, ++sent)
            subject.append(view.get(), text(prefill + sent), colourOf(prefill + sent));
        if (sent == lines) {
            tick.stop();
            QTimer::singleShot(kSettleMs, &loop, &QEventLoop::quit);
        }
    });
    const double start = cpuMicroseconds();
    const double wall = wallMicroseconds();
    tick.start();
    loop.exec();
    Run run;
    run.micros = (cpuMicroseconds() - start) / lines;
    run.paints = 100.0 * counter.paints / lines;
    run.linesPerSecond = lines / ((wallMicroseconds() - wall - kSettleMs * 1e3) / 1e6);
    return run;
}

double wallMicroseconds()
{
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Resize
{
    double cpuMs = 0;
    double wallMs = 0;
};

// Milliseconds per resize of a full view, until it has been painted at its new size.
Resize perResize(const Subject &subject)
{
    std::unique_ptr<QWidget> view = subject.make();
    view->resize(kWidth, kHeight);
    view->show();
    for (int i = 0; i < kCap; ++i)
        subject.append(view.get(), chatLine(i), colourOf(i));
    QApplication::processEvents();
    view->repaint();
    const int64_t before = laidOut(view.get());
    const double cpu = cpuMicroseconds();
    const double wall = wallMicroseconds();
    for (int i = 0; i < kResizes; ++i) {
        view->resize(i % 2 == 0 ? kWidth + 143 : kWidth, kHeight + (i % 2 == 0 ? 60 : 0));
        QApplication::processEvents();
        view->repaint();
    }
    const Resize resize{(cpuMicroseconds() - cpu) / kResizes / 1e3, (wallMicroseconds() - wall) / kResizes / 1e3};
    layouts.resized = laidOut(view.get()) - before;
    layouts.offScreen += laidOutOffScreen(view.get());
    return resize;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int lines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;

    const Subject subjects[] = {
        {"LineView", [] { return std::make_unique<kc::LineView>(nullptr, kCap); },
         [](QWidget *w, const QString &text, const QColor &colour) {
             static_cast<kc::LineView *>(w)->appendText(text, colour);
         }},
        {"QTextEdit (coloured blocks)",
         [] {
             auto edit = std::make_unique<QTextEdit>();
             edit->setReadOnly(true);
             edit->document()->setMaximumBlockCount(kCap);
             return edit;
         },
         [](QWidget *w, const QString &text, const QColor &colour) {
             auto *edit = static_cast<QTextEdit *>(w);
             QTextCursor cursor(edit->document());
             cursor.movePosition(QTextCursor::End);
             QTextCharFormat format;
             format.setForeground(colour);
             cursor.insertBlock(QTextBlockFormat(), format);
             cursor.insertText(text, format);
             edit->verticalScrollBar()->setValue(edit->verticalScrollBar()->maximum());
         }},
        {"QPlainTextEdit (log)",
         [] {
             auto edit = std::make_unique<QPlainTextEdit>();
             edit->setReadOnly(true);
             edit->setMaximumBlockCount(kCap);
             return edit;
         },
         [](QWidget *w, const QString &text, const QColor &) {
             static_cast<QPlainTextEdit *>(w)->appendPlainText(text);
         }},
    };

    std::printf("platform %s, %d lines appended one per event-loop pass, views capped at %d lines, %d x %d "
                "pixels;\n%d resizes of a full view between %d and %d pixels wide\n\n",
                qPrintable(QApplication::platformName()), lines, kCap, kWidth, kHeight, kResizes, kWidth, kWidth + 143);
    std::printf("%-28s %14s %14s %11s %16s %14s %15s %16s\n", "view", "empty us/line", "full us/line", "full/empty",
                "full vs LineView", "resize cpu ms", "resize wall ms", "paints/100 lines");
    double lineViewFull = 0;
    Layouts lineView;
    const QString only = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    for (const Subject &subject : subjects) {
        if (!QString::fromLatin1(subject.name).startsWith(only))
            continue;
        perLine(subject, 0, 100); // warms the font and glyph caches, not counted
        const Run empty = perLine(subject, 0, lines);
        const Run full = perLine(subject, kCap, lines);
        if (lineViewFull == 0)
            lineViewFull = full.micros;
        const Resize resize = perResize(subject);
        if (lineViewFull == full.micros)
            lineView = layouts;
        std::printf("%-28s %14.1f %14.1f %11.2f %16.1f %14.2f %15.2f %16.1f\n", subject.name, empty.micros,
                    full.micros, full.micros / empty.micros, full.micros / lineViewFull, resize.cpuMs, resize.wallMs,
                    full.paints);
    }
    if (lineViewFull > 0)
        std::printf("\nLineView, lines laid out in the full view: %lld on showing %d lines, %.2f per appended "
                    "line, %.1f per resize; not on screen: %lld\n",
                    static_cast<long long>(lineView.prefill), kCap,
                    static_cast<double>(lineView.appended) / lines,
                    static_cast<double>(lineView.resized) / kResizes, static_cast<long long>(lineView.offScreen));

    const int streamLines = 2 * lines;
    const int slowLines = std::max(1, lines / 5);
    std::printf("\nstream: %d lines, two per millisecond from a timer (faster than the 60 Hz frame rate); mixed "
                "scripts: %d lines one per pass;\nslow: %d lines, one every 20 ms (each its own frame), chat and "
                "mixed-script lines\n\n",
                streamLines, lines, slowLines);
    std::printf("%-28s %-14s %14s %14s %11s %16s %14s\n", "view", "load", "empty us/line", "full us/line",
                "full/empty", "paints/100 lines", "lines/s");
    for (const Subject &subject : subjects) {
        if (!QString::fromLatin1(subject.name).startsWith(only))
            continue;
        const Run empty = streamed(subject, 0, streamLines);
        const Run full = streamed(subject, kCap, streamLines);
        std::printf("%-28s %-14s %14.1f %14.1f %11.2f %16.1f %14.0f\n", subject.name, "stream", empty.micros,
                    full.micros, full.micros / empty.micros, full.paints, full.linesPerSecond);
        perLine(subject, 0, 100, mixedLine); // fallback fonts loaded, not counted
        const Run mixedEmpty = perLine(subject, 0, lines, mixedLine);
        const Run mixedFull = perLine(subject, kCap, lines, mixedLine);
        std::printf("%-28s %-14s %14.1f %14.1f %11.2f %16.1f %14s\n", subject.name, "mixed scripts",
                    mixedEmpty.micros, mixedFull.micros, mixedFull.micros / mixedEmpty.micros, mixedFull.paints, "");
        for (const auto &[load, text] : {std::pair{"slow", TextOf(chatLine)}, std::pair{"slow, mixed", TextOf(mixedLine)}}) {
            const Run slowEmpty = streamed(subject, 0, slowLines, 20, 1, text);
            const Run slowFull = streamed(subject, kCap, slowLines, 20, 1, text);
            std::printf("%-28s %-14s %14.1f %14.1f %11.2f %16.1f %14.0f\n", subject.name, load, slowEmpty.micros,
                        slowFull.micros, slowFull.micros / slowEmpty.micros, slowFull.paints, slowFull.linesPerSecond);
        }
    }
    return 0;
}
