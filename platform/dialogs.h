#pragma once

#include <QColor>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>

class QWidget;

namespace kc {

enum class MsgKind { Information, Warning, Error, Confirmation };

/// Closes a question from outside while it is up, when what it asks no
/// longer applies. The one who asks keeps it for as long as the dialog runs.
class DialogCloser : public QObject
{
    Q_OBJECT
public:
    /// Closes the dialog (a dialog not yet shown is not shown at all).
    void close();
    bool closed() const { return m_closed; }

signals:
    void closing();

private:
    bool m_closed = false;
};

/// Buttons of a message box; combine with |. The answer is one of them.
/// mbIgnore is captioned "&Ignorieren".
enum MsgButton { mbOk = 1, mbCancel = 2, mbYes = 4, mbNo = 8, mbIgnore = 16 };

/// Every modal dialog of the program goes through here. A real dialog runs a
/// nested event loop, so socket events and timers keep being handled while it
/// is up.
class DialogService
{
public:
    virtual ~DialogService() = default;

    /// Shows a message box; returns the button chosen (the first of `buttons`
    /// when the box is closed otherwise).
    virtual int messageBox(MsgKind kind, const QString &title, const QString &text, int buttons = mbOk,
                           QWidget *parent = nullptr) = 0;
    /// A message box whose buttons carry `captions`, left to right; returns
    /// the index of the one chosen. `defaultIndex` is the default button and
    /// the answer when the box is closed otherwise (a service that shows
    /// nothing answers it too). Closed through `closer`, it answers -1.
    virtual int choice(MsgKind kind, const QString &title, const QString &text, const QStringList &captions,
                       int defaultIndex, QWidget *parent = nullptr, DialogCloser *closer = nullptr);
    /// Input dialog with one line pre-filled with `value`; on OK the answer is
    /// written to `value` and true returned; on cancel `value` is unchanged.
    virtual bool inputQuery(const QString &title, const QString &prompt, QString &value, QWidget *parent = nullptr) = 0;
    /// Open dialog starting in `folder` (the working folder when empty); the
    /// full path chosen, or nothing on cancel.
    virtual std::optional<QString> openFile(const QString &title, const QString &folder, const QString &filter,
                                            QWidget *parent = nullptr) = 0;
    /// Save dialog starting at `fileName`; the full path chosen, or nothing on cancel.
    virtual std::optional<QString> saveFile(const QString &title, const QString &fileName, const QString &filter,
                                            QWidget *parent = nullptr) = 0;
    /// Colour dialog starting at `initial`; the colour chosen, or nothing on cancel.
    virtual std::optional<QColor> chooseColor(const QColor &initial, QWidget *parent = nullptr) = 0;
};

/// The service in use. The program installs a QtDialogService at start;
/// tests install a ScriptedDialogService.
DialogService &dialogs();
/// Installs `service` (not owned; it must outlive its use). nullptr restores the Qt one.
void setDialogService(DialogService *service);

class QtDialogService : public DialogService
{
public:
    int messageBox(MsgKind kind, const QString &title, const QString &text, int buttons, QWidget *parent) override;
    int choice(MsgKind kind, const QString &title, const QString &text, const QStringList &captions, int defaultIndex,
               QWidget *parent, DialogCloser *closer) override;
    bool inputQuery(const QString &title, const QString &prompt, QString &value, QWidget *parent) override;
    std::optional<QString> openFile(const QString &title, const QString &folder, const QString &filter,
                                    QWidget *parent) override;
    std::optional<QString> saveFile(const QString &title, const QString &fileName, const QString &filter,
                                    QWidget *parent) override;
    std::optional<QColor> chooseColor(const QColor &initial, QWidget *parent) override;
};

/// A dialog service for tests: answers come from queues filled beforehand and
/// every dialog shown is recorded. A dialog with no queued answer is closed:
/// a message box answers its first button, the other dialogs cancel.
class ScriptedDialogService : public DialogService
{
public:
    enum class Kind { Message, Choice, Input, Open, Save, Colour };
    struct Call
    {
        Kind kind;
        MsgKind msgKind = MsgKind::Information;
        QString title;
        QString text;  // message text, input prompt, or file filter
        QString value; // pre-filled input value, save file name, or the folder an open dialog starts in
        int buttons = 0;           // message buttons; for a choice its default index
        QStringList captions = {}; // a choice's buttons
        /// A choice's closer, while the choice is up (null once it is over, or for none).
        QPointer<DialogCloser> closer = {};
        /// The choice was closed through its closer.
        bool closed = false;
    };

    void answerMessage(int button) { m_messages.push_back(button); }
    /// The index a choice answers.
    void answerChoice(int index) { m_choices.push_back(index); }
    void answerInput(bool ok, const QString &value = {}) { m_inputs.push_back({ok, value}); }
    void answerOpen(std::optional<QString> path) { m_opens.push_back(std::move(path)); }
    void answerSave(std::optional<QString> path) { m_saves.push_back(std::move(path)); }
    void answerColour(std::optional<QColor> colour) { m_colours.push_back(std::move(colour)); }

    /// Runs while a dialog is "up", before it answers; lets a test make
    /// things happen inside the modal phase.
    std::function<void(const Call &)> whileOpen;

    QList<Call> calls;
    /// The message boxes shown so far, in order.
    QList<Call> messages() const;
    /// Texts of the error boxes (stop icon) shown so far.
    QStringList errors() const;
    /// Forgets the calls, every answer not yet taken and whileOpen: what one
    /// test left behind never reaches the next.
    void clear();

    int messageBox(MsgKind kind, const QString &title, const QString &text, int buttons, QWidget *parent) override;
    /// Records the choice and runs whileOpen; one closed meanwhile through
    /// its closer answers -1 and takes no queued answer.
    int choice(MsgKind kind, const QString &title, const QString &text, const QStringList &captions, int defaultIndex,
               QWidget *parent, DialogCloser *closer) override;
    bool inputQuery(const QString &title, const QString &prompt, QString &value, QWidget *parent) override;
    std::optional<QString> openFile(const QString &title, const QString &folder, const QString &filter,
                                    QWidget *parent) override;
    std::optional<QString> saveFile(const QString &title, const QString &fileName, const QString &filter,
                                    QWidget *parent) override;
    std::optional<QColor> chooseColor(const QColor &initial, QWidget *parent) override;

private:
    void record(const Call &call);

    std::deque<int> m_messages;
    std::deque<int> m_choices;
    std::deque<std::pair<bool, QString>> m_inputs;
    std::deque<std::optional<QString>> m_opens;
    std::deque<std::optional<QString>> m_saves;
    std::deque<std::optional<QColor>> m_colours;
};

} // namespace kc
