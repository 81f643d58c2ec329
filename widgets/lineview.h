#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QElapsedTimer>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <memory>

namespace kc {

class LaidOutLine;
class RowScrollBar;

/// What kind of line the view itself marks. A marked line has a look of its
/// own that no text can take: a sign in front of its first row, which starts
/// indented (a row of text never does), a fixed colour and a font style.
enum class LineMark {
    None,    ///< a line as given: its text in its colour
    Status,  ///< "»", grey, italic: what the program reports
    Warning, ///< "⚠", red, bold: something the user must know
    Error,   ///< "✖", the text colour, bold: something failed
};

/// A read-only view of plain-text lines, each in its own colour, that keeps
/// only its newest lines. Lines wrap at word boundaries at the view's width,
/// and inside a word only where the word alone is wider than the view.
///
/// A line is what one appendText() gave, whatever it holds: a line break
/// inside it starts a new row, never a new line. Every row after a line's
/// first is indented, and a row that follows a break in the text carries a
/// mark, so that no text can pass itself off as a line of its own (as a
/// pasted "ok\nAnna: ..." would pose as Anna). A line longer than
/// kFoldChars characters, or with more than kFoldBreaks breaks, is shown
/// folded, ending in foldMark(); a click on the mark unfolds it. Copying
/// always gives the whole line.
///
/// Lines are drawn in their colour, with the lightness moved where it would
/// not read on the view's background (see legibleOn()); lineColour() stays
/// the colour the line was given. A marked line (LineMark) is drawn in its
/// mark's look, whatever colour it was given.
///
/// Rows are counted in units of the font's line spacing. A row whose glyphs
/// are taller than that (a fallback font for CJK or emoji) is as tall as they
/// are, measured once when its line is laid out; the line then takes as many
/// whole units as its rows need and sits in their middle: no row ever
/// touches the next.
///
/// Appending and dropping a line cost the same however full the view is: the
/// lines sit in a deque, and each one carries the number of rows it takes at
/// the current width. That number is an estimate from the line's length until
/// the line comes on screen, where it is laid out and the count made exact;
/// only lines on screen are ever laid out, and a folded line only as far as
/// its fold. A change of width turns every count back into an estimate. The
/// vertical scroll bar counts rows, so a line taller than the view can be read
/// row by row.
///
/// Appended lines are in the model at once (lineCount(), line(i)); layout,
/// scroll bar and painting catch up once a frame (kFrameMs): lines that come
/// in faster are laid out and painted together, and a line after a quiet
/// spell shows on the next pass of the event loop. The view follows new lines
/// unless the user has scrolled away from the bottom, and a view scrolled
/// away keeps its text in place while old lines drop off. Whole lines can be
/// selected with the mouse and copied (Ctrl+C or the context menu).
class LineView : public QAbstractScrollArea
{
    Q_OBJECT
public:
    /// Lines a view keeps by default.
    static constexpr int kMaxLines = 5000;
    /// Characters a line keeps: more than a frame of the chat wire can carry.
    /// Longer text (only a legacy peer's endless read) is cut and ends in cutMarker().
    static constexpr int kMaxLineChars = 65536;
    /// A line is shown folded beyond this many characters...
    static constexpr int kFoldChars = 2000;
    /// ...or beyond this many line breaks.
    static constexpr int kFoldBreaks = 20;
    /// Least time between two layouts and repaints, in milliseconds: one frame at 60 Hz.
    static constexpr int kFrameMs = 16;
    /// Default budget for the text a view holds, in bytes (UTF-16 text plus a
    /// fixed charge per line); the oldest lines go first when it is exceeded.
    static constexpr qsizetype kMaxBytes = 2 * 1024 * 1024;
    /// Appended to a line that was cut.
    static QString cutMarker();
    /// Shown after a folded line, for `hidden` characters not shown.
    static QString foldMark(qsizetype hidden);

    struct Line
    {
        QString text;
        /// Invalid: the view's text colour.
        QColor colour;
        LineMark mark = LineMark::None;
        /// Drawn on a background of its own: the line names the user.
        bool highlighted = false;
    };

