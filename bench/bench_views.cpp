// Appends chat lines to a view that is empty and to one that already holds
// its 5,000 lines, one line per pass of the event loop (as a server relays
// them), and prints the processor time per line. Then resizes the full view
// back and forth and prints the time for one resize, until it is painted again.
// The line view is set against the text-document widgets the windows used
// before, capped the same way.
//
//   bench_views [lines] [view name prefix]      (default 500, all views)
//
// Run with QT_QPA_PLATFORM=offscreen, or under a display to include its painting.

#include "widgets/lineview.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextEdit>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <functional>
#include <memory>

namespace {

constexpr int kCap = 5000;
// The server's "Meldungen" view.
constexpr int kWidth = 257;
constexpr int kHeight = 145;
constexpr int kResizes = 20;

QString chatLine(int i)
{
    return QStringLiteral("user%1: the quick brown fox jumps over the lazy dog, line %2").arg(i % 100).arg(i);
}

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
    std::function<void(QWidget *, int)> append;
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

// Microseconds per appended line after `prefill` lines.
double perLine(const Subject &subject, int prefill, int lines)
{
    std::unique_ptr<QWidget> view = subject.make();
    view->resize(kWidth, kHeight);
    view->show();
    for (int i = 0; i < prefill; ++i)
        subject.append(view.get(), i);
    QApplication::processEvents();
    const int64_t before = laidOut(view.get());
    const double start = cpuMicroseconds();
    for (int i = 0; i < lines; ++i) {
        subject.append(view.get(), prefill + i);
        QApplication::processEvents();
    }
    const double micros = (cpuMicroseconds() - start) / lines;
    if (prefill > 0) {
        layouts.prefill = before;
        layouts.appended = laidOut(view.get()) - before;
        layouts.offScreen = laidOutOffScreen(view.get());
    }
    return micros;
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
        subject.append(view.get(), i);
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
         [](QWidget *w, int i) { static_cast<kc::LineView *>(w)->appendText(chatLine(i), colourOf(i)); }},
        {"QTextEdit (coloured blocks)",
         [] {
             auto edit = std::make_unique<QTextEdit>();
             edit->setReadOnly(true);
             edit->document()->setMaximumBlockCount(kCap);
             return edit;
         },
         [](QWidget *w, int i) {
             auto *edit = static_cast<QTextEdit *>(w);
             QTextCursor cursor(edit->document());
             cursor.movePosition(QTextCursor::End);
             QTextCharFormat format;
             format.setForeground(colourOf(i));
             cursor.insertBlock(QTextBlockFormat(), format);
             cursor.insertText(chatLine(i), format);
             edit->verticalScrollBar()->setValue(edit->verticalScrollBar()->maximum());
         }},
        {"QPlainTextEdit (log)",
         [] {
             auto edit = std::make_unique<QPlainTextEdit>();
             edit->setReadOnly(true);
             edit->setMaximumBlockCount(kCap);
             return edit;
         },
         [](QWidget *w, int i) { static_cast<QPlainTextEdit *>(w)->appendPlainText(chatLine(i)); }},
    };

    std::printf("platform %s, %d lines appended one per event-loop pass, views capped at %d lines, %d x %d "
                "pixels;\n%d resizes of a full view between %d and %d pixels wide\n\n",
                qPrintable(QApplication::platformName()), lines, kCap, kWidth, kHeight, kResizes, kWidth, kWidth + 143);
    std::printf("%-28s %14s %14s %11s %16s %14s %15s\n", "view", "empty us/line", "full us/line", "full/empty",
                "full vs LineView", "resize cpu ms", "resize wall ms");
    double lineViewFull = 0;
    Layouts lineView;
    const QString only = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    for (const Subject &subject : subjects) {
        if (!QString::fromLatin1(subject.name).startsWith(only))
            continue;
        perLine(subject, 0, 100); // warms the font and glyph caches, not counted
        const double empty = perLine(subject, 0, lines);
        const double full = perLine(subject, kCap, lines);
        if (lineViewFull == 0)
            lineViewFull = full;
        const Resize resize = perResize(subject);
        if (lineViewFull == full)
            lineView = layouts;
        std::printf("%-28s %14.1f %14.1f %11.2f %16.1f %14.2f %15.2f\n", subject.name, empty, full, full / empty,
                    full / lineViewFull, resize.cpuMs, resize.wallMs);
    }
    if (lineViewFull > 0)
        std::printf("\nLineView, lines laid out in the full view: %lld on showing %d lines, %.2f per appended "
                    "line, %.1f per resize; not on screen: %lld\n",
                    static_cast<long long>(lineView.prefill), kCap,
                    static_cast<double>(lineView.appended) / lines,
                    static_cast<double>(lineView.resized) / kResizes, static_cast<long long>(lineView.offScreen));
    return 0;
}
