#include "widgets/lineview.h"

#include "widgets/contrast.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QGlyphRun>
#include <QRawFont>
#include <QTextLayout>

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

namespace kc {

namespace {

constexpr int kMargin = 3;
// What a line costs besides its characters: deque slot, string header, colour.
constexpr qsizetype kLineCharge = 64;

qsizetype charge(const QString &text)
{
    return text.size() * qsizetype(sizeof(QChar)) + kLineCharge;
}

// Everything a text layout, a terminal or another program may take for the
// end of a line.
bool isBreak(QChar c)
{
    return c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == QChar(0x85) || c == QChar::LineSeparator
        || c == QChar::ParagraphSeparator;
}

// Marks a row that follows a line break inside a line.
const QString &breakMark()
{
    static const QString mark = QStringLiteral("\u21B3");
    return mark;
}

} // namespace

// A line's shown text laid out in rows. A long line (one unfolded by the user)
// is laid out in pieces of about LineView::kFoldChars characters, cut after a
// blank or a break where one is near: the cost of a layout grows faster than
// its length where a word is long, and a piece bounds it.
class LaidOutLine
{
public:
    QString text;
    std::vector<std::unique_ptr<QTextLayout>> pieces;
    /// Where each piece starts in text, and its first row among the line's rows.
    std::vector<qsizetype> starts;
    std::vector<int> firstRows;
    /// Where each row of text starts, in pixels from the line's top, and the
    /// height it takes: the view's row height, or more for a tall row.
    std::vector<qreal> rowY;
    std::vector<qreal> rowSlot;
    /// The height of each row's tallest glyph run.
    std::vector<qreal> tallest;
    /// Units (view rows) the line takes: its rows' heights, rounded up.
    int rows = 0;

    int lineCount() const { return rows; }
    /// Rows of text.
    int textRows() const { return static_cast<int>(rowY.size()); }
    /// The row of text at `y` pixels from the line's top.
    int textRowAtPixel(qreal y) const
    {
        const auto after = std::upper_bound(rowY.begin(), rowY.end(), y);
        return std::max(0, static_cast<int>(after - rowY.begin()) - 1);
    }
    /// Row `row` of text; *start is where its piece starts in text.
    QTextLine lineAt(int row, qsizetype *start) const
    {
        const size_t piece = static_cast<size_t>(std::upper_bound(firstRows.begin(), firstRows.end(), row)
                                                 - firstRows.begin() - 1);
        *start = starts[piece];
        return pieces[piece]->lineAt(row - firstRows[piece]);
    }
};

// A scroll bar that repaints only when its picture changes. A view that takes
// a line per pass of the event loop changes the range each time, yet once the
// slider has its least length and sits at the end, nothing on screen moves;
// repainting it anyway costs more than the new line itself. Changes made
// between hold() and release() count as one.
class RowScrollBar : public QScrollBar
{
public:
    using QScrollBar::QScrollBar;

    void hold() { m_held = true; }
    void release()
    {
        m_held = false;
        if (m_changed && look() != m_painted)
            update();
        m_changed = false;
    }

protected:
    void sliderChange(SliderChange change) override
    {
        if (change == SliderRangeChange || change == SliderValueChange) {
            if (m_held) {
                m_changed = true;
                return;
            }
            if (look() == m_painted)
                return;
        }
        QScrollBar::sliderChange(change);
    }

    void paintEvent(QPaintEvent *event) override
    {
        QScrollBar::paintEvent(event);
        m_painted = look();
    }

private:
    struct Look
    {
        QRect slider;
        bool atStart = false;
        bool atEnd = false;
        bool operator==(const Look &) const = default;
    };

    Look look() const
    {
        QStyleOptionSlider option;
        initStyleOption(&option);
        return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
                value() == minimum(), value() == maximum()};
    }

    Look m_painted;
    bool m_held = false;
    bool m_changed = false;
};

QString LineView::cutMarker()
{
    return QStringLiteral(" [\u2026]");
}

QString LineView::foldMark(qsizetype hidden)
{
    const QString count = QLocale(QLocale::German).toString(hidden);
    return hidden == 1 ? QStringLiteral(" \u2026 (1 weiteres Zeichen, Klick zeigt alles)")
                       : QStringLiteral(" \u2026 (%1 weitere Zeichen, Klick zeigt alles)").arg(count);
}

