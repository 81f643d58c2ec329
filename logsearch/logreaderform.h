#pragma once

#include "logsearch/logstore.h"

#include <QWidget>

class QLabel;

namespace kc {
class LineView;
}

namespace logsearch {

/// A window that shows one day's log of one conversation, read from its text
/// file, at a line: the line is in the middle of the view and selected. The
/// text is shown as plain text, as the chat views show it; Ctrl+F finds in it.
class LogReaderForm : public QWidget
{
    Q_OBJECT
public:
    /// Lines of a file shown at most; the rest of a larger file is left out.
    static constexpr int kMaxLines = 200000;

    explicit LogReaderForm(QWidget *parent = nullptr);

    /// Reads `file` below the logs folder `folder`, shows it and goes to line
    /// `line` (from 0). A file that cannot be read says so in the view.
    void showLine(const QString &folder, const LogFile &file, int line);

    kc::LineView *view() const { return m_view; }
    /// The line shown as found; -1 when the file did not have it.
    int shownLine() const { return m_line; }

private:
    QLabel *m_title;
    kc::LineView *m_view;
    int m_line = -1;
};

} // namespace logsearch
