#include "clienttestsupport.h"

#include "protocol/clientsocket.h"
#include "widgets/lineview.h"

#include <QToolButton>

#include <algorithm>

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
    const kc::LineView *view = m_form->RichEdit1;
    return viewLines(view).mid(static_cast<qsizetype>(std::max<int64_t>(0, m_mark - view->firstLineNumber())));
}

QStringList ClientDriver::newTexts() const
{
    QStringList texts;
    for (const ViewLine &line : newLines())
        texts << line.text;
    return texts;
}

void ClientDriver::mark()
{
    m_mark = m_form->RichEdit1->firstLineNumber() + m_form->RichEdit1->lineCount();
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
    return peer.sendAndWaitRead("$#neu:" + name + ":127.0.0.1#") && waitFor([this] { return m_form->session()->admitted(); });
}

bool ClientDriver::feed(RawClient &peer, const std::string &bytes, int count)
{
    const int before = static_cast<int>(newLines().size());
    return peer.sendAndWaitRead(bytes) && waitFor([&] { return newLines().size() >= before + count; });
}

} // namespace kc::test
