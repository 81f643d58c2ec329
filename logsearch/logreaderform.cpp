#include "logsearch/logreaderform.h"

#include "widgets/lineview.h"

#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QVBoxLayout>

namespace logsearch {

namespace {

/// A day's log larger than this is read only this far.
constexpr qint64 kMaxBytes = 64 * 1024 * 1024;

} // namespace

LogReaderForm::LogReaderForm(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("logReaderForm"));
    resize(640, 480);
    m_title = new QLabel(this);
    m_title->setTextFormat(Qt::PlainText);
    m_title->setObjectName(QStringLiteral("titleLabel"));
    m_view = new kc::LineView(this, kMaxLines, 4 * kMaxBytes);
    m_view->setObjectName(QStringLiteral("logView"));
    m_view->setAccessibleName(QStringLiteral("Verlauf"));
    kc::LineView::addFindShortcut(this, m_view);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(m_title);
    layout->addWidget(m_view, 1);
}

void LogReaderForm::showLine(const QString &folder, const LogFile &file, int line)
{
    const QString day = QLocale(QLocale::German).toString(file.day, QStringLiteral("dddd, d. MMMM yyyy"));
    const QString server = LogFile::unescape(file.server);
    setWindowTitle(conversationName(file) + QStringLiteral(", ") + file.day.toString(QStringLiteral("dd.MM.yyyy"))
                   + QStringLiteral(" \u2013 Verlauf"));
    m_title->setText(conversationName(file) + QStringLiteral(" \u00B7 ") + day + QStringLiteral(" \u00B7 ") + server);
    m_view->clear();
    m_view->setFindText(QString());
    m_line = -1;
    QFile log(folder + u'/' + file.relative);
    if (!log.open(QIODevice::ReadOnly)) {
        m_view->appendMarked(QStringLiteral("Der Verlauf kann nicht gelesen werden: ") + log.errorString(),
                             kc::LineMark::Error);
    } else {
        const QList<QByteArray> lines = log.read(kMaxBytes).split('\n');
        for (qsizetype i = 0; i < lines.size() && i < kMaxLines; ++i) {
            // The split leaves an empty piece after the last break.
            if (i == lines.size() - 1 && lines[i].isEmpty())
                break;
            m_view->appendText(QString::fromUtf8(lines[i]));
        }
        if (line >= 0 && line < m_view->lineCount())
            m_line = line;
        else
            m_view->appendMarked(QStringLiteral("Diese Zeile steht nicht mehr im Verlauf."), kc::LineMark::Warning);
    }
    show();
    raise();
    activateWindow();
    if (m_line >= 0) {
        m_view->scrollToLine(m_line);
        m_view->selectLines(m_line, m_line);
    }
}

} // namespace logsearch
