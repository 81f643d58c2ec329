#pragma once

#include "client/clientform.h"
#include "rawpeer.h"
#include "testenv.h"

#include <QColor>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>

namespace kc {
class LineView;
}

namespace kc::test {

/// One line of a chat view with the colour it is drawn in.
struct ViewLine
{
    QString text;
    QColor colour;
};

/// Every line of `view`, top to bottom.
QList<ViewLine> viewLines(const kc::LineView *view);
QStringList viewTexts(const kc::LineView *view);

/// Drives a client window against a raw test server on 127.0.0.1.
class ClientDriver
{
public:
    ClientDriver(TclientForm *form, ScriptedDialogService &dialogs) : m_form(form), m_dialogs(dialogs) {}

    /// Lines appended to the client's chat view since the last mark().
    QList<ViewLine> newLines() const;
    QStringList newTexts() const;
    void mark();

    /// Verbinden with host 127.0.0.1 and `name`; accepts the connection on
    /// `server` into `peer` and returns the announce command it wrote.
    std::string connectAs(RawServer &server, RawClient &peer, const QString &name);
    /// Sends a user list naming `name`, and waits until the client has read it
    /// and is admitted.
    bool admit(RawClient &peer, const std::string &name);
    /// Sends `bytes`, waits until the client has read them and the chat view
    /// has `count` more lines.
    bool feed(RawClient &peer, const std::string &bytes, int count);

private:
    TclientForm *m_form;
    ScriptedDialogService &m_dialogs;
    int64_t m_mark = 0;
};

} // namespace kc::test