QString LineView::markSign(LineMark mark)
{
    switch (mark) {
    case LineMark::None:
        break;
    case LineMark::Status:
        return QStringLiteral("\u00BB");
    case LineMark::Warning:
        return QStringLiteral("\u26A0");
    case LineMark::Error:
        return QStringLiteral("\u2716");
    }
    return {};
}

QColor LineView::markColour(LineMark mark)
{
    switch (mark) {
    case LineMark::None:
    case LineMark::Error:
        break;
    case LineMark::Status:
        return QColor(0x6E, 0x6E, 0x6E);
    case LineMark::Warning:
        return QColor(0xC0, 0x00, 0x00);
    }
    return {};
}

QFont LineView::markFont(LineMark mark) const
{
    QFont marked = font();
    if (mark == LineMark::Status)
        marked.setItalic(true);
    else if (mark != LineMark::None)
        marked.setBold(true);
    return marked;
}

LineView::LineView(QWidget *parent, int maxLines, qsizetype maxBytes)
    : QAbstractScrollArea(parent), m_maxLines(std::max(1, maxLines)), m_maxBytes(maxBytes)
{
    setFocusPolicy(Qt::StrongFocus);
    m_scrollBar = new RowScrollBar(Qt::Vertical);
    setVerticalScrollBar(m_scrollBar);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setMouseTracking(true);
    m_wrapWidth = wrapWidth();
    m_charWidth = std::max(1.0, QFontMetricsF(font()).averageCharWidth());
    m_indent = continuationIndent();

    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &LineView::flush);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (m_adjusting)
            return;
        m_follow = value >= verticalScrollBar()->maximum();
        if (!m_follow)
            seek(value);
        layoutVisible();
        repaintAll();
    });
}

void LineView::appendText(const QString &text, const QColor &colour)
{
    appendLine(text, colour);
    scheduleFlush();
}

void LineView::appendMarked(const QString &text, LineMark mark)
{
    appendLine(text, markColour(mark), mark);
    scheduleFlush();
}

bool LineView::highlightLine(int64_t number)
{
    if (number < m_firstId || number > lastLineNumber())
        return false;
    entryOf(number).highlighted = true;
    repaintAll();
    return true;
}

void LineView::setReadMarker(int64_t number)
{
    if (number == m_readMarker)
        return;
    m_readMarker = number;
    repaintAll();
}

bool LineView::scrollToLine(int64_t number)
{
    if (number < m_firstId || number > lastLineNumber())
        return false;
    if (m_dirty)
        layoutVisible();
    int64_t row = 0;
    for (int64_t id = m_firstId; id < number; ++id)
        row += entryOf(id).rows;
    // A few lines of what came before stay in sight above it.
    row = std::max<int64_t>(0, row - visibleRows() / 4);
    m_follow = row >= std::max<int64_t>(0, m_totalRows - visibleRows());
    if (!m_follow)
        seek(row);
    layoutVisible();
    repaintAll();
    return true;
}

QColor LineView::highlightColour(const QColor &base)
{
    // Amber mixed into the background: light on a light theme, dark on a dark one.
    const QColor amber(0xFF, 0xB0, 0x00);
    const double share = base.lightnessF() > 0.5 ? 0.28 : 0.35;
    return QColor::fromRgbF(float(base.redF() * (1 - share) + amber.redF() * share),
                            float(base.greenF() * (1 - share) + amber.greenF() * share),
                            float(base.blueF() * (1 - share) + amber.blueF() * share));
}

QColor LineView::readMarkerColour()
{
    return QColor(0xD0, 0x30, 0x30);
}

QString LineView::capped(QStringView text)
{
    if (text.size() <= kMaxLineChars)
        return text.toString();
    qsizetype keep = kMaxLineChars;
    if (text[keep - 1].isHighSurrogate())
        --keep;
    return text.left(keep).toString() + cutMarker();
}

void LineView::appendLine(QStringView text, const QColor &colour, LineMark mark)
{
    Entry entry;
    entry.text = capped(text);
    // One kind of break inside, so that a copy gives the line as one text.
    if (entry.text.contains(u'\r'))
        entry.text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    for (QChar &c : entry.text) {
        if (isBreak(c)) {
            c = u'\n';
            ++entry.breaks;
        }
    }
    entry.colour = colour;
    entry.mark = mark;
    entry.rows = estimateRows(entry);
    m_bytes += charge(entry.text);
    m_totalRows += entry.rows;
    if (m_lines.empty()) {
        m_topId = m_firstId;
        m_topRow = 0;
        m_rowsAbove = 0;
    }
    m_lines.push_back(std::move(entry));
    while (m_lines.size() > 1 && (lineCount() > m_maxLines || m_bytes > m_maxBytes))
        dropOldest();
    m_dirty = true;
}

