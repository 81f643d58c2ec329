#include "widgets/findbar.h"

#include "platform/guard.h"
#include "widgets/lineview.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace kc {

namespace {

QToolButton *barButton(QWidget *parent, const QString &text, const QString &hint)
{
    auto *button = new QToolButton(parent);
    button->setText(text);
    button->setToolTip(hint);
    button->setAccessibleName(hint);
    button->setAutoRaise(true);
    return button;
}

} // namespace

FindBar::FindBar(LineView *view) : QWidget(view), m_view(view)
{
    setObjectName(QStringLiteral("findBar"));
    m_edit = new QLineEdit(this);
    m_edit->setObjectName(QStringLiteral("findEdit"));
    m_edit->setPlaceholderText(QStringLiteral("Suchen"));
    m_edit->setAccessibleName(QStringLiteral("Suchen im Fenster"));
    m_edit->setClearButtonEnabled(true);
    m_edit->installEventFilter(this);
    m_older = barButton(this, QStringLiteral("\u25B2"), QStringLiteral("Ältere Zeile (Eingabe)"));
    m_newer = barButton(this, QStringLiteral("\u25BC"), QStringLiteral("Neuere Zeile (Umschalt+Eingabe)"));
    m_close = barButton(this, QStringLiteral("\u2715"), QStringLiteral("Suche schließen (Esc)"));
    m_count = new QLabel(this);
    m_count->setTextFormat(Qt::PlainText);
    m_count->setObjectName(QStringLiteral("findCount"));

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);
    layout->addWidget(m_edit, 1);
    layout->addWidget(m_older);
    layout->addWidget(m_newer);
    layout->addWidget(m_count);
    layout->addWidget(m_close);

    connect(m_edit, &QLineEdit::textChanged, this, kc::guard([this](const QString &text) {
        m_view->setFindText(text);
        m_view->findNext(true);
        showCount();
    }));
    connect(m_older, &QToolButton::clicked, this, kc::guard([this] { find(true); }));
    connect(m_newer, &QToolButton::clicked, this, kc::guard([this] { find(false); }));
    connect(m_close, &QToolButton::clicked, this, kc::guard([this] { close(); }));
    hide();
}

void FindBar::open()
{
    const bool wasHidden = isHidden();
    show();
    m_edit->setFocus(Qt::ShortcutFocusReason);
    m_edit->selectAll();
    if (wasHidden) {
        m_view->setFindText(m_edit->text());
        showCount();
    }
}

void FindBar::close()
{
    hide();
    m_view->setFindText(QString());
    m_view->setFocus(Qt::OtherFocusReason);
}

void FindBar::find(bool older)
{
    m_view->findNext(older);
    showCount();
}

QString FindBar::countText() const
{
    return m_count->text();
}

void FindBar::showCount()
{
    if (m_edit->text().isEmpty()) {
        m_count->clear();
        return;
    }
    const int count = m_view->findCount();
    if (count == 0) {
        m_count->setText(QStringLiteral("nicht gefunden"));
        return;
    }
    m_count->setText(QStringLiteral("%1 von %2").arg(m_view->currentFindPosition() + 1).arg(count));
}

bool FindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_edit && (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress)) {
        auto *key = static_cast<QKeyEvent *>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        // The window's own Escape (the client's Exit) must not see it.
        if (key->key() == Qt::Key_Escape || enter || key->matches(QKeySequence::Find)) {
            if (event->type() == QEvent::ShortcutOverride) {
                event->accept();
                return false;
            }
            if (key->key() == Qt::Key_Escape)
                close();
            else if (enter)
                find(!(key->modifiers() & Qt::ShiftModifier));
            else
                m_edit->selectAll();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kc