    /// The sign drawn in front of a line marked `mark` (empty for None).
    static QString markSign(LineMark mark);
    /// The colour of a line marked `mark`; invalid for None.
    static QColor markColour(LineMark mark);

    explicit LineView(QWidget *parent = nullptr, int maxLines = kMaxLines, qsizetype maxBytes = kMaxBytes);

    /// Appends `text` as one line in `colour` (invalid: the view's text
    /// colour). Line breaks stay in the line (each kind, "\r\n" included,
    /// becomes "\n") and are shown as marked continuation rows; nothing in the text is
    /// interpreted as markup.
    void appendText(const QString &text, const QColor &colour = QColor());
    /// Appends `text` as one line in the look of `mark`.
    void appendMarked(const QString &text, LineMark mark);
    void clear();
    /// Number (see firstLineNumber()) of the newest line; -1 while the view
    /// has never held a line.
    int64_t lastLineNumber() const { return m_firstId + lineCount() - 1; }
    /// Replaces the text of line `number` in place, keeping its colour and the
    /// same caps as appendText (one line: breaks become blanks). False, and
    /// nothing changes, when that line is no longer held.
    bool setLineText(int64_t number, const QString &text);

    /// Gives line `number` the highlighted look: a tinted background and a
    /// bar in the margin, whatever its text or colour. False when that line
    /// is no longer held.
    bool highlightLine(int64_t number);
    /// Draws a thin rule above line `number`: where reading stopped. -1 (or a
    /// line no longer held) draws none.
    void setReadMarker(int64_t number);
    int64_t readMarker() const { return m_readMarker; }
    /// Shows line `number` near the top of the view, which stops following
    /// the end until the user scrolls back down. False when that line is no
    /// longer held.
    bool scrollToLine(int64_t number);
    /// The background of a highlighted line on `base`.
    static QColor highlightColour(const QColor &base);
    /// The colour of the read marker's rule.
    static QColor readMarkerColour();

    /// Lines held, oldest first; at most maxLines().
    int lineCount() const { return static_cast<int>(m_lines.size()); }
    const Line &line(int index) const { return m_lines.at(static_cast<size_t>(index)); }
    /// The colour line `index` was given (invalid: the view's text colour).
    QColor lineColour(int index) const;
    /// The colour line `index` is drawn in: lineColour(), made legible on the view's background.
    QColor drawnColour(int index) const;
    /// Whether line `index` is shown folded.
    bool isFolded(int index) const;
    /// Shows line `index` whole.
    void unfold(int index);
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