qsizetype LineView::shownChars(const Entry &entry)
{
    const qsizetype size = entry.text.size();
    if (entry.unfolded || (size <= kFoldChars && entry.breaks <= kFoldBreaks))
        return size;
    qsizetype shown = std::min<qsizetype>(size, kFoldChars);
    if (entry.breaks > kFoldBreaks) {
        int breaks = 0;
        for (qsizetype i = 0; i < shown; ++i) {
            if (isBreak(entry.text[i]) && ++breaks > kFoldBreaks) {
                shown = i;
                break;
            }
        }
    }
    if (shown < size && shown > 0 && entry.text[shown - 1].isHighSurrogate())
        --shown;
    return shown;
}

QString LineView::shownText(const Entry &entry)
{
    const qsizetype shown = shownChars(entry);
    if (shown == entry.text.size() && entry.breaks == 0)
        return entry.text;
    QString text = entry.text.left(shown);
    for (QChar &c : text)
        if (isBreak(c))
            c = QChar::LineSeparator;
    if (shown < entry.text.size())
        text += foldMark(entry.text.size() - shown);
    return text;
}

bool LineView::isFolded(int index) const
{
    const Entry &entry = m_lines.at(static_cast<size_t>(index));
    return shownChars(entry) < entry.text.size();
}

void LineView::unfold(int index)
{
    if (!isFolded(index))
        return;
    const size_t at = static_cast<size_t>(index);
    m_lines[at].unfolded = true;
    setRows(at, estimateRows(m_lines[at]), false);
    m_laidOut.remove(m_firstId + index);
    m_shownTopId = -1;
    m_dirty = true;
    scheduleFlush();
}

bool LineView::setLineText(int64_t number, const QString &text)
{
    if (number < m_firstId || number >= m_firstId + lineCount())
        return false;
    QString one = text;
    for (QChar &c : one)
        if (isBreak(c))
            c = u' ';
    const size_t index = static_cast<size_t>(number - m_firstId);
    Entry &entry = m_lines[index];
    m_bytes -= charge(entry.text);
    entry.text = capped(one);
    entry.breaks = 0;
    m_bytes += charge(entry.text);
    setRows(index, estimateRows(entry), false);
    m_laidOut.remove(number);
    while (m_lines.size() > 1 && m_bytes > m_maxBytes)
        dropOldest();
    m_shownTopId = -1;
    m_dirty = true;
    scheduleFlush();
    return true;
}

void LineView::setRows(size_t index, int rows, bool exact)
{
    Entry &entry = m_lines[index];
    const int delta = rows - entry.rows;
    entry.rows = rows;
    entry.exact = exact;
    m_totalRows += delta;
    if (m_firstId + static_cast<int64_t>(index) < m_topId)
        m_rowsAbove += delta;
}

void LineView::dropOldest()
{
    const Entry &oldest = m_lines.front();
    m_bytes -= charge(oldest.text);
    m_totalRows -= oldest.rows;
    if (m_firstId < m_topId) {
        m_rowsAbove -= oldest.rows;
    } else {
        // The top line itself goes: the view starts at the next one.
        m_topId = m_firstId + 1;
        m_topRow = 0;
    }
    m_laidOut.remove(m_firstId);
    m_lines.pop_front();
    ++m_firstId;
}

int64_t LineView::estimateRows(qsizetype chars, bool first) const
{
    const double width = static_cast<double>(chars) * m_charWidth;
    const double rest = std::max(1, m_wrapWidth - m_indent);
    if (first)
        return width <= m_wrapWidth ? 1 : 1 + static_cast<int64_t>(std::ceil((width - m_wrapWidth) / rest));
    return std::max<int64_t>(1, static_cast<int64_t>(std::ceil(width / rest)));
}

int LineView::estimateRows(const Entry &entry) const
{
    if (entry.text.isEmpty())
        return 1;
    const qsizetype shown = shownChars(entry);
    const qsizetype mark = shown < entry.text.size() ? foldMark(entry.text.size() - shown).size() : 0;
    int64_t rows = 0;
    const bool plain = entry.mark == LineMark::None;
    if (entry.breaks == 0) {
        rows = estimateRows(shown + mark, plain);
    } else {
        qsizetype start = 0;
        for (qsizetype i = 0; i <= shown; ++i) {
            if (i < shown && !isBreak(entry.text[i]))
                continue;
            rows += estimateRows(i - start + (i == shown ? mark : 0), plain && start == 0);
            start = i + 1;
        }
    }
    return static_cast<int>(std::clamp<int64_t>(rows, 1, kMaxLineChars + 16));
}

