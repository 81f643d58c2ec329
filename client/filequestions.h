#pragma once

#include <QObject>
#include <QString>

#include <optional>

class QWidget;

namespace client {
class FileTransfer;
/// The folders the file dialogs last started from, remembered between
/// starts: where a file was last saved, and where one was last chosen to send.
inline constexpr const char *kSaveFolderSetting = "Dateien/Speicherordner";
inline constexpr const char *kSendFolderSetting = "Dateien/Sendeordner";
/// The folder remembered under `key` while it exists, else the user's
/// download folder (client::downloadFolder).
QString rememberedFolder(const char *key);
/// The name a received file is saved under: `chosen`, with the offered
/// `suffix` appended unless it ends with it already (in any case).
QString withOfferedSuffix(const QString &chosen, const QString &suffix);
}

/// Asks the user what the file transfer wants to know, through the dialog
/// service, and gives the answers back to it: whether to
/// take an offered file, and the name to save a received one under.
class TFileQuestions : public QObject
{
    Q_OBJECT
public:
    /// Dialogs open over `window`. The transfer's save dialogs start where
    /// the user last saved a file, in this run or an earlier one.
    TFileQuestions(client::FileTransfer &transfer, QWidget *window);

private:
    void askOffer(quint64 id, const QString &question);
    /// `start` is the folder, or the suggested file in it.
    void askSaveName(quint64 id, const QString &start, const QString &suffix);
    /// The save dialog until a name is taken: the chosen name with `suffix`
    /// (see withOfferedSuffix), or nothing when the dialog was cancelled.
    std::optional<QString> chooseSaveTarget(const QString &start, const QString &suffix);

    client::FileTransfer &m_transfer;
    QWidget *m_window;
};
