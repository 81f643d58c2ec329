// Appends chat lines to a view that is empty and to one that already holds
// its 5,000 lines, one line per pass of the event loop (as a server relays
// them), and prints the processor time per line. The line view is set against the
// text-document widgets the windows used before, capped the same way.
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

#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <functional>
#include <memory>

namespace {

constexpr int kCap = 5000;

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

// Microseconds per appended line after `prefill` lines.
double perLine(const Subject &subject, int prefill, int lines)
{
    std::unique_ptr<QWidget> view = subject.make();
    view->resize(257, 145);
    view->show();
    for (int i = 0; i < prefill; ++i)
        subject.append(view.get(), i);
    QApplication::processEvents();
    const double start = cpuMicroseconds();
    for (int i = 0; i < lines; ++i) {
        subject.append(view.get(), prefill + i);
        QApplication::processEvents();
    }
    return (cpuMicroseconds() - start) / lines;
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

    std::printf("platform %s, %d lines appended one per event-loop pass, views capped at %d lines\n\n",
                qPrintable(QApplication::platformName()), lines, kCap);
    std::printf("%-28s %14s %14s %11s %16s\n", "view", "empty us/line", "full us/line", "full/empty",
                "full vs LineView");
    double lineViewFull = 0;
    const QString only = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    for (const Subject &subject : subjects) {
        if (!QString::fromLatin1(subject.name).startsWith(only))
            continue;
        const double empty = perLine(subject, 0, lines);
        const double full = perLine(subject, kCap, lines);
        if (lineViewFull == 0)
            lineViewFull = full;
        std::printf("%-28s %14.1f %14.1f %11.2f %16.1f\n", subject.name, empty, full, full / empty,
                    full / lineViewFull);
    }
    return 0;
}