LineView::Layout LineView::makeLayout(const Entry &entry) const
{
    auto laid = std::make_shared<LaidOutLine>();
    laid->text = shownText(entry);
    const QString &text = laid->text;
    const qsizetype shown = shownChars(entry);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    const int height = rowHeight();
    const int rest = std::max(1, m_wrapWidth - m_indent);
    // A marked line's first row starts indented, behind its sign.
    const bool plain = entry.mark == LineMark::None;
    const QFont lineFont = markFont(entry.mark);
    qreal pixel = 0;
    // A folded line with its mark is one piece.
    const qsizetype pieceChars = kFoldChars + 128;
    qsizetype start = 0;
    int row = 0;
    do {
        qsizetype end = text.size();
        if (end - start > pieceChars) {
            end = start + kFoldChars;
            const qsizetype near = end - 200;
            qsizetype at = end;
            while (at > near && text[at - 1] != u' ' && text[at - 1] != QChar::LineSeparator)
                --at;
            if (at > near)
                end = at;
            else if (text[end - 1].isHighSurrogate())
                --end;
        }
        auto layout = std::make_unique<QTextLayout>(text.mid(start, end - start), lineFont, viewport());
        layout->setTextOption(option);
        layout->setCacheEnabled(true);
        if (shown < entry.text.size() && end > shown) {
            QTextLayout::FormatRange mark;
            mark.start = static_cast<int>(std::max(shown - start, qsizetype(0)));
            mark.length = static_cast<int>(end - start - mark.start);
            mark.format.setForeground(legibleOn(palette().color(QPalette::Link), palette().color(QPalette::Base)));
            mark.format.setFontUnderline(true);
            layout->setFormats({mark});
        }
        laid->starts.push_back(start);
        laid->firstRows.push_back(row);
        // Text the font covers alone needs no look at its glyph runs.
        const bool fallback = std::any_of(layout->text().cbegin(), layout->text().cend(),
                                          [](QChar c) { return c.unicode() >= 0x0370; });
        layout->beginLayout();
        for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
            const bool first = row == 0 && plain;
            line.setLineWidth(first ? m_wrapWidth : rest);
            // A fallback font (CJK, emoji) may reach above or below the row's own font.
            qreal above = 0;
            qreal below = 0;
            if (fallback) {
                for (const QGlyphRun &run : line.glyphRuns()) {
                    const QRawFont raw = run.rawFont();
                    above = std::max(above, raw.ascent() - line.ascent());
                    below = std::max(below, raw.descent() - line.descent());
                }
            }
            const qreal tall = line.height() + above + below;
            // A pixel of rounding is no reason for a taller row.
            const qreal slot = tall - 1 <= height ? height : tall;
            line.setPosition(QPointF(first ? 0 : m_indent, pixel + above));
            laid->rowY.push_back(pixel);
            laid->rowSlot.push_back(slot);
            laid->tallest.push_back(tall);
            pixel += slot;
            ++row;
        }
        layout->endLayout();
        laid->pieces.push_back(std::move(layout));
        start = end;
    } while (start < text.size());
    // The line takes whole units; a tall one sits in their middle.
    laid->rows = std::max(1, static_cast<int>(std::ceil((pixel - 1) / height)));
    const qreal middle = std::floor((laid->rows * height - pixel) / 2);
    if (middle > 0) {
        for (const std::unique_ptr<QTextLayout> &piece : laid->pieces) {
            for (int i = 0; i < piece->lineCount(); ++i) {
                QTextLine line = piece->lineAt(i);
                line.setPosition(line.position() + QPointF(0, middle));
            }
        }
        for (qreal &y : laid->rowY)
            y += middle;
    }
    ++m_laidOutCount;
    return laid;
}

int LineView::wrapWidth() const
{
    return std::max(1, viewport()->width() - 2 * kMargin);
}

int LineView::continuationIndent() const
{
    return std::max(1, fontMetrics().horizontalAdvance(breakMark() + u' '));
}

QStringList LineView::wrappedRows(int index) const
{
    const Entry &entry = m_lines.at(static_cast<size_t>(index));
    Layout layout = m_laidOut.value(m_firstId + index);
    if (!layout) {
        layout = makeLayout(entry);
        ++m_laidOutOffScreen;
    }
    QStringList rows;
    for (int i = 0; i < layout->textRows(); ++i) {
        qsizetype start = 0;
        const QTextLine row = layout->lineAt(i, &start);
        rows << layout->text.mid(start + row.textStart(), row.textLength()).replace(QChar::LineSeparator, u'\n');
    }
    return rows;
}

