#include "clienttestsupport.h"

#include "protocol/clientsocket.h"

#include "widgets/lineview.h"

#include <QToolButton>

namespace kc::test {

QList<ViewLine> viewLines(const kc::LineView *view)
{
    QList<ViewLine> lines;
    for (int i = 0; i < view->lineCount(); ++i)
        lines.append({view->line(i).text, view->lineColour(i)});
    return lines;
}

QStringList viewTexts(const kc::LineView *view)
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
