#include "client/trustquestion.h"

#include "client/chatsession.h"
#include "platform/dialogs.h"
#include "platform/guard.h"

#include <QWidget>

void askTrustQuestions(client::ChatSession &session, QWidget *window)
{
    QObject::connect(&session.connection(), &client::ChatConnection::trustQuestion, window,
                     kc::guard([&session, window](quint64 id, const QString &server, const QString &oldFingerprint,
                                                  const QString &newFingerprint) {
                         // The box closes by itself once the question no longer applies.
                         kc::DialogCloser closer;
                         QObject::connect(&session.connection(), &client::ChatConnection::trustQuestionClosed, &closer,
                                          [&closer, id](quint64 closed) {
                                              if (closed == id)
                                                  closer.close();
                                          });
                         const int answer = kc::dialogs().choice(
                             kc::MsgKind::Warning, client::trustWarningTitle(),
                             client::trustWarningText(server, oldFingerprint, newFingerprint),
                             {client::trustCancelCaption(), client::trustAcceptCaption()}, 0, window, &closer);
                         if (answer >= 0)
                             session.answerTrust(id, answer == 1);
                     }));
}