QList<int> LineView::rowHeights(int index) const
{
    Layout layout = m_laidOut.value(m_firstId + index);
    if (!layout)
        layout = makeLayout(m_lines.at(static_cast<size_t>(index)));
    QList<int> heights;
    for (int i = 0; i < layout->textRows(); ++i)
        heights << static_cast<int>(std::ceil(layout->rowSlot[static_cast<size_t>(i)]));
    return heights;
}

int LineView::lineHeight(int index) const
{
    Layout layout = m_laidOut.value(m_firstId + index);
    if (!layout)
        layout = makeLayout(m_lines.at(static_cast<size_t>(index)));
    return layout->lineCount() * rowHeight();
}

QList<qreal> LineView::glyphHeights(int index) const
{
    Layout layout = m_laidOut.value(m_firstId + index);
    if (!layout)
        layout = makeLayout(m_lines.at(static_cast<size_t>(index)));
    return QList<qreal>(layout->tallest.begin(), layout->tallest.end());
}

void LineView::rewrap()
{
    m_wrapWidth = wrapWidth();
    m_indent = continuationIndent();
    m_laidOut.clear();
    m_totalRows = 0;
    m_rowsAbove = 0;
    int64_t id = m_firstId;
    for (Entry &entry : m_lines) {
        entry.rows = estimateRows(entry);
        entry.exact = false;
        m_totalRows += entry.rows;
        if (id++ < m_topId)
            m_rowsAbove += entry.rows;
    }
    m_shownTopId = -1;
    m_dirty = true;
}

void LineView::clear()
{
    m_firstId += lineCount();
    m_lines.clear();
    m_laidOut.clear();
    m_bytes = 0;
    m_totalRows = 0;
    m_topId = m_firstId;
    m_topRow = 0;
    m_rowsAbove = 0;
    m_anchor = m_cursor = -1;
    m_follow = true;
    m_shownTopId = -1;
    m_dirty = true;
    scheduleFlush();
}

QColor LineView::lineColour(int index) const
{
    const QColor &colour = line(index).colour;
    return colour.isValid() ? colour : palette().color(QPalette::Text);
}

QColor LineView::drawnColour(int index) const
{
    return legibleOn(lineColour(index), palette().color(QPalette::Base));
}

QString LineView::toPlainText() const
{
    QString all;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (i > 0)
            all += u'\n';
        all += m_lines[i].text;
    }
    return all;
}

bool LineView::hasSelection() const
{
    return m_anchor >= 0 && std::max(m_anchor, m_cursor) >= m_firstId && !m_lines.empty();
}

QString LineView::selectedText() const
{
    if (!hasSelection())
        return {};
    const int64_t first = std::max(std::min(m_anchor, m_cursor), m_firstId);
    const int64_t last = std::min(std::max(m_anchor, m_cursor), m_firstId + lineCount() - 1);
    QStringList lines;
    for (int64_t id = first; id <= last; ++id)
        lines << m_lines[static_cast<size_t>(id - m_firstId)].text;
    return lines.join(u'\n');
}

void LineView::selectAll()
{
    if (m_lines.empty())
        return;
    m_anchor = m_firstId;
    m_cursor = m_firstId + lineCount() - 1;
    repaintAll();
}

void LineView::copy()
{
    if (hasSelection())
        QGuiApplication::clipboard()->setText(selectedText());
}

void LineView::scheduleFlush()
{
    if (m_flushTimer.isActive())
        return;
    const qint64 since = m_sinceFlush.isValid() ? m_sinceFlush.elapsed() : kFrameMs;
    m_flushTimer.start(static_cast<int>(std::clamp<qint64>(kFrameMs - since, 0, kFrameMs)));
}

void LineView::flush()
{
    m_sinceFlush.start();
    const bool following = m_follow;
    layoutVisible();
    // Following the end with nothing changed but lines appended: the rows on
    // screen move up, and only the rows that come in are drawn.
    const int64_t moved = following && m_follow ? rowsSinceShownTop() : -1;
    const int rows = visibleRows();
    if (moved <= 0 || moved >= rows) {
        repaintAll();
        return;
    }
    const int height = rowHeight();
    viewport()->scroll(0, -static_cast<int>(moved) * height);
    const int firstNew = static_cast<int>(rows - moved) * height;
    viewport()->update(0, firstNew, viewport()->width(), viewport()->height() - firstNew);
}

