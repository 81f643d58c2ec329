#include "client/filequestions.h"

#include "client/filetransfer.h"
#include "client/receivedfile.h"
#include "platform/dialogs.h"
#include "platform/errorbox.h"
#include "platform/guard.h"
#include "platform/remembered.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QWidget>

namespace client {

QString withOfferedSuffix(const QString &chosen, const QString &suffix)
{
    return chosen.endsWith(suffix, Qt::CaseInsensitive) ? chosen : chosen + suffix;
}

QString rememberedFolder(const char *key)
{
    const QString folder = kc::remembered::value(QString::fromLatin1(key)).toString();
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : downloadFolder();
}

} // namespace client

TFileQuestions::TFileQuestions(client::FileTransfer &transfer, QWidget *window)
    : QObject(window), m_transfer(transfer), m_window(window)
{
    transfer.setSaveFolder(client::rememberedFolder(client::kSaveFolderSetting));
    connect(&transfer, &client::FileTransfer::offered, this,
            kc::guard([this](quint64 id, const QString &, const QString &question) { askOffer(id, question); }));
    connect(&transfer, &client::FileTransfer::saveNameWanted, this,
            kc::guard([this](quint64 id, const QString &folder, const QString &suffix, const QString &offeredName) {
                askSaveName(id, offeredName.isEmpty() ? folder : QDir(folder).filePath(offeredName), suffix);
            }));
}

void TFileQuestions::askOffer(quint64 id, const QString &question)
{
    // Anything but "&Ignorieren" accepts, closing the box too.
    const int answer = kc::dialogs().messageBox(kc::MsgKind::Information, QStringLiteral("Information"), question,
                                                kc::mbOk | kc::mbIgnore, m_window);
    m_transfer.answerOffer(id, answer != kc::mbIgnore);
}

void TFileQuestions::askSaveName(quint64 id, const QString &start, const QString &suffix)
{
    // A service thread waits for this answer: it gets one whatever happens here.
    bool answered = false;
    const auto dropped = qScopeGuard([&] {
        if (!answered)
            m_transfer.answerSaveName(id, std::nullopt);
    });
    const std::optional<QString> target = chooseSaveTarget(start, suffix);
    if (target)
        kc::remembered::setValue(QString::fromLatin1(client::kSaveFolderSetting), QFileInfo(*target).absolutePath());
    answered = true;
    m_transfer.answerSaveName(id, target);
}

std::optional<QString> TFileQuestions::chooseSaveTarget(const QString &start, const QString &suffix)
{
    for (;;) {
        const std::optional<QString> chosen =
            kc::dialogs().saveFile(QStringLiteral("Datei speichern"), start, QStringLiteral("*.*"), m_window);
        if (!chosen)
            return std::nullopt;
        const QString target = client::withOfferedSuffix(*chosen, suffix);
        // The save dialog confirmed replacing the name it returned, not the
        // name with the offered suffix appended.
        if (target != *chosen && QFileInfo::exists(target)
            && kc::dialogs().messageBox(kc::MsgKind::Confirmation, QStringLiteral("Datei speichern"),
                                        target + QStringLiteral(" existiert bereits.\nWollen Sie sie ersetzen?"),
                                        kc::mbYes | kc::mbNo, m_window)
                   != kc::mbYes)
            continue;
        return target;
    }
}
