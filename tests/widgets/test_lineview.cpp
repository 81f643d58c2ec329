#include "widgets/lineview.h"

#include "widgets/contrast.h"
#include "widgets/findbar.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

#include <QGlyphRun>
#include <QRawFont>
#include <QTextLayout>

#include <cmath>
#include <numeric>

using kc::LineView;

namespace {

// Shows `view` with continuation rows just wide enough for `wrapAt` (a
// line's first row is continuationIndent() wider) and a viewport `rows` rows high.
void fit(LineView &view, const QString &wrapAt, int rows = 10)
{
    view.show();
    const int width = static_cast<int>(std::ceil(QFontMetricsF(view.font()).horizontalAdvance(wrapAt)))
        + view.continuationIndent();
    const int height = rows * view.fontMetrics().lineSpacing();
    view.resize(view.width() + width - view.wrapWidth(), view.height() + height - view.viewport()->height());
    QCOMPARE(view.wrapWidth(), width);
    QCOMPARE(view.viewport()->height(), height);
}

// Waits for the frame that lays out and shows what was appended.
bool settled(const LineView &view)
{
    return QTest::qWaitFor([&view] { return !view.hasPendingFrame(); });
}

} // namespace

class TestLineView : public QObject
{
    Q_OBJECT

private slots:
    void appendKeepsEachTextOneLine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("folded");
        // The rows where continuation rows wrap at the width of `wrapAt`; unchecked when empty.
        QTest::addColumn<QString>("wrapAt");
        QTest::addColumn<QStringList>("rows");
        const QString x10(10, u'x');
        QTest::newRow("one line") << QStringLiteral("bob: hallo") << QStringLiteral("bob: hallo") << false << QString()
                                  << QStringList();
        QTest::newRow("wraps at a word boundary")
            << QStringLiteral("Guten Morgen zusammen") << QStringLiteral("Guten Morgen zusammen") << false
            << QStringLiteral("Guten Morgen")
            << QStringList{QStringLiteral("Guten Morgen "), QStringLiteral("zusammen")};
        QTest::newRow("breaks inside a word only where it is wider than the view")
            << QStringLiteral("ab ") + QString(25, u'x') << QStringLiteral("ab ") + QString(25, u'x') << false << x10
            << QStringList{QStringLiteral("ab "), x10, x10, QString(5, u'x')};
        QTest::newRow("empty text is an empty line") << QString() << QString() << false << QString() << QStringList();
        QTest::newRow("a fake author stays in the line")
            << QStringLiteral("ok\nAnna: Ich gebe heute allen einen aus!")
            << QStringLiteral("ok\nAnna: Ich gebe heute allen einen aus!") << false
            << QStringLiteral("Anna: Ich gebe heute allen einen aus!")
            << QStringList{QStringLiteral("ok\n"), QStringLiteral("Anna: Ich gebe heute allen einen aus!")};
        QTest::newRow("every kind of line break, one kind kept")
            << QStringLiteral("a\nb\r\nc\rd\u2029e\u0085f") << QStringLiteral("a\nb\nc\nd\ne\nf") << false
            << x10
            << QStringList{"a\n", "b\n", "c\n", "d\n", "e\n", "f"};
        QTest::newRow("markup stays text")
            << QStringLiteral("<b>fett</b> &amp;") << QStringLiteral("<b>fett</b> &amp;") << false << QString()
            << QStringList();
        QTest::newRow("2000 characters are shown")
            << QString(LineView::kFoldChars, u'x') << QString(LineView::kFoldChars, u'x') << false << QString()
            << QStringList();
        QTest::newRow("a longer line is folded and kept whole")
            << QString(60000, u'x') << QString(60000, u'x') << true << QString() << QStringList();
        QString paste;
        for (int i = 0; i < 100; ++i)
            paste += QStringLiteral("Zeile %1\n").arg(i);
        QTest::newRow("a long paste is folded after its 20th break") << paste << paste << true << QString()
                                                                     << QStringList();
        QTest::newRow("beyond what a frame carries, cut and marked")
            << QString(LineView::kMaxLineChars + 1, u'y') + QStringLiteral("\nkurz")
            << QString(LineView::kMaxLineChars, u'y') + LineView::cutMarker() << true << QString() << QStringList();
    }

    void appendKeepsEachTextOneLine()
    {
        QFETCH(QString, text);
        QFETCH(QString, line);
        QFETCH(bool, folded);
        QFETCH(QString, wrapAt);
        QFETCH(QStringList, rows);
        LineView view;
        fit(view, wrapAt.isEmpty() ? QStringLiteral("Guten Morgen") : wrapAt);
        view.appendText(text, Qt::red);
        QCOMPARE(view.lineCount(), 1);
        QCOMPARE(view.line(0).text, line);
        QCOMPARE(view.lineColour(0), QColor(Qt::red));
        QCOMPARE(view.isFolded(0), folded);
        // Wrapping loses nothing it shows, and no row is wider than the view.
        const QStringList wrapped = view.wrappedRows(0);
        const QString shown = wrapped.join(QString());
        if (folded) {
            const qsizetype cut = shown.indexOf(QStringLiteral(" \u2026 ("));
            QVERIFY(cut > 0);
            QCOMPARE(shown.mid(cut), LineView::foldMark(line.size() - cut));
            QVERIFY(line.startsWith(shown.left(cut)));
            QVERIFY(cut <= LineView::kFoldChars);
            QVERIFY(shown.left(cut).count(u'\n') <= LineView::kFoldBreaks);
        } else {
            QCOMPARE(shown, line);
        }
        const QFontMetricsF metrics(view.font());
        for (const QString &row : wrapped)
            QVERIFY2(metrics.horizontalAdvance(row.trimmed()) <= view.wrapWidth(), qPrintable(row.left(40)));
        if (!rows.isEmpty())
            QCOMPARE(wrapped, rows);

        // A copy gives the whole line, folded or not; unfolded, all of it shows.
        view.selectAll();
        view.copy();
        QCOMPARE(QGuiApplication::clipboard()->text(), line);
        view.unfold(0);
        QVERIFY(!view.isFolded(0));
        QCOMPARE(view.wrappedRows(0).join(QString()), line);
    }

    // Every row after a line's first is indented; one that follows a break
    // in the text carries a mark in the indent, wrapped rows do not.
    void continuationRowsAreMarked_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<bool>>("marked");
        QTest::newRow("fake author") << QStringLiteral("Bob: ok\nAnna: Ich gebe heute allen einen aus!")
                                     << QList<bool>{true, true, false};
        QTest::newRow("wrapped") << QStringLiteral("Bob: Guten Morgen zusammen, wie geht es euch?")
                                 << QList<bool>{true, false, false};
        QTest::newRow("both") << QStringLiteral("Bob: hi\n\nGuten Morgen zusammen, wie geht")
                              << QList<bool>{true, true, true, false};
    }

    void continuationRowsAreMarked()
    {
        QFETCH(QString, text);
        QFETCH(QList<bool>, marked);
        LineView view;
        fit(view, QStringLiteral("Guten Morgen zusammen"), 6);
        view.appendText(text, Qt::black);
        QVERIFY(settled(view));
        QCOMPARE(view.wrappedRows(0).size(), marked.size());
        const QImage picture = view.viewport()->grab().toImage();
        const QRgb background = picture.pixel(picture.width() - 1, picture.height() - 1);
        const int height = view.fontMetrics().lineSpacing();
        for (int row = 0; row < marked.size(); ++row) {
            bool ink = false;
            for (int y = row * height; y < (row + 1) * height && !ink; ++y)
                for (int x = 0; x < view.continuationIndent() && !ink; ++x)
                    ink = picture.pixel(x, y) != background;
            QVERIFY2(ink == marked[row], qPrintable(QStringLiteral("row %1").arg(row)));
        }
    }

    // A marked line looks like nothing a text can make: its sign stands
    // where no first row of text ever starts, in the mark's colour, whatever
    // colour the line was given.
    void markedLinesHaveALookOfTheirOwn_data()
    {
        QTest::addColumn<int>("mark");
        QTest::addColumn<QColor>("given");
        QTest::newRow("status after red") << int(kc::LineMark::Status) << QColor(Qt::red);
        QTest::newRow("warning") << int(kc::LineMark::Warning) << QColor(Qt::blue);
        QTest::newRow("error") << int(kc::LineMark::Error) << QColor(Qt::yellow);
    }

    void markedLinesHaveALookOfTheirOwn()
    {
        QFETCH(int, mark);
        QFETCH(QColor, given);
        const auto kind = static_cast<kc::LineMark>(mark);
        LineView view;
        fit(view, QStringLiteral("Guten Morgen zusammen"), 6);
        // The same text twice: as a user could send it, and marked.
        const QString text = LineView::markSign(kind) + QStringLiteral(" Verbindung hergestellt");
        view.appendText(text, given);
        view.appendMarked(text, kind);
        QCOMPARE(int(view.line(1).mark), mark);
        QCOMPARE(view.lineColour(1), LineView::markColour(kind).isValid() ? LineView::markColour(kind)
                                                                           : view.palette().color(QPalette::Text));
        QCOMPARE(view.line(1).text, text);
        QVERIFY(settled(view));
        const QImage picture = view.viewport()->grab().toImage();
        const QRgb background = picture.pixel(picture.width() - 1, picture.height() - 1);
        const int height = view.fontMetrics().lineSpacing();
        // The first column with ink in each line's first row.
        const auto firstInk = [&](int top) {
            for (int x = 0; x < picture.width(); ++x)
                for (int y = top; y < top + height; ++y)
                    if (picture.pixel(x, y) != background)
                        return x;
            return -1;
        };
        const QList<int> rows0 = view.rowHeights(0);
        const int top1 = std::accumulate(rows0.begin(), rows0.end(), 0);
        const QImage row0 = picture.copy(0, 0, picture.width(), rows0.first());
        const QImage row1 = picture.copy(0, top1, picture.width(), view.rowHeights(1).first());
        QVERIFY(row0 != row1);
        // The marked text starts behind the indent that the sign fills.
        QVERIFY(firstInk(top1) >= 0);
        QVERIFY(firstInk(top1) < view.continuationIndent());
        QCOMPARE(view.wrappedRows(1).join(QString()), text);
    }

    // A row with CJK or emoji (fallback fonts, taller than the view's own)
    // gets the height of its tallest glyph run, so that the rows around it
    // keep their distance; rows of the view's own font stay one line spacing high.
    void tallGlyphsGetTallRows()
    {
        LineView view;
        fit(view, QStringLiteral("Guten Morgen zusammen und so weiter"), 12);
        const QString tall = QStringLiteral("Mei: \u4F60\u597D\u4E16\u754C \U0001F600\U0001F389 \u6F22\u5B57");
        view.appendText(QStringLiteral("anna: oben"), Qt::black);
        view.appendText(tall, QColor(Qt::red));
        view.appendText(QStringLiteral("bob: unten"), Qt::black);
        QVERIFY(settled(view));
        const int spacing = view.fontMetrics().lineSpacing();
        QCOMPARE(view.rowHeights(0), QList<int>{spacing});
        QCOMPARE(view.rowHeights(2), QList<int>{spacing});

        // Measured apart from the view: the glyph runs of the text in its font.
        QTextLayout layout(tall, view.font());
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLineWidth(100000);
        layout.endLayout();
        qreal highest = line.height();
        qreal ascent = line.ascent();
        qreal descent = line.descent();
        for (const QGlyphRun &run : line.glyphRuns()) {
            ascent = std::max(ascent, run.rawFont().ascent());
            descent = std::max(descent, run.rawFont().descent());
        }
        highest = std::max(highest, ascent + descent);
        const QList<int> rows = view.rowHeights(1);
        QCOMPARE(rows.size(), 1);
        QVERIFY2(rows.first() + 1 >= highest, qPrintable(QStringLiteral("%1 < %2").arg(rows.first()).arg(highest)));
        QVERIFY(view.glyphHeights(1).first() + 1 >= highest);
        QVERIFY(view.lineHeight(1) >= rows.first());
        QCOMPARE(view.lineHeight(1) % spacing, 0);
        QCOMPARE(view.lineHeight(0), spacing);

        // Wrapped, the tall rows of one line follow each other without a unit's gap between them.
        view.appendText(tall + u' ' + tall + u' ' + tall, QColor(Qt::red));
        QVERIFY(settled(view));
        const QList<int> wrapped = view.rowHeights(3);
        QVERIFY(wrapped.size() >= 2);
        QVERIFY(view.lineHeight(3) < wrapped.size() * 2 * spacing || rows.first() > 2 * spacing);
        QVERIFY(view.lineHeight(3) >= std::accumulate(wrapped.begin(), wrapped.end(), 0) - wrapped.size());
        view.clear();
        view.appendText(QStringLiteral("anna: oben"), Qt::black);
        view.appendText(tall, QColor(Qt::red));
        view.appendText(QStringLiteral("bob: unten"), Qt::black);
        QVERIFY(settled(view));

        // On screen: no ink of the tall line outside its rows.
        const QImage picture = view.viewport()->grab().toImage();
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                const QColor c = picture.pixelColor(x, y);
                if (c.red() > 120 && c.green() < 90 && c.blue() < 90)
                    QVERIFY2(y >= spacing && y < spacing + view.lineHeight(1), qPrintable(QStringLiteral("red at %1").arg(y)));
            }
        }
    }

    // A view that follows the end moves its pixels up for appended lines and
    // draws only the new rows; what is on screen must still be what a full
    // paint draws, frame after frame, with wrapped lines and a selection.
    void movedRowsMatchAFullPaint()
    {
        LineView view(nullptr, 50);
        fit(view, QStringLiteral("Guten Morgen zusammen"), 6);
        const auto onScreen = [&view] {
            const QPoint at = view.viewport()->mapTo(view.window(), QPoint(0, 0));
            return view.screen()
                ->grabWindow(view.window()->winId(), at.x(), at.y(), view.viewport()->width(),
                             view.viewport()->height())
                .toImage()
                .convertToFormat(QImage::Format_RGB32);
        };
        const auto matches = [&] {
            return QTest::qWaitFor([&] {
                return onScreen() == view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
            });
        };
        int n = 0;
        for (int frame = 0; frame < 12; ++frame) {
            for (int k = 0; k <= frame % 3; ++k, ++n)
                view.appendText(n % 4 == 1 ? QStringLiteral("Zeile %1 ist so lang, dass sie umbricht").arg(n)
                                           : QStringLiteral("Zeile %1").arg(n),
                                QColor::fromHsv(n * 40 % 360, 255, 160));
            if (frame == 6) {
                view.selectAll();
            }
            QVERIFY(settled(view));
            QVERIFY2(matches(), qPrintable(QStringLiteral("frame %1").arg(frame)));
        }
    }

    void streamedLinesFollowTheEndAndKeepTheSelection()
    {
        LineView view(nullptr, 200);
        fit(view, QStringLiteral("Guten Morgen"), 4);
        view.appendText(QStringLiteral("erste"));
        QVERIFY(settled(view));
        const int64_t before = view.linesLaidOut();
        // Lines appended between two frames are only counted, not laid out.
        for (int i = 0; i < 150; ++i)
            view.appendText(QStringLiteral("Zeile %1 mit Text").arg(i));
        QVERIFY(view.hasPendingFrame());
        QCOMPARE(view.linesLaidOut(), before);
        QVERIFY(settled(view));
        QVERIFY(view.linesLaidOut() - before <= 5);
        QScrollBar *bar = view.verticalScrollBar();
        QCOMPARE(bar->value(), bar->maximum());
        QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(5, view.viewport()->height() - 2));
        QCOMPARE(view.selectedText(), QStringLiteral("Zeile 149 mit Text"));
        // More lines stream in, one per pass of the event loop: the end is
        // followed, the selection stays on its line.
        for (int i = 150; i < 250; ++i) {
            view.appendText(QStringLiteral("Zeile %1 mit Text").arg(i));
            QCoreApplication::processEvents();
        }
        QVERIFY(settled(view));
        QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(view.selectedText(), QStringLiteral("Zeile 149 mit Text"));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(5, view.viewport()->height() - 2));
        QCOMPARE(view.selectedText(), QStringLiteral("Zeile 249 mit Text"));
    }

    void aClickOnTheFoldMarkShowsTheWholeLine()
    {
        LineView view;
        fit(view, QStringLiteral("Guten Morgen zusammen"), 6);
        const QString whole = QStringLiteral("Anfang ") + QString(5000, u'z') + QStringLiteral(" Ende");
        view.appendText(whole, Qt::darkGreen);
        QVERIFY(settled(view));
        QVERIFY(view.isFolded(0));
        const QString last = view.wrappedRows(0).constLast();
        QVERIFY(last.endsWith(QStringLiteral("alles)")));
        const int x = view.continuationIndent()
            + static_cast<int>(QFontMetricsF(view.font()).horizontalAdvance(last.trimmed())) - 2;
        QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(x, view.viewport()->height() - 2));
        QVERIFY(!view.isFolded(0));
        QVERIFY(settled(view));
        QVERIFY(view.wrappedRows(0).constLast().endsWith(QStringLiteral("Ende")));
    }

    void legibleColours_data()
    {
        QTest::addColumn<QColor>("wanted");
        QTest::addColumn<QColor>("background");
        QTest::addColumn<bool>("changed");
        const QColor white(Qt::white), black(Qt::black);
        QTest::newRow("black on white") << black << white << false;
        QTest::newRow("blue on white") << QColor(0, 0, 255) << white << false;
        QTest::newRow("green on white") << QColor(0, 128, 0) << white << false;
        QTest::newRow("white on white") << white << white << true;
        QTest::newRow("yellow on white") << QColor(255, 255, 0) << white << true;
        QTest::newRow("red on white, just short") << QColor(255, 0, 0) << white << true;
        QTest::newRow("pale pink on white, half transparent") << QColor(255, 200, 200, 128) << white << true;
        QTest::newRow("navy on black") << QColor(0, 0, 128) << black << true;
        QTest::newRow("white on black") << white << black << false;
        QTest::newRow("grey on a mid-grey background") << QColor(128, 128, 128) << QColor(119, 119, 119) << true;
        QTest::newRow("light blue on a dark theme's base") << QColor(0, 0, 255) << QColor(42, 42, 42) << true;
    }

    void legibleColours()
    {
        QFETCH(QColor, wanted);
        QFETCH(QColor, background);
        QFETCH(bool, changed);
        const QColor drawn = kc::legibleOn(wanted, background);
        QCOMPARE(drawn != wanted, changed);
        QVERIFY2(kc::contrastRatio(drawn, background) >= kc::kTextContrast - 1e-3,
                 qPrintable(drawn.name()));
        QCOMPARE(drawn.alpha(), wanted.alpha());
        if (changed) {
            // Just far enough: the user's colour stays recognisable.
            QVERIFY2(kc::contrastRatio(drawn, background) < kc::kTextContrast + 0.1, qPrintable(drawn.name()));
            if (wanted.hslSaturation() > 0)
                QVERIFY(std::abs(drawn.hslHueF() - wanted.hslHueF()) < 0.01);
        }
        QCOMPARE(kc::contrastRatio(Qt::black, Qt::white), 21.0);
        QCOMPARE(kc::contrastRatio(wanted, wanted), 1.0);
    }

    void keepsTheNewestLinesWithinCountAndBytes()
    {
        LineView counted(nullptr, 3);
        const QColor colours[] = {Qt::red, Qt::green, Qt::blue, Qt::black, Qt::darkYellow};
        counted.appendText(QStringLiteral("a"), colours[0]);
        counted.selectAll();
        for (int i = 1; i < 5; ++i)
            counted.appendText(QString(QChar(u'a' + i)), colours[i]);
        QCOMPARE(counted.toPlainText(), QStringLiteral("c\nd\ne"));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(counted.lineColour(i), colours[i + 2]);
        // The selection held only "a", which is gone.
        QCOMPARE(counted.selectedText(), QString());
        counted.selectAll();
        QCOMPARE(counted.selectedText(), counted.toPlainText());

        const qsizetype budget = 64 * 1024;
        LineView budgeted(nullptr, LineView::kMaxLines, budget);
        for (int i = 0; i < 100; ++i)
            budgeted.appendText(QString::number(i) + QString(LineView::kFoldChars, u'z'));
        QVERIFY(budgeted.byteCount() <= budget);
        QVERIFY(budgeted.lineCount() > 1);
        QVERIFY(budgeted.line(budgeted.lineCount() - 1).text.startsWith(QStringLiteral("99z")));
        QVERIFY(budgeted.line(0).text.startsWith(QString::number(100 - budgeted.lineCount()) + u'z'));
    }

    void keepsItsPlaceWhenScrolledUpAndFollowsAtTheEnd()
    {
        LineView view(nullptr, 40);
        fit(view, QStringLiteral("Guten Morgen"), 4);
        const auto add = [&view](int from, int to) {
            for (int i = from; i < to; ++i)
                view.appendText(QStringLiteral("Zeile %1 mit etwas mehr Text").arg(i));
            QVERIFY(settled(view));
        };
        const auto lineAt = [&view](int y) {
            QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(5, y));
            return view.selectedText();
        };
        QScrollBar *bar = view.verticalScrollBar();
        add(0, 40);
        QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(lineAt(view.viewport()->height() - 2), QStringLiteral("Zeile 39 mit etwas mehr Text"));
        bar->setValue(bar->maximum() / 2);
        QVERIFY(settled(view));
        const QString top = lineAt(1);
        const int value = bar->value();
        // Older lines drop off above; the text on screen stays where it is,
        // and the slider moves up by the rows that went.
        add(40, 50);
        QCOMPARE(view.firstLineNumber(), 10);
        QCOMPARE(lineAt(1), top);
        QVERIFY(bar->value() < value);
        bar->setValue(bar->maximum());
        add(50, 51);
        QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(lineAt(view.viewport()->height() - 2), QStringLiteral("Zeile 50 mit etwas mehr Text"));
    }

    void replacesAHeldLineInPlace()
    {
        LineView view(nullptr, 3);
        fit(view, QStringLiteral("10 bytes of 10"), 2);
        view.appendText(QStringLiteral("Fortschritt"), Qt::blue);
        const int64_t progress = view.lastLineNumber();
        view.appendText(QStringLiteral("anna: hallo"));
        QVERIFY(settled(view));
        QCOMPARE(view.verticalScrollBar()->maximum(), 0);
        QVERIFY(view.setLineText(progress, QStringLiteral("10 bytes\nof 10 sent")));
        QCOMPARE(view.toPlainText(), QStringLiteral("10 bytes of 10 sent\nanna: hallo"));
        QCOMPARE(view.lineColour(0), QColor(Qt::blue));
        // The replaced line now takes two rows: the view still ends at the last one.
        QCOMPARE(view.wrappedRows(0), (QStringList{QStringLiteral("10 bytes of 10 "), QStringLiteral("sent")}));
        QVERIFY(settled(view));
        QCOMPARE(view.verticalScrollBar()->maximum(), 1);
        QCOMPARE(view.verticalScrollBar()->value(), 1);
        view.appendText(QStringLiteral("b"));
        view.appendText(QStringLiteral("c"));
        QVERIFY(!view.setLineText(progress, QStringLiteral("weg")));
        QCOMPARE(view.toPlainText(), QStringLiteral("anna: hallo\nb\nc"));
    }

    void findBarMarksTheTextAndGoesRoundTheLines()
    {
        LineView view(nullptr, 40);
        fit(view, QStringLiteral("Guten Morgen"), 4);
        for (int i = 0; i < 40; ++i) {
            QString line = QStringLiteral("Zeile %1").arg(i);
            if (i == 5)
                line += QStringLiteral(" Kuchen");
            if (i == 20)
                line += QStringLiteral(" KUCHEN");
            if (i == 33)
                line += QString(LineView::kFoldChars + 10, u'x') + QStringLiteral(" kuchen");
            view.appendText(line);
        }
        QVERIFY(settled(view));
        QTest::keyClick(&view, Qt::Key_F, Qt::ControlModifier);
        kc::FindBar *bar = view.findBar();
        QVERIFY(bar && bar->isVisible());
        QVERIFY(bar->edit()->hasFocus());
        // Typing goes to the newest line that holds the text, whatever its case.
        QVERIFY(view.isFolded(33));
        QTest::keyClicks(bar->edit(), QStringLiteral("kUchen"));
        QCOMPARE(view.currentFind(), 33);
        QVERIFY(!view.isFolded(33));
        QCOMPARE(bar->countText(), QStringLiteral("3 von 3"));
        QTest::keyClick(bar->edit(), Qt::Key_Return);
        QCOMPARE(view.currentFind(), 20);
        QCOMPARE(bar->countText(), QStringLiteral("2 von 3"));
        QVERIFY(settled(view));
        // The current line is on screen, its text marked.
        QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(5, view.viewport()->height() / 2));
        QVERIFY(view.selectedText().contains(QStringLiteral("KUCHEN")));
        view.selectLines(0, 0);
        QVERIFY(settled(view));
        const QImage shown = view.viewport()->grab().toImage();
        bool marked = false;
        for (int y = 0; y < shown.height() && !marked; ++y)
            for (int x = 0; x < shown.width() && !marked; ++x)
                marked = shown.pixelColor(x, y) == QColor(0xFF, 0x96, 0x32);
        QVERIFY(marked);
        QTest::keyClick(bar->edit(), Qt::Key_Return);
        QCOMPARE(view.currentFind(), 5);
        QTest::keyClick(bar->edit(), Qt::Key_Return);
        QCOMPARE(view.currentFind(), 33);
        QTest::keyClick(bar->edit(), Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(view.currentFind(), 5);
        bar->edit()->setText(QStringLiteral("Torte"));
        QCOMPARE(view.currentFind(), -1);
        QCOMPARE(bar->countText(), QStringLiteral("nicht gefunden"));
        // Escape closes the bar and clears the marks.
        QTest::keyClick(bar->edit(), Qt::Key_Escape);
        QVERIFY(!bar->isVisible());
        QCOMPARE(view.findText(), QString());
        // The room the bar took is the lines' again.
        QCOMPARE(view.viewport()->height(), 4 * view.fontMetrics().lineSpacing());
    }
};

QTEST_MAIN(TestLineView)
#include "test_lineview.moc"