int64_t LineView::rowsSinceShownTop() const
{
    if (m_shownTopId < m_firstId || m_shownTopId > m_topId)
        return -1;
    int64_t rows = m_topRow - m_shownTopRow;
    for (int64_t id = m_shownTopId; id < m_topId; ++id) {
        rows += entryOf(id).rows;
        if (rows > visibleRows())
            return -1;
    }
    return rows;
}

void LineView::repaintAll()
{
    m_shownTopId = -1;
    viewport()->update();
}

int LineView::rowHeight() const
{
    return std::max(1, fontMetrics().lineSpacing());
}

int LineView::visibleRows() const
{
    return std::max(1, viewport()->height() / rowHeight());
}

void LineView::layoutVisible()
{
    m_dirty = false;
    if (m_lines.empty()) {
        m_laidOut.clear();
        updateScrollBars();
        return;
    }
    QHash<int64_t, Layout> kept;
    const auto exact = [this, &kept](int64_t id) {
        Layout layout = m_laidOut.value(id);
        if (!layout)
            layout = makeLayout(entryOf(id));
        kept.insert(id, layout);
        const size_t index = static_cast<size_t>(id - m_firstId);
        if (!m_lines[index].exact)
            setRows(index, std::max(1, layout->lineCount()), true);
        return m_lines[index].rows;
    };
    const int64_t lastId = m_firstId + lineCount() - 1;
    const int rows = visibleRows();
    if (!m_follow) {
        // From the top down, over the rows the viewport shows (a partial one included).
        m_topId = std::clamp(m_topId, m_firstId, lastId);
        m_topRow = std::clamp(m_topRow, 0, exact(m_topId) - 1);
        const int shown = (viewport()->height() + rowHeight() - 1) / rowHeight();
        int64_t filled = m_lines[static_cast<size_t>(m_topId - m_firstId)].rows - m_topRow;
        int64_t id = m_topId;
        while (filled < shown && id < lastId)
            filled += exact(++id);
        // Scrolled so far that the end shows: the view follows again.
        m_follow = m_rowsAbove + m_topRow >= std::max<int64_t>(0, m_totalRows - rows);
    }
    if (m_follow) {
        // From the end up, until the viewport is full.
        int64_t need = rows;
        int64_t id = lastId;
        for (;; --id) {
            need -= exact(id);
            if (need <= 0 || id == m_firstId)
                break;
        }
        m_topId = id;
        m_topRow = static_cast<int>(std::max<int64_t>(0, -need));
        // The rows from the top line on fill the viewport exactly, unless all lines fit.
        m_rowsAbove = need <= 0 ? m_totalRows - rows - m_topRow : 0;
    }
    m_laidOut = std::move(kept);
    updateScrollBars();
}

void LineView::seek(int64_t value)
{
    if (m_lines.empty())
        return;
    const int64_t lastId = m_firstId + lineCount() - 1;
    value = std::clamp<int64_t>(value, 0, std::max<int64_t>(0, m_totalRows - 1));
    // Walk from whichever of the first line, the present top or the last line is nearest.
    const int64_t here = m_rowsAbove + m_topRow;
    const int64_t lastStart = m_totalRows - m_lines.back().rows;
    if (value < std::abs(value - here) && value < std::abs(value - lastStart)) {
        m_topId = m_firstId;
        m_rowsAbove = 0;
    } else if (std::abs(value - lastStart) < std::abs(value - here)) {
        m_topId = lastId;
        m_rowsAbove = lastStart;
    } else {
        m_topRow = 0;
    }
    int64_t row = value - m_rowsAbove;
    while (row < 0 && m_topId > m_firstId) {
        --m_topId;
        const int above = entryOf(m_topId).rows;
        m_rowsAbove -= above;
        row += above;
    }
    while (row >= entryOf(m_topId).rows && m_topId < lastId) {
        const int rows = entryOf(m_topId).rows;
        m_rowsAbove += rows;
        row -= rows;
        ++m_topId;
    }
    m_topRow = static_cast<int>(std::clamp<int64_t>(row, 0, entryOf(m_topId).rows - 1));
}

void LineView::updateScrollBars()
{
    m_adjusting = true;
    m_scrollBar->hold();
    QScrollBar *vertical = verticalScrollBar();
    const int rows = visibleRows();
    const auto clampInt = [](int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, 0, INT_MAX)); };
    vertical->setRange(0, clampInt(m_totalRows - rows));
    vertical->setPageStep(rows);
    vertical->setValue(m_follow ? vertical->maximum() : clampInt(m_rowsAbove + m_topRow));
    m_scrollBar->release();
    m_adjusting = false;
}