    /// The width in pixels that lines wrap at: the viewport less its margins.
    int wrapWidth() const;
    /// Pixels by which every row after a line's first is indented.
    int continuationIndent() const;
    /// Pixels each row of line `index` takes at wrapWidth(), top to bottom:
    /// the font's line spacing, more where the row's glyphs need it.
    QList<int> rowHeights(int index) const;
    /// Pixels line `index` takes: its rows' heights rounded up to whole
    /// multiples of the line spacing (its rows sit in the middle).
    int lineHeight(int index) const;
    /// Height in pixels of the tallest glyph run of each row of line `index`.
    QList<qreal> glyphHeights(int index) const;
    /// Line `index` cut into the rows it is drawn in at wrapWidth(); the rows
    /// joined give the line again, or, when it is folded, its shown part and
    /// foldMark().
    QStringList wrappedRows(int index) const;
    /// Whether lines were appended or changed since the view was last laid
    /// out; false once the frame that shows them has come.
    bool hasPendingFrame() const { return m_dirty || m_flushTimer.isActive(); }
    /// Lines laid out since the view was made, and how many of them were not
    /// on screen then (only wrappedRows() does that); for measurements.
    int64_t linesLaidOut() const { return m_laidOutCount; }
    int64_t linesLaidOutOffScreen() const { return m_laidOutOffScreen; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    /// Nothing: the view itself repaints or moves what the scroll bar changed.
    void scrollContentsBy(int, int) override {}

private:
    struct Entry : Line
    {
        /// Rows the line takes at m_wrapWidth: exact once laid out, an
        /// estimate before.
        int rows = 1;
        bool exact = false;
        bool unfolded = false;
        /// Line breaks in text.
        int breaks = 0;
    };
    using Layout = std::shared_ptr<LaidOutLine>;

    void appendLine(QStringView text, const QColor &colour, LineMark mark = LineMark::None);
    /// The font a line marked `mark` is laid out in.
    QFont markFont(LineMark mark) const;
    static QString capped(QStringView text);
    /// Characters of `entry` shown: all of them, or where it is folded.
    static qsizetype shownChars(const Entry &entry);
    /// The text laid out for `entry`: breaks as line separators, and the fold mark.
    static QString shownText(const Entry &entry);
    void dropOldest();
    /// Sets the rows of line `index`, keeping the sums below right.
    void setRows(size_t index, int rows, bool exact);
    int estimateRows(const Entry &entry) const;
    /// Estimated rows for `chars` characters from the start of a row, the line's first or a continuation.
    int64_t estimateRows(qsizetype chars, bool first) const;
    Layout makeLayout(const Entry &entry) const;
    /// Counts every line's rows anew, as estimates, after a change of width or font.
    void rewrap();
    void scheduleFlush();
    void flush();
    /// Rows the top moved down since the viewport's pixels were drawn; -1
    /// when they cannot be moved to match (anything but appended lines
    /// changed, or the move is larger than the viewport).
    int64_t rowsSinceShownTop() const;
    /// Every row drawn anew on the next paint.
    void repaintAll();
    /// Lays out the lines on screen (reusing those laid out already), makes
    /// their row counts exact, places the top of the view and sets the scroll bar.
    void layoutVisible();
    /// Puts the top of the view at row `value` of all rows.
    void seek(int64_t value);
    void updateScrollBars();
    int rowHeight() const;
    int visibleRows() const;
    Entry &entryOf(int64_t id) { return m_lines[static_cast<size_t>(id - m_firstId)]; }
    const Entry &entryOf(int64_t id) const { return m_lines[static_cast<size_t>(id - m_firstId)]; }
    /// Line id (see m_firstId) under viewport position `y`, clamped to the held
    /// lines, and the row of that line.
    int64_t idAt(int y, int *row = nullptr) const;
    /// Whether viewport position `pos` is on a folded line's fold mark, and which line.
    bool onFoldMark(const QPoint &pos, int64_t *id) const;
    bool hasSelection() const;

    std::deque<Entry> m_lines;
    /// Id of m_lines.front(); ids grow by one per appended line and are never
    /// reused, so a selection survives lines dropping off the top.
    int64_t m_firstId = 0;
    qsizetype m_bytes = 0;
    int m_maxLines;
    qsizetype m_maxBytes;

    /// Width the rows are counted at, and the average character width behind the estimates.
    int m_wrapWidth = 1;
    double m_charWidth = 1;
    /// continuationIndent(), kept with the font.
    int m_indent = 1;
    /// Sum of the rows of all lines.
    int64_t m_totalRows = 0;
    /// Top of the view: row m_topRow of line m_topId, below m_rowsAbove rows
    /// of older lines. Its scroll bar value is m_rowsAbove + m_topRow.
    int64_t m_topId = 0;
    int m_topRow = 0;
    int64_t m_rowsAbove = 0;
    /// The top the viewport's pixels were drawn at, with every row filled
    /// (m_shownTopId -1: none that appended lines alone could have moved).
    int64_t m_shownTopId = -1;
    int m_shownTopRow = 0;
    RowScrollBar *m_scrollBar;
    bool m_follow = true;
    bool m_adjusting = false;
    bool m_dirty = false;
    QTimer m_flushTimer;
    QElapsedTimer m_sinceFlush;
    /// The lines on screen, laid out, by id: scrolling by a row lays out one
    /// line at most, not all visible ones.
    QHash<int64_t, Layout> m_laidOut;
    mutable int64_t m_laidOutCount = 0;
    mutable int64_t m_laidOutOffScreen = 0;

    int64_t m_anchor = -1;
    int64_t m_cursor = -1;
    /// The line the read marker's rule is drawn above; -1: none.
    int64_t m_readMarker = -1;
};

} // namespace kc
