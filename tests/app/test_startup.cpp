#include "app/auswahlform.h"
#include "help/hilfeform.h"
#include "app/windows.h"
#include "client/clientform.h"
#include "client/einstellungsform.h"
#include "client/privatchatform.h"
#include "client/sentfileform.h"
#include "search/suchform.h"
#include "server/serverform.h"
#include "testenv.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

class TestStartup : public QObject
{
    Q_OBJECT
private:
    kc::test::TestEnvironment *m_env = nullptr;

    QList<QWidget *> allWindows() const
    {
        return {auswahlForm, clientForm, serverForm, suchForm, einstellungsForm, sentfileForm, HilfeForm};
    }

private slots:
    void initTestCase()
    {
        m_env = new kc::test::TestEnvironment;
    }

    // Every function sees the program as it starts: its windows just made,
    // the start window shown.
    void init()
    {
        kc::destroyWindows();
        kc::createWindows();
        auswahlForm->show();
        m_env->dialogs.clear();
        m_env->openedAddresses.clear();
    }

    void sevenWindowsOnlyStartWindowShown()
    {
        for (QWidget *w : allWindows())
            QVERIFY(w != nullptr);
        auswahlForm->show();
        QVERIFY(auswahlForm->isVisible());
        for (QWidget *w : allWindows().mid(1))
            QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
        QCOMPARE(auswahlForm->windowTitle(), QStringLiteral("auswahlForm"));
        QCOMPARE(auswahlForm->Button1->text(), QStringLiteral("Chatclient starten"));
        QCOMPARE(auswahlForm->Button2->text(), QStringLiteral("Server starten"));
    }

    void linkTurnsRedUnderPointerAndOpensAddress()
    {
        const QColor normal = auswahlForm->Label1->palette().color(QPalette::WindowText);
        QMouseEvent onLabel(QEvent::MouseMove, QPointF(2, 2), QPointF(2, 2), Qt::NoButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(auswahlForm->Label1, &onLabel);
        QCOMPARE(auswahlForm->Label1->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QMouseEvent onForm(QEvent::MouseMove, QPointF(1, 1), QPointF(1, 1), Qt::NoButton, Qt::NoButton,
                           Qt::NoModifier);
        QApplication::sendEvent(auswahlForm, &onForm);
        QCOMPARE(auswahlForm->Label1->palette().color(QPalette::WindowText), normal);

        QTest::mouseClick(auswahlForm->Label1, Qt::LeftButton);
        QCOMPARE(m_env->openedAddresses, QStringList{QString::fromLatin1(kMakerAddress)});
    }

    void choosingServerShowsOnlyServerWindow()
    {
        QTest::mouseClick(auswahlForm->Button2, Qt::LeftButton);
        QVERIFY(!auswahlForm->isVisible());
        QVERIFY(!auswahlForm->isEnabled());
        QVERIFY(serverForm->isVisible());
        QVERIFY(serverForm->isEnabled());
        QVERIFY(!clientForm->isVisible());
        QVERIFY(!clientForm->isEnabled());
        QVERIFY(!auswahlForm->programEnded());
    }

    void choosingClientIsTheMirrorImage()
    {
        auswahlForm->Button1Click();
        QVERIFY(clientForm->isVisible());
        QVERIFY(clientForm->isEnabled());
        QVERIFY(!serverForm->isVisible());
        QVERIFY(!serverForm->isEnabled());
    }

    void everyControlHasAnAccessibleName()
    {
        QList<QWidget *> windows = allWindows();
        windows << clientForm->openPrivatChat("Jörg");
        QStringList unnamed;
        for (QWidget *window : windows) {
            for (QWidget *control : window->findChildren<QWidget *>()) {
                const bool interactive = control->focusPolicy() != Qt::NoFocus
                                         || qobject_cast<QAbstractButton *>(control) != nullptr;
                // Qt's own parts (menu overflow, popup lists, the line edit of a
                // combo box) are spoken for by the control they belong to.
                if (!interactive || control->window() != window
                    || control->objectName().startsWith(QLatin1String("qt_"))
                    || qobject_cast<QComboBox *>(control->parentWidget()))
                    continue;
                QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
                if (!accessible || accessible->text(QAccessible::Name).trimmed().isEmpty())
                    unnamed << window->objectName() + QLatin1Char('/') + control->objectName() + QLatin1Char(' ')
                                   + QString::fromLatin1(control->metaObject()->className());
            }
        }
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(QStringLiteral(", "))));
        QCOMPARE(clientForm->pchatBitBtn->toolTip(), QStringLiteral("privat chat"));
    }

    void closingStartWindowEndsProgram()
    {
        auswahlForm->close();
        QVERIFY(auswahlForm->programEnded());
        QVERIFY(m_env->dialogs.errors().isEmpty());
    }
};

QTEST_MAIN(TestStartup)
#include "test_startup.moc"