int64_t LineView::idAt(int y, int *rowOfLine) const
{
    if (rowOfLine)
        *rowOfLine = 0;
    if (m_lines.empty())
        return m_firstId;
    const int64_t lastId = m_firstId + lineCount() - 1;
    int64_t id = std::clamp(m_topId, m_firstId, lastId);
    if (y < 0)
        return id;
    int64_t row = y / rowHeight() + m_topRow;
    while (row >= entryOf(id).rows && id < lastId) {
        row -= entryOf(id).rows;
        ++id;
    }
    if (rowOfLine)
        *rowOfLine = static_cast<int>(std::min<int64_t>(row, entryOf(id).rows - 1));
    return id;
}

bool LineView::onFoldMark(const QPoint &pos, int64_t *id) const
{
    if (m_lines.empty() || pos.y() < 0 || pos.y() >= viewport()->height())
        return false;
    int row = 0;
    *id = idAt(pos.y(), &row);
    const Entry &entry = entryOf(*id);
    const qsizetype shown = shownChars(entry);
    const Layout layout = m_laidOut.value(*id);
    if (shown == entry.text.size() || !layout || row >= layout->lineCount())
        return false;
    qsizetype start = 0;
    const QTextLine line = layout->lineAt(layout->textRowAtPixel((row + 0.5) * rowHeight()), &start);
    const qsizetype end = start + line.textStart() + line.textLength();
    if (end <= shown)
        return false;
    const qreal x = pos.x() - kMargin;
    const qreal from = start + line.textStart() >= shown ? line.x() : line.cursorToX(static_cast<int>(shown - start));
    return x >= from && x <= line.x() + line.naturalTextWidth();
}

void LineView::paintEvent(QPaintEvent *event)
{
    if (m_dirty)
        layoutVisible();
    QPainter painter(viewport());
    // The pixels show this top from now on, unless a row count turns out
    // wrong below. Only a full viewport can be moved: below a short one, the
    // rows that come in land where nothing was drawn.
    m_shownTopId = m_totalRows - m_rowsAbove - m_topRow >= visibleRows() ? m_topId : -1;
    m_shownTopRow = m_topRow;
    if (m_lines.empty())
        return;
    // Only the rows in the area asked for are drawn (after a move, the new ones).
    const int areaTop = event->rect().top();
    const int areaEnd = event->rect().bottom() + 1;
    const int height = rowHeight();
    const int viewHeight = viewport()->height();
    const int viewWidth = viewport()->width();
    const bool selection = hasSelection();
    const int64_t selFirst = std::min(m_anchor, m_cursor);
    const int64_t selLast = std::max(m_anchor, m_cursor);
    const QPalette &colours = palette();
    const QColor base = colours.color(QPalette::Base);
    const int64_t lastId = m_firstId + lineCount() - 1;
    int y = -m_topRow * height;
    for (int64_t id = m_topId; id <= lastId && y < std::min(viewHeight, areaEnd); ++id) {
        const Entry &entry = entryOf(id);
        Layout layout = m_laidOut.value(id);
        if (!layout) {
            // Not met when the top was placed (the viewport grew since): on screen now.
            layout = makeLayout(entry);
            m_laidOut.insert(id, layout);
            if (!entry.exact || entry.rows != layout->lineCount()) {
                setRows(static_cast<size_t>(id - m_firstId), std::max(1, layout->lineCount()), true);
                m_shownTopId = -1;
                m_dirty = true;
                scheduleFlush();
            }
        }
        const int rows = std::max(1, layout->lineCount());
        if (y + rows * height <= areaTop) {
            y += rows * height;
            continue;
        }
        if (selection && id >= selFirst && id <= selLast) {
            painter.fillRect(0, y, viewWidth, rows * height, colours.brush(QPalette::Highlight));
            painter.setPen(colours.color(QPalette::HighlightedText));
        } else if (entry.highlighted) {
            const QColor tint = highlightColour(base);
            painter.fillRect(0, y, viewWidth, rows * height, tint);
            painter.fillRect(0, y, kMargin - 1, rows * height, QColor(0xE0, 0x80, 0x00));
            painter.setPen(legibleOn(entry.colour.isValid() ? entry.colour : colours.color(QPalette::Text), tint));
        } else {
            painter.setPen(legibleOn(entry.colour.isValid() ? entry.colour : colours.color(QPalette::Text), base));
        }
        const QString &text = layout->text;
        for (int i = layout->textRowAtPixel(std::max(0, -y)); i < layout->textRows(); ++i) {
            const qreal rowY = y + layout->rowY[static_cast<size_t>(i)];
            if (rowY >= std::min(viewHeight, areaEnd))
                break;
            if (rowY + layout->rowSlot[static_cast<size_t>(i)] <= areaTop)
                continue;
            qsizetype start = 0;
            const QTextLine line = layout->lineAt(i, &start);
            line.draw(&painter, QPointF(kMargin, y));
            // Signs sit on the row's baseline, which a tall row moves down.
            const qreal baseline = y + line.y() + line.ascent();
            if (i == 0 && entry.mark != LineMark::None)
                painter.drawText(QPointF(kMargin, baseline), markSign(entry.mark));
            else if (i > 0 && text[start + line.textStart() - 1] == QChar::LineSeparator)
                painter.drawText(QPointF(kMargin, baseline), breakMark());
        }
        if (id == m_readMarker && id != m_firstId) {
            // Between the last line read and the first one that was new.
            const QPen pen = painter.pen();
            painter.setPen(QPen(readMarkerColour(), 1));
            painter.drawLine(0, y, viewWidth, y);
            painter.setPen(pen);
        }
        y += rows * height;
    }
}

