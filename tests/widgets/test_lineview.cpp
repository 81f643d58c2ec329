#include "widgets/lineview.h"

#include <QScrollBar>
#include <QTest>

#include <cmath>

using kc::LineView;

namespace {

// Shows `view` with lines wrapping just wide enough for `wrapAt` and a
// viewport `rows` rows high.
void fit(LineView &view, const QString &wrapAt, int rows = 10)
{
    view.show();
    const int width = static_cast<int>(std::ceil(QFontMetricsF(view.font()).horizontalAdvance(wrapAt)));
    const int height = rows * view.fontMetrics().lineSpacing();
    view.resize(view.width() + width - view.wrapWidth(), view.height() + height - view.viewport()->height());
    QCOMPARE(view.wrapWidth(), width);
    QCOMPARE(view.viewport()->height(), height);
}

} // namespace

class TestLineView : public QObject
{
    Q_OBJECT

private slots:
    void appendSplitsAndCutsLines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("lines");
        // The last line's rows where lines wrap at the width of `wrapAt`; unchecked when empty.
        QTest::addColumn<QString>("wrapAt");
        QTest::addColumn<QStringList>("rows");
        const QString cut = LineView::cutMarker();
        const QString x10(10, u'x');
        QTest::newRow("one line") << QStringLiteral("bob: hallo") << QStringList{QStringLiteral("bob: hallo")}
                                  << QString() << QStringList();
        QTest::newRow("wraps at a word boundary")
            << QStringLiteral("Guten Morgen zusammen") << QStringList{QStringLiteral("Guten Morgen zusammen")}
            << QStringLiteral("Guten Morgen")
            << QStringList{QStringLiteral("Guten Morgen "), QStringLiteral("zusammen")};
        QTest::newRow("breaks inside a word only where it is wider than the view")
            << QStringLiteral("ab ") + QString(25, u'x') << QStringList{QStringLiteral("ab ") + QString(25, u'x')}
            << x10 << QStringList{QStringLiteral("ab "), x10, x10, QString(5, u'x')};
        QTest::newRow("empty text is an empty line")
            << QString() << QStringList{QString()} << QString() << QStringList();
        QTest::newRow("every kind of line break")
            << QStringLiteral("a\nb\r\nc\rd\n") << QStringList{"a", "b", "c", "d", ""} << QString() << QStringList();
        QTest::newRow("markup stays text")
            << QStringLiteral("<b>fett</b> &amp;") << QStringList{QStringLiteral("<b>fett</b> &amp;")} << QString()
            << QStringList();
        QTest::newRow("2000 characters are kept")
            << QString(LineView::kMaxLineChars, u'x') << QStringList{QString(LineView::kMaxLineChars, u'x')}
            << QString() << QStringList();
        QTest::newRow("one more is cut and marked")
            << QString(LineView::kMaxLineChars + 1, u'x') << QStringList{QString(LineView::kMaxLineChars, u'x') + cut}
            << QString() << QStringList();
        QTest::newRow("each line is cut on its own")
            << QString(300000, u'y') + QStringLiteral("\nkurz")
            << QStringList{QString(LineView::kMaxLineChars, u'y') + cut, QStringLiteral("kurz")} << QString()
            << QStringList();
    }

    void appendSplitsAndCutsLines()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, lines);
        QFETCH(QString, wrapAt);
        QFETCH(QStringList, rows);
        LineView view;
        fit(view, wrapAt.isEmpty() ? QStringLiteral("Guten Morgen") : wrapAt);
        view.appendText(text, Qt::red);
        QCOMPARE(view.toPlainText(), lines.join(u'\n'));
        QCOMPARE(view.lineCount(), lines.size());
        const QFontMetricsF metrics(view.font());
        for (int i = 0; i < view.lineCount(); ++i) {
            QCOMPARE(view.lineColour(i), QColor(Qt::red));
            // Wrapping loses nothing, and no row is wider than the view.
            const QStringList wrapped = view.wrappedRows(i);
            QCOMPARE(wrapped.join(QString()), view.line(i).text);
            for (const QString &row : wrapped)
                QVERIFY2(metrics.horizontalAdvance(row.trimmed()) <= view.wrapWidth(), qPrintable(row.left(40)));
        }
        if (!rows.isEmpty())
            QCOMPARE(view.wrappedRows(view.lineCount() - 1), rows);
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
            budgeted.appendText(QString::number(i) + QString(LineView::kMaxLineChars, u'z'));
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
            QCoreApplication::processEvents();
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
        QCoreApplication::processEvents();
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
        QCoreApplication::processEvents();
        QCOMPARE(view.verticalScrollBar()->maximum(), 0);
        QVERIFY(view.setLineText(progress, QStringLiteral("10 bytes\nof 10 sent")));
        QCOMPARE(view.toPlainText(), QStringLiteral("10 bytes of 10 sent\nanna: hallo"));
        QCOMPARE(view.lineColour(0), QColor(Qt::blue));
        // The replaced line now takes two rows: the view still ends at the last one.
        QCOMPARE(view.wrappedRows(0), (QStringList{QStringLiteral("10 bytes of 10 "), QStringLiteral("sent")}));
        QCoreApplication::processEvents();
        QCOMPARE(view.verticalScrollBar()->maximum(), 1);
        QCOMPARE(view.verticalScrollBar()->value(), 1);
        view.appendText(QStringLiteral("b\nc"));
        QVERIFY(!view.setLineText(progress, QStringLiteral("weg")));
        QCOMPARE(view.toPlainText(), QStringLiteral("anna: hallo\nb\nc"));
    }
};

QTEST_MAIN(TestLineView)
#include "test_lineview.moc"
