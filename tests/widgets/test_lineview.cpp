#include "widgets/lineview.h"

#include <QTest>

using kc::LineView;

class TestLineView : public QObject
{
    Q_OBJECT

private slots:
    void appendSplitsAndCutsLines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("lines");
        const QString cut = LineView::cutMarker();
        QTest::newRow("one line") << QStringLiteral("bob: hallo") << QStringList{QStringLiteral("bob: hallo")};
        QTest::newRow("empty text is an empty line") << QString() << QStringList{QString()};
        QTest::newRow("every kind of line break")
            << QStringLiteral("a\nb\r\nc\rd\n") << QStringList{"a", "b", "c", "d", ""};
        QTest::newRow("markup stays text")
            << QStringLiteral("<b>fett</b> &amp;") << QStringList{QStringLiteral("<b>fett</b> &amp;")};
        QTest::newRow("2000 characters are kept")
            << QString(LineView::kMaxLineChars, u'x') << QStringList{QString(LineView::kMaxLineChars, u'x')};
        QTest::newRow("one more is cut and marked")
            << QString(LineView::kMaxLineChars + 1, u'x') << QStringList{QString(LineView::kMaxLineChars, u'x') + cut};
        QTest::newRow("each line is cut on its own")
            << QString(300000, u'y') + QStringLiteral("\nkurz")
            << QStringList{QString(LineView::kMaxLineChars, u'y') + cut, QStringLiteral("kurz")};
    }

    void appendSplitsAndCutsLines()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, lines);
        LineView view;
        view.appendText(text, Qt::red);
        QCOMPARE(view.toPlainText(), lines.join(u'\n'));
        QCOMPARE(view.lineCount(), lines.size());
        for (int i = 0; i < view.lineCount(); ++i)
            QCOMPARE(view.lineColour(i), QColor(Qt::red));
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

    void replacesAHeldLineInPlace()
    {
        LineView view(nullptr, 3);
        view.appendText(QStringLiteral("Fortschritt"), Qt::blue);
        const int64_t progress = view.lastLineNumber();
        view.appendText(QStringLiteral("anna: hallo"));
        QVERIFY(view.setLineText(progress, QStringLiteral("10 bytes\nof 10")));
        QCOMPARE(view.toPlainText(), QStringLiteral("10 bytes of 10\nanna: hallo"));
        QCOMPARE(view.lineColour(0), QColor(Qt::blue));
        view.appendText(QStringLiteral("b\nc"));
        QVERIFY(!view.setLineText(progress, QStringLiteral("weg")));
        QCOMPARE(view.toPlainText(), QStringLiteral("anna: hallo\nb\nc"));
    }
};

QTEST_MAIN(TestLineView)
#include "test_lineview.moc"
