#include "platform/dialogs.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <utility>

namespace kc {

namespace {

DialogService *installed = nullptr;

QtDialogService &qtService()
{
    static QtDialogService service;
    return service;
}

int firstButton(int buttons)
{
    for (int b : {mbOk, mbYes, mbNo, mbCancel, mbIgnore})
        if (buttons & b)
            return b;
    return mbOk;
}

} // namespace

DialogService &dialogs()
{
    return installed ? *installed : qtService();
}

void setDialogService(DialogService *service)
{
    installed = service;
}

int QtDialogService::messageBox(MsgKind kind, const QString &title, const QString &text, int buttons, QWidget *parent)
{
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
    switch (kind) {
    case MsgKind::Information: box.setIcon(QMessageBox::Information); break;
    case MsgKind::Warning: box.setIcon(QMessageBox::Warning); break;
    case MsgKind::Error: box.setIcon(QMessageBox::Critical); break;
    case MsgKind::Confirmation: box.setIcon(QMessageBox::Question); break;
    }
    const std::pair<int, QMessageBox::StandardButton> map[] = {
        {mbOk, QMessageBox::Ok},         {mbYes, QMessageBox::Yes},        {mbNo, QMessageBox::No},
        {mbCancel, QMessageBox::Cancel}, {mbIgnore, QMessageBox::Ignore}};
    QMessageBox::StandardButtons standard;
    for (const auto &[ours, theirs] : map)
        if (buttons & ours)
            standard |= theirs;
    if (!standard)
        standard = QMessageBox::Ok;
    box.setStandardButtons(standard);
    if (QAbstractButton *ignore = box.button(QMessageBox::Ignore)) {
        ignore->setText(QStringLiteral("&Ignorieren"));
        // Ignore is no way out: closing such a box answers its first button.
        if (!(buttons & mbCancel))
            for (const auto &[ours, theirs] : map)
                if (ours == firstButton(buttons))
                    box.setEscapeButton(box.button(theirs));
    }
    const int answer = box.exec();
    for (const auto &[ours, theirs] : map)
        if (answer == theirs)
            return ours;
    return (buttons & mbCancel) ? int(mbCancel) : firstButton(buttons);
}

void DialogCloser::close()
{
    if (std::exchange(m_closed, true))
        return;
    emit closing();
}

int DialogService::choice(MsgKind, const QString &, const QString &, const QStringList &, int defaultIndex, QWidget *,
                          DialogCloser *closer)
{
    return closer && closer->closed() ? -1 : defaultIndex;
}

int QtDialogService::choice(MsgKind kind, const QString &title, const QString &text, const QStringList &captions,
                            int defaultIndex, QWidget *parent, DialogCloser *closer)
{
    if (closer && closer->closed())
        return -1;
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
    switch (kind) {
    case MsgKind::Information: box.setIcon(QMessageBox::Information); break;
    case MsgKind::Warning: box.setIcon(QMessageBox::Warning); break;
    case MsgKind::Error: box.setIcon(QMessageBox::Critical); break;
    case MsgKind::Confirmation: box.setIcon(QMessageBox::Question); break;
    }
    QList<QPushButton *> buttons;
    for (const QString &caption : captions)
        buttons.append(box.addButton(caption, QMessageBox::ActionRole));
    if (defaultIndex >= 0 && defaultIndex < buttons.size()) {
        box.setDefaultButton(buttons[defaultIndex]);
        box.setEscapeButton(buttons[defaultIndex]);
    }
    if (closer)
        QObject::connect(closer, &DialogCloser::closing, &box, [&box] { box.done(-1); });
    box.exec();
    if (closer && closer->closed())
        return -1;
    const qsizetype chosen = buttons.indexOf(qobject_cast<QPushButton *>(box.clickedButton()));
    return chosen >= 0 ? int(chosen) : defaultIndex;
}

bool QtDialogService::inputQuery(const QString &title, const QString &prompt, QString &value, QWidget *parent)
{
    QInputDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setLabelText(prompt);
    dialog.setTextValue(value);
    // Prompts can carry names from the network: never interpret them as markup.
    for (QLabel *label : dialog.findChildren<QLabel *>())
        label->setTextFormat(Qt::PlainText);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    value = dialog.textValue();
    return true;
}

std::optional<QString> QtDialogService::openFile(const QString &title, const QString &folder, const QString &filter,
                                                 QWidget *parent)
{
    const QString path = QFileDialog::getOpenFileName(parent, title, folder, filter);
    if (path.isEmpty())
        return std::nullopt;
    return path;
}

std::optional<QString> QtDialogService::saveFile(const QString &title, const QString &fileName, const QString &filter,
                                                 QWidget *parent)
{
    const QString path = QFileDialog::getSaveFileName(parent, title, fileName, filter);
    if (path.isEmpty())
        return std::nullopt;
    return path;
}

std::optional<QColor> QtDialogService::chooseColor(const QColor &initial, QWidget *parent)
{
    const QColor colour = QColorDialog::getColor(initial, parent);
    if (!colour.isValid())
        return std::nullopt;
    return colour;
}

void ScriptedDialogService::record(const Call &call)
{
    calls.append(call);
    if (whileOpen)
        whileOpen(call);
}

QList<ScriptedDialogService::Call> ScriptedDialogService::messages() const
{
    QList<Call> result;
    for (const Call &c : calls)
        if (c.kind == Kind::Message)
            result.append(c);
    return result;
}

QStringList ScriptedDialogService::errors() const
{
    QStringList result;
    for (const Call &c : calls)
        if (c.kind == Kind::Message && c.msgKind == MsgKind::Error)
            result.append(c.text);
    return result;
}

void ScriptedDialogService::clear()
{
    calls.clear();
    m_messages.clear();
    m_choices.clear();
    m_inputs.clear();
    m_opens.clear();
    m_saves.clear();
    m_colours.clear();
    whileOpen = nullptr;
}

int ScriptedDialogService::messageBox(MsgKind kind, const QString &title, const QString &text, int buttons, QWidget *)
{
    record({Kind::Message, kind, title, text, {}, buttons});
    if (m_messages.empty())
        return firstButton(buttons);
    const int answer = m_messages.front();
    m_messages.pop_front();
    return answer;
}

int ScriptedDialogService::choice(MsgKind kind, const QString &title, const QString &text, const QStringList &captions,
                                  int defaultIndex, QWidget *, DialogCloser *closer)
{
    if (closer && closer->closed())
        return -1;
    const qsizetype index = calls.size();
    record({Kind::Choice, kind, title, text, {}, defaultIndex, captions, closer});
    // Calls may have been cleared meanwhile; the record is only kept up to date while it is there.
    Call *recorded = index < calls.size() && calls[index].closer == closer ? &calls[index] : nullptr;
    if (recorded)
        recorded->closer = nullptr;
    if (closer && closer->closed()) {
        if (recorded)
            recorded->closed = true;
        return -1;
    }
    if (m_choices.empty())
        return defaultIndex;
    const int answer = m_choices.front();
    m_choices.pop_front();
    return answer;
}

bool ScriptedDialogService::inputQuery(const QString &title, const QString &prompt, QString &value, QWidget *)
{
    record({Kind::Input, MsgKind::Information, title, prompt, value, 0});
    if (m_inputs.empty())
        return false;
    const auto [ok, answer] = m_inputs.front();
    m_inputs.pop_front();
    if (ok)
        value = answer;
    return ok;
}

std::optional<QString> ScriptedDialogService::openFile(const QString &title, const QString &folder,
                                                       const QString &filter, QWidget *)
{
    record({Kind::Open, MsgKind::Information, title, filter, folder, 0});
    if (m_opens.empty())
        return std::nullopt;
    auto answer = m_opens.front();
    m_opens.pop_front();
    return answer;
}

std::optional<QString> ScriptedDialogService::saveFile(const QString &title, const QString &fileName,
                                                       const QString &filter, QWidget *)
{
    record({Kind::Save, MsgKind::Information, title, filter, fileName, 0});
    if (m_saves.empty())
        return std::nullopt;
    auto answer = m_saves.front();
    m_saves.pop_front();
    return answer;
}

std::optional<QColor> ScriptedDialogService::chooseColor(const QColor &initial, QWidget *)
{
    record({Kind::Colour, MsgKind::Information, {}, {}, initial.name(), 0});
    if (m_colours.empty())
        return std::nullopt;
    auto answer = m_colours.front();
    m_colours.pop_front();
    return answer;
}

} // namespace kc
