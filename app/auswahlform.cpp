#include "app/auswahlform.h"

#include "help/hilfeform.h"
#include "platform/guard.h"
#include "platform/shellopen.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

TauswahlForm *auswahlForm = nullptr;

namespace {

void setLabelColour(QLabel *label, const QColor &colour)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

} // namespace

TauswahlForm::TauswahlForm(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("auswahlForm"));
    setWindowTitle(QStringLiteral("auswahlForm"));
    resize(238, 144);
    setMouseTracking(true);

    Button1 = new QPushButton(QStringLiteral("Chatclient starten"), this);
    Button2 = new QPushButton(QStringLiteral("Server starten"), this);
    Label1 = new QLabel(QString::fromLatin1(kMakerAddress), this);
    Label1->setTextFormat(Qt::PlainText);
    Label1->setMouseTracking(true);
    Label1->setCursor(Qt::PointingHandCursor);
    Label1->installEventFilter(this);
    Label1->setAlignment(Qt::AlignCenter);
    for (QPushButton *button : {Button1, Button2})
        button->setFixedSize(125, 25);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 12);
    layout->setSpacing(14);
    layout->addWidget(Button1, 0, Qt::AlignHCenter);
    layout->addWidget(Button2, 0, Qt::AlignHCenter);
    layout->addWidget(Label1, 0, Qt::AlignHCenter);

    connect(Button1, &QPushButton::clicked, this, kc::guard([this] { Button1Click(); }));
    connect(Button2, &QPushButton::clicked, this, kc::guard([this] { Button2Click(); }));

    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

void TauswahlForm::Button1Click()
{
    hide();
    setEnabled(false);
    emit clientRoleChosen();
}

void TauswahlForm::Button2Click()
{
    hide();
    setEnabled(false);
    emit serverRoleChosen();
}

void TauswahlForm::Label1Click()
{
    kc::shellOpen(kMakerAddress, "", "", 1);
}

void TauswahlForm::Label1MouseMove()
{
    setLabelColour(Label1, QColor(255, 0, 0));
}

void TauswahlForm::FormMouseMove()
{
    setLabelColour(Label1, palette().color(QPalette::WindowText));
}

void TauswahlForm::closeEvent(QCloseEvent *event)
{
    m_ended = true;
    event->accept();
    QCoreApplication::quit();
}

void TauswahlForm::mouseMoveEvent(QMouseEvent *event)
{
    kc::guarded([this] { FormMouseMove(); });
    QWidget::mouseMoveEvent(event);
}

bool TauswahlForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Label1) {
        // Consumed here: the label would pass it on to the window, whose own
        // handler turns the colour back.
        if (event->type() == QEvent::MouseMove) {
            kc::guarded([this] { Label1MouseMove(); });
            return true;
        }
        if (event->type() == QEvent::MouseButtonRelease
            && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            kc::guarded([this] { Label1Click(); });
    }
    return QWidget::eventFilter(watched, event);
}
