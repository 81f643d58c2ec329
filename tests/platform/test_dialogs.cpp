#include "platform/dialogs.h"
#include "platform/guard.h"
#include "platform/exception.h"
#include "platform/translations.h"
#include "rawpeer.h"
#include "testenv.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLocale>
#include <QPushButton>
#include <QTranslator>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <stdexcept>

class TestDialogs : public QObject
{
    Q_OBJECT
private slots:
    void scriptedAnswersInOrder()
    {
        kc::test::TestEnvironment env;
        env.dialogs.answerInput(true, QStringLiteral("server1"));
        env.dialogs.answerInput(false);
        QString value = QStringLiteral("localhost");
        QVERIFY(kc::dialogs().inputQuery(QStringLiteral("T"), QStringLiteral("P"), value));
        QCOMPARE(value, QStringLiteral("server1"));
        QVERIFY(!kc::dialogs().inputQuery(QStringLiteral("T"), QStringLiteral("P"), value));
        QCOMPARE(value, QStringLiteral("server1"));
        QCOMPARE(env.dialogs.calls.size(), 2);
        QCOMPARE(env.dialogs.calls[0].value, QStringLiteral("localhost"));
        // Unscripted: a box answers its first button, other dialogs cancel.
        QCOMPARE(kc::dialogs().messageBox(kc::MsgKind::Confirmation, "t", "x", kc::mbYes | kc::mbNo), int(kc::mbYes));
        QVERIFY(!kc::dialogs().chooseColor(Qt::red).has_value());
        QVERIFY(!kc::dialogs().saveFile("t", "a.txt", "").has_value());
    }

    void standardDialogsSpeakGerman()
    {
        QTranslator *translator = kc::installGermanTranslations(*qApp);
        QVERIFY2(translator, "Qt's German translations (qt6-translations-l10n) are not installed");
        QDialogButtonBox box(QDialogButtonBox::Cancel | QDialogButtonBox::Yes);
        QString cancel = box.button(QDialogButtonBox::Cancel)->text();
        QString yes = box.button(QDialogButtonBox::Yes)->text();
        QCoreApplication::removeTranslator(translator);
        delete translator;
        QLocale::setDefault(QLocale::c());
        QCOMPARE(cancel.remove(QLatin1Char('&')), QStringLiteral("Abbrechen"));
        QCOMPARE(yes.remove(QLatin1Char('&')), QStringLiteral("Ja"));
    }

    void exceptionLeavingHandlerShowsErrorBoxAndGoesOn()
    {
        kc::test::TestEnvironment env;
        bool after = false;
        kc::guarded([&] {
            throw kc::EConvertError("'abc' ist kein g\xFCltiger Integerwert");
            after = true;
        });
        QVERIFY(!after);
        kc::guarded([] { throw std::runtime_error("Schon mit Punkt."); });
        const QStringList errors = env.dialogs.errors();
        QCOMPARE(errors.size(), 2);
        QCOMPARE(errors[0], QStringLiteral("'abc' ist kein gültiger Integerwert."));
        QCOMPARE(errors[1], QStringLiteral("Schon mit Punkt."));
        QCOMPARE(env.dialogs.messages()[0].title, QStringLiteral("Kestrelon Chat"));
    }

    void realInputPromptIsPlainText()
    {
        kc::QtDialogService service;
        int labels = 0;
        int plain = 0;
        QTimer::singleShot(0, [&] {
            if (QWidget *dialog = QApplication::activeModalWidget()) {
                for (QLabel *label : dialog->findChildren<QLabel *>()) {
                    ++labels;
                    plain += label->textFormat() == Qt::PlainText;
                }
                dialog->close();
            }
        });
        QString value = QStringLiteral("x");
        QVERIFY(!service.inputQuery(QStringLiteral("T"), QStringLiteral("<b>bob</b>:"), value, nullptr));
        QVERIFY(labels > 0);
        QCOMPARE(plain, labels);
        QCOMPARE(value, QStringLiteral("x"));
    }

    // A question closed from outside while up goes away unanswered; one
    // closed before it is shown is never shown.
    void realChoiceClosesThroughItsCloser()
    {
        kc::QtDialogService service;
        kc::DialogCloser closer;
        bool shown = false;
        QTimer::singleShot(0, &closer, [&] {
            shown = QApplication::activeModalWidget() != nullptr;
            closer.close();
        });
        const QStringList captions{QStringLiteral("Abbrechen"), QStringLiteral("Annehmen")};
        QCOMPARE(service.choice(kc::MsgKind::Warning, QStringLiteral("T"), QStringLiteral("x"), captions, 0, nullptr,
                                &closer),
                 -1);
        QVERIFY(shown);
        QVERIFY(!QApplication::activeModalWidget());
        shown = false;
        QTimer::singleShot(0, &closer, [&] {
            if (QWidget *box = QApplication::activeModalWidget()) {
                shown = true;
                box->close();
            }
        });
        QCOMPARE(service.choice(kc::MsgKind::Warning, QStringLiteral("T"), QStringLiteral("x"), captions, 0, nullptr,
                                &closer),
                 -1);
        QVERIFY(!shown);
    }

    void exceptionFromTimerDoesNotEndLoop()
    {
        kc::test::TestEnvironment env;
        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, &timer, kc::guard([&] {
                             ++ticks;
                             throw kc::Exception("tick");
                         }));
        timer.start(5);
        QVERIFY(kc::test::waitFor([&] { return ticks >= 3; }));
        QVERIFY(env.dialogs.errors().size() >= 3);
        QCOMPARE(env.dialogs.errors().first(), QStringLiteral("tick."));
    }
};

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
