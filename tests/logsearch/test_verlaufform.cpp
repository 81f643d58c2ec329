#include "logsearch/logreaderform.h"
#include "logsearch/verlaufform.h"
#include "rawpeer.h"
#include "widgets/lineview.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

/// The search window driven as a user would: type, see the lines, click one.
class TestVerlaufForm : public QObject
{
    Q_OBJECT

private slots:
    void typingFindsAndAClickOpensTheLine()
    {
        QTemporaryDir data;
        const auto write = [&data](const QString &relative, const QStringList &lines) {
            QDir().mkpath(QFileInfo(data.filePath(relative)).path());
            QFile file(data.filePath(relative));
            QVERIFY(file.open(QIODevice::WriteOnly));
            for (const QString &line : lines)
                file.write(line.toUtf8() + '\n');
        };
        QStringList day;
        for (int i = 0; i < 60; ++i)
            day << QStringLiteral("[10:%1:00] bob: Zeile %2").arg(i, 2, 10, QLatin1Char('0')).arg(i);
        day[40] = QStringLiteral("[10:40:00] anna: <b>Kuchen</b> für alle");
        write(QStringLiteral("srv_5757/chat-2026-12-08.log"), day);
        write(QStringLiteral("srv_5757/privat/anna-2026-12-07.log"), {QStringLiteral("[09:00:00] anna: Kuchen?")});

        logsearch::VerlaufForm form;
        form.index().setFolder(data.path());
        form.index().start();
        form.index().waitIdle();
        form.open();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTest::keyClicks(form.queryEdit, QStringLiteral("kuch"));
        QVERIFY(kc::test::waitFor([&] { return form.hits().rowCount() == 2; }));
        QVERIFY(kc::test::waitFor([&] { return form.statusLabel->text().startsWith(QStringLiteral("2 Zeilen")); }));
        const QAbstractItemModel *model = form.resultView->model();
        QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("08.12.2026 10:40:00"));
        QCOMPARE(model->index(0, 1).data().toString(), QStringLiteral("Hauptchat"));
        // The line as it was said, its word marked by position, never as markup.
        QCOMPARE(model->index(0, 2).data().toString(), QStringLiteral("anna: <b>Kuchen</b> für alle"));
        QCOMPARE(model->index(0, 2).data(logsearch::HitModel::kMarksRole).toList(), QVariantList({QPoint(9, 6)}));
        QCOMPARE(model->index(1, 1).data().toString(), QStringLiteral("privat: anna"));

        form.resultView->scrollTo(model->index(0, 2));
        const QRect row = form.resultView->visualRect(model->index(0, 2));
        QTest::mouseClick(form.resultView->viewport(), Qt::LeftButton, {}, row.center());
        logsearch::LogReaderForm *reader = form.reader();
        QVERIFY(reader && reader->isVisible());
        QVERIFY(reader->windowTitle().startsWith(QStringLiteral("Hauptchat, 08.12.2026")));
        QCOMPARE(reader->shownLine(), 40);
        QCOMPARE(reader->view()->lineCount(), 60);
        QCOMPARE(reader->view()->selectedText(), QStringLiteral("[10:40:00] anna: <b>Kuchen</b> für alle"));
        // The line is on screen: a click in the middle of the view lands near it.
        QTest::mouseClick(reader->view()->viewport(), Qt::LeftButton, {},
                          QPoint(5, reader->view()->viewport()->height() / 2));
        const QString middle = reader->view()->selectedText();
        const int shown = middle.mid(4, 2).toInt();
        QVERIFY2(std::abs(shown - 40) <= 2, qPrintable(middle));

        // A finished word finds no longer words; nothing found says so.
        form.queryEdit->setText(QStringLiteral("zeile 7 "));
        QVERIFY(kc::test::waitFor([&] { return form.statusLabel->text().startsWith(QStringLiteral("1 Zeile")); }));
        form.queryEdit->setText(QStringLiteral("Torte"));
        QVERIFY(kc::test::waitFor([&] { return form.statusLabel->text().startsWith(QStringLiteral("Nichts")); }));
        QCOMPARE(form.hits().rowCount(), 0);
    }

    void theLogWindowSaysWhatItCannotShow()
    {
        QTemporaryDir data;
        QDir().mkpath(data.filePath(QStringLiteral("s")));
        QFile file(data.filePath(QStringLiteral("s/chat-2026-12-08.log")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[10:00:00] anna: eins\n[10:00:01] anna: zwei\n");
        file.close();
        logsearch::LogReaderForm reader;
        logsearch::LogFile log;
        QVERIFY(logsearch::LogFile::parse(QStringLiteral("s/chat-2026-12-08.log"), &log));
        // The file was cut since it was indexed.
        reader.showLine(data.path(), log, 5);
        QCOMPARE(reader.shownLine(), -1);
        QCOMPARE(reader.view()->lineCount(), 3);
        QCOMPARE(reader.view()->line(2).text, QStringLiteral("Diese Zeile steht nicht mehr im Verlauf."));
        reader.showLine(data.path(), log, 1);
        QCOMPARE(reader.view()->lineCount(), 2);
        QCOMPARE(reader.view()->selectedText(), QStringLiteral("[10:00:01] anna: zwei"));
        // Deleted since.
        QVERIFY(file.remove());
        reader.showLine(data.path(), log, 1);
        QCOMPARE(reader.view()->lineCount(), 1);
        QVERIFY(reader.view()->line(0).text.startsWith(QStringLiteral("Der Verlauf kann nicht gelesen werden")));
        QCOMPARE(reader.view()->selectedText(), QString());
    }
};

QTEST_MAIN(TestVerlaufForm)
#include "test_verlaufform.moc"
