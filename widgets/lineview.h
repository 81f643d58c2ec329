#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QHash>
#include <QStaticText>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>

namespace kc {

/// A read-only view of plain-text lines, each in its own colour, that keeps
/// only its newest lines. Appending and dropping a line cost the same however
/// full the view is: the lines sit in a deque and only the visible ones are
/// painted, one text row each (no wrapping; a horizontal scroll bar appears
/// for wide lines).
///
/// Appended lines are in the model at once (lineCount(), line(i)); scroll
/// bars and painting catch up once per pass of the event loop. The view
/// follows new lines unless the user has scrolled away from the bottom.
/// Whole lines can be selected with the mouse and copied (Ctrl+C or the
/// context menu).
class LineView : public QAbstractScrollArea
{
    Q_OBJECT
public:
    /// Lines a view keeps by default.
    static constexpr int kMaxLines = 5000;
    /// Characters a line keeps; longer lines are cut and end in cutMarker().
    static constexpr int kMaxLineChars = 2000;
    /// Default budget for the text a view holds, in bytes (UTF-16 text plus a
    /// fixed charge per line); the oldest lines go first when it is exceeded.
    static constexpr qsizetype kMaxBytes = 2 * 1024 * 1024;
    /// Appended to a line that was cut.
    static QString cutMarker();

    struct Line
    {
        QString text;
        /// Invalid: the view's text colour.
        QColor colour;
    };

    explicit LineView(QWidget *parent = nullptr, int maxLines = kMaxLines, qsizetype maxBytes = kMaxBytes);

    /// Appends `text` as one or more lines in `colour` (invalid: the view's
    /// text colour). A line break ("\n", "\r\n", "\r") starts a new line;
    /// nothing in the text is interpreted as markup.
    void appendText(const QString &text, const QColor &colour = QColor());
    void clear();
    /// Number (see firstLineNumber()) of the newest line; -1 while the view
    /// has never held a line.
    int64_t lastLineNumber() const { return m_firstId + lineCount() - 1; }
    /// Replaces the text of line `number` in place, keeping its colour and the
    /// same caps as appendText (one line: breaks become blanks). False, and
    /// nothing changes, when that line is no longer held.
    bool setLineText(int64_t number, const QString &text);

    /// Lines held, oldest first; at most maxLines().
    int lineCount() const { return static_cast<int>(m_lines.size()); }
    const Line &line(int index) const { return m_lines.at(static_cast<size_t>(index)); }
    /// The colour line `index` is drawn in.
    QColor lineColour(int index) const;
    /// All lines joined by "\n".
    QString toPlainText() const;
    /// What the held lines count against the byte budget.
    qsizetype byteCount() const { return m_bytes; }
    int maxLines() const { return m_maxLines; }
    /// Number of line(0) among all lines ever appended (from 0), so that a
    /// position survives older lines dropping off.
    int64_t firstLineNumber() const { return m_firstId; }

    /// The selected lines joined by "\n"; empty without a selection.
    QString selectedText() const;
    void selectAll();
    /// Puts the selected lines on the clipboard.
    void copy();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    struct Entry : Line
    {
        /// Width in pixels once measured, -1 before.
        int width = -1;
    };

    void appendLine(QStringView text, const QColor &colour);
    static QString capped(QStringView text);
    void dropOldest();
    void scheduleFlush();
    void flush();
    void updateScrollBars();
    int rowHeight() const;
    int visibleRows() const;
    /// Line id (see m_firstId) under viewport position `y`, clamped to the held lines.
    int64_t idAt(int y) const;
    bool hasSelection() const;

    std::deque<Entry> m_lines;
    /// Id of m_lines.front(); ids grow by one per appended line and are never
    /// reused, so a selection survives lines dropping off the top.
    int64_t m_firstId = 0;
    qsizetype m_bytes = 0;
    int m_maxLines;
    qsizetype m_maxBytes;

    int m_widest = 0;
    bool m_widestDropped = false;
    /// Lines dropped since the last flush; a view scrolled up keeps its lines in place.
    int64_t m_droppedSinceFlush = 0;
    bool m_follow = true;
    bool m_adjusting = false;
    QTimer m_flushTimer;
    /// Shaped text of the lines painted last, by id: scrolling by a line
    /// shapes one line, not all visible ones.
    QHash<int64_t, QStaticText> m_shaped;

    int64_t m_anchor = -1;
    int64_t m_cursor = -1;
};

} // namespace kc
