#include "client/trustquestion.h"

#include "client/chatsession.h"
#include "platform/dialogs.h"
#include "platform/guard.h"

#include <QWidget>

void askTrustQuestions(client::ChatSession &session, QWidget *window)
{
    QObject::connect(&session, &client::ChatSession::trustQuestion, window,
                     kc::guard([&session, window](quint64 id, const QString &server, const QString &oldFingerprint,
                                                  const QString &newFingerprint) {
                         const int answer = kc::dialogs().choice(
                             kc::MsgKind::Warning, client::trustWarningTitle(),
                             client::trustWarningText(server, oldFingerprint, newFingerprint),
                             {client::trustCancelCaption(), client::trustAcceptCaption()}, 0, window);
                         session.answerTrust(id, answer == 1);
                     }));
}
