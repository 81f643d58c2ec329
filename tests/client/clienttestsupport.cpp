#include "clienttestsupport.h"

#include "protocol/clientsocket.h"

#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolButton>

namespace kc::test {

QList<ViewLine> viewLines(const QTextEdit *view)
{
    QList<ViewLine> lines;
    for (QTextBlock block = view->document()->begin(); block.isValid(); block = block.next()) {
        QTextCharFormat format = block.charFormat();
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            format = it.fragment().charFormat();
            break;
        }
        lines.append({block.text(), format.foreground().color()});
    }
    return lines;
}

QStringList viewTexts(const QTextEdit *view)
{
    QStringList texts;
    for (const ViewLine &line : viewLines(view))
        texts << line.text;
    return texts;
}

QList<ViewLine> ClientDriver::newLines() const
{
    return viewLines(m_form->RichEdit1).mid(m_mark);
}

QStringList ClientDriver::newTexts() const
{
    return viewTexts(m_form->RichEdit1).mid(m_mark);
}

void ClientDriver::mark()
{
    m_mark = static_cast<int>(viewLines(m_form->RichEdit1).size());
}

std::string ClientDriver::connectAs(RawServer &server, RawClient &peer, const QString &name)
{
    m_dialogs.answerInput(true, QStringLiteral("127.0.0.1"));
    m_dialogs.answerInput(true, name);
    m_form->connectBitBtn->click();
    if (!server.accept(peer))
        return {};
    return peer.receive();
}

bool ClientDriver::admit(RawClient &peer, const std::string &name)
{
    peer.send("$#neu:" + name + ":127.0.0.1#");
    return waitFor([this] { return m_form->angemeldet; });
}

bool ClientDriver::feed(RawClient &peer, const std::string &bytes, int count)
{
    const int before = static_cast<int>(newLines().size());
    peer.send(bytes);
    return waitFor([&] { return newLines().size() >= before + count; });
}

} // namespace kc::test