void LineView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    m_shownTopId = -1;
    if (wrapWidth() != m_wrapWidth)
        rewrap();
    layoutVisible();
}

void LineView::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        m_charWidth = std::max(1.0, QFontMetricsF(font()).averageCharWidth());
        rewrap();
        scheduleFlush();
    } else if (event->type() == QEvent::PaletteChange) {
        // The fold mark's colour is part of each layout.
        m_laidOut.clear();
        m_shownTopId = -1;
        m_dirty = true;
        scheduleFlush();
    }
}

void LineView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::MoveToStartOfDocument)) {
        verticalScrollBar()->setValue(0);
    } else if (event->matches(QKeySequence::MoveToEndOfDocument)) {
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    } else {
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void LineView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || m_lines.empty()) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    int64_t id = -1;
    if (onFoldMark(event->position().toPoint(), &id)) {
        unfold(static_cast<int>(id - m_firstId));
        return;
    }
    id = idAt(event->position().toPoint().y());
    if (!(event->modifiers() & Qt::ShiftModifier) || m_anchor < 0)
        m_anchor = id;
    m_cursor = id;
    repaintAll();
}

void LineView::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton)) {
        int64_t id = -1;
        viewport()->setCursor(onFoldMark(event->position().toPoint(), &id) ? Qt::PointingHandCursor
                                                                           : Qt::IBeamCursor);
        return;
    }
    if (m_anchor < 0 || m_lines.empty())
        return;
    const int y = event->position().toPoint().y();
    QScrollBar *vertical = verticalScrollBar();
    if (y < 0)
        vertical->setValue(vertical->value() - 1);
    else if (y >= viewport()->height())
        vertical->setValue(vertical->value() + 1);
    m_cursor = idAt(y);
    repaintAll();
}

void LineView::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    QAction *copyAction = menu.addAction(QStringLiteral("Kopieren"), this, &LineView::copy);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(hasSelection());
    QAction *allAction = menu.addAction(QStringLiteral("Alles auswählen"), this, &LineView::selectAll);
    allAction->setShortcut(QKeySequence::SelectAll);
    allAction->setEnabled(!m_lines.empty());
    // The keyboard's way to what a click on the fold mark does.
    QList<int64_t> folded;
    if (hasSelection()) {
        const int64_t first = std::max(std::min(m_anchor, m_cursor), m_firstId);
        const int64_t last = std::min(std::max(m_anchor, m_cursor), m_firstId + lineCount() - 1);
        for (int64_t id = first; id <= last && folded.size() < 1000; ++id)
            if (isFolded(static_cast<int>(id - m_firstId)))
                folded << id;
    }
    if (!folded.isEmpty()) {
        // Lines may drop off while the menu is open: they are found by id.
        menu.addAction(QStringLiteral("Ganze Zeile zeigen"), this, [this, folded] {
            for (int64_t id : folded)
                if (id >= m_firstId && id < m_firstId + lineCount())
                    unfold(static_cast<int>(id - m_firstId));
        });
    }
    menu.exec(event->globalPos());
}

} // namespace kc
