#include "client/einstellungsform.h"

#include "client/attentionview.h"
#include "client/chatlog.h"
#include "client/chatsession.h"
#include "platform/ansi.h"
#include "platform/guard.h"
#include "platform/remembered.h"
#include "platform/strtoint.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSpinBox>

#include <algorithm>

TeinstellungsForm *einstellungsForm = nullptr;

TeinstellungsForm::TeinstellungsForm(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("einstellungsForm"));
    setWindowTitle(QStringLiteral("einstellungsForm"));

    Label1 = new QLabel(QStringLiteral("Port: (1 - 65536)"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 8, 177, 16);
    portEdit = new QLineEdit(QStringLiteral("5757"), this);
    portEdit->setObjectName(QStringLiteral("portEdit"));
    portEdit->setAccessibleName(QStringLiteral("Port"));
    portEdit->setGeometry(8, 24, 81, 24);
    CheckBox1 = new QCheckBox(QStringLiteral("nach verlassen der Einstellungen"), this);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox1->setGeometry(8, 56, std::max(177, CheckBox1->sizeHint().width()), 17);
    CheckBox1->setChecked(true);
    Label3 = new QLabel(QStringLiteral(" neu verbinden."), this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setGeometry(24, 72, 160, 16);
    tlsCheckBox = new QCheckBox(QStringLiteral("Nur verschlüsselt verbinden"), this);
    tlsCheckBox->setObjectName(QStringLiteral("tlsCheckBox"));
    tlsCheckBox->setToolTip(QStringLiteral("Verbindungen zu Servern, die nicht verschlüsseln, werden sofort "
                                           "getrennt."));
    tlsCheckBox->setGeometry(8, 96, std::max(177, tlsCheckBox->sizeHint().width()), 17);
    logCheckBox = new QCheckBox(QStringLiteral("Chatverläufe speichern"), this);
    logCheckBox->setObjectName(QStringLiteral("logCheckBox"));
    logCheckBox->setToolTip(QStringLiteral("Der öffentliche Chat und jeder private Chat werden als Textdateien "
                                           "gespeichert, eine je Tag."));
    logCheckBox->setGeometry(8, 120, std::max(177, logCheckBox->sizeHint().width()), 17);
    logCheckBox->setChecked(true);
    awayLabel = new QLabel(QStringLiteral("Abwesend nach Minuten ohne Eingabe (0: nie):"), this);
    awayLabel->setObjectName(QStringLiteral("awayLabel"));
    awayLabel->setWordWrap(true);
    awayLabel->setGeometry(8, 144, 177, 32);
    awaySpinBox = new QSpinBox(this);
    awaySpinBox->setObjectName(QStringLiteral("awaySpinBox"));
    awaySpinBox->setRange(0, 24 * 60);
    awaySpinBox->setAccessibleName(awayLabel->text());
    awaySpinBox->setGeometry(8, 178, 81, 24);
    typingCheckBox = new QCheckBox(QStringLiteral("Tippen anzeigen und senden"), this);
    typingCheckBox->setObjectName(QStringLiteral("typingCheckBox"));
    typingCheckBox->setToolTip(QStringLiteral("Im privaten Chat sieht der Partner, dass Sie schreiben, und Sie "
                                              "sehen es von ihm. Aus: keines von beiden."));
    typingCheckBox->setGeometry(8, 208, std::max(177, typingCheckBox->sizeHint().width()), 17);
    typingCheckBox->setChecked(true);
    BitBtn1 = new QPushButton(QStringLiteral("OK"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(8, 240, 75, 25);
    BitBtn2 = new QPushButton(QStringLiteral("Abbrechen"), this);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(104, 240, 75, 25);
    BitBtn2->setShortcut(QKeySequence(Qt::Key_Escape));

    // 195 pixels wide, unless the desktop's font needs more for the check box caption.
    setFixedSize(std::max({195, CheckBox1->geometry().right() + 10, tlsCheckBox->geometry().right() + 10,
                           logCheckBox->geometry().right() + 10, typingCheckBox->geometry().right() + 10}),
                 303);
    move(348, 100);

    connect(BitBtn1, &QPushButton::clicked, this, kc::guard([this] { BitBtn1Click(); }));
    connect(BitBtn2, &QPushButton::clicked, this, kc::guard([this] { BitBtn2Click(); }));
    connect(portEdit, &QLineEdit::returnPressed, this, kc::guard([this] { BitBtn1Click(); }));
}

void TeinstellungsForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    kc::guarded([this] {
        portEdit->setText(kc::fromAnsi(kc::IntToStr(m_session->serverPort())));
        tlsCheckBox->setChecked(m_session->encryptedOnly());
        if (m_chatLog)
            logCheckBox->setChecked(m_chatLog->enabled());
        if (m_attention)
            awaySpinBox->setValue(m_attention->awayAfterMinutes());
        typingCheckBox->setChecked(m_session->presence().typingEnabled());
        portEdit->setFocus();
        portEdit->selectAll();
    });
}

void TeinstellungsForm::BitBtn1Click()
{
    m_session->setServerPort(kc::StrToPort(kc::toAnsi(portEdit->text())));
    m_session->setEncryptedOnly(tlsCheckBox->isChecked());
    if (m_chatLog)
        m_chatLog->setEnabled(logCheckBox->isChecked());
    kc::remembered::setValue(QString::fromLatin1(client::kChatLogSetting), logCheckBox->isChecked());
    kc::remembered::setValue(QString::fromLatin1(client::kEncryptedOnlySetting), tlsCheckBox->isChecked());
    if (m_attention)
        m_attention->setAwayAfterMinutes(awaySpinBox->value());
    m_session->presence().setTypingEnabled(typingCheckBox->isChecked());
    kc::remembered::setValue(QString::fromLatin1(TAttentionView::kTypingSetting), typingCheckBox->isChecked());
    leave();
    if (CheckBox1->isChecked())
        emit reconnectWanted();
}

void TeinstellungsForm::BitBtn2Click()
{
    leave();
}

void TeinstellungsForm::leave()
{
    hide();
    emit left();
}

void TeinstellungsForm::closeEvent(QCloseEvent *event)
{
    // The close box only hides the dialog; it lives until the program ends.
    event->ignore();
    kc::guarded([this] { leave(); });
}
