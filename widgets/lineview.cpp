#include "widgets/lineview.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace kc {

namespace {

constexpr int kMargin = 3;
// What a line costs besides its characters: deque slot, string header, colour.
constexpr qsizetype kLineCharge = 64;

qsizetype charge(const QString &text)
{
    return text.size() * qsizetype(sizeof(QChar)) + kLineCharge;
}

bool isBreak(QChar c)
{
    return c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator;
}

} // namespace

QString LineView::cutMarker()
{
    return QStringLiteral(" [\u2026]");
}

LineView::LineView(QWidget *parent, int maxLines, qsizetype maxBytes)
    : QAbstractScrollArea(parent), m_maxLines(std::max(1, maxLines)), m_maxBytes(maxBytes)
{
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    horizontalScrollBar()->setSingleStep(20);

    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(0);
    connect(&m_flushTimer, &QTimer::timeout, this, &LineView::flush);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (!m_adjusting)
            m_follow = value >= verticalScrollBar()->maximum();
    });
}

void LineView::appendText(const QString &text, const QColor &colour)
{
    const QStringView all(text);
    qsizetype start = 0;
    for (qsizetype i = 0; i < all.size(); ++i) {
        if (!isBreak(all[i]))
            continue;
        appendLine(all.mid(start, i - start), colour);
        if (all[i] == u'\r' && i + 1 < all.size() && all[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    appendLine(all.mid(start), colour);
    scheduleFlush();
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

void LineView::appendLine(QStringView text, const QColor &colour)
{
    Entry entry;
    entry.text = capped(text);
    entry.colour = colour;
    m_bytes += charge(entry.text);
    m_lines.push_back(std::move(entry));
    while (m_lines.size() > 1 && (lineCount() > m_maxLines || m_bytes > m_maxBytes))
        dropOldest();
}

bool LineView::setLineText(int64_t number, const QString &text)
{
    if (number < m_firstId || number >= m_firstId + lineCount())
        return false;
    QString one = text;
    for (QChar &c : one)
        if (isBreak(c))
            c = u' ';
    Entry &entry = m_lines[static_cast<size_t>(number - m_firstId)];
    m_bytes -= charge(entry.text);
    entry.text = capped(one);
    m_bytes += charge(entry.text);
    if (entry.width >= 0) {
        if (entry.width >= m_widest)
            m_widestDropped = true;
        entry.width = fontMetrics().horizontalAdvance(entry.text);
        m_widest = std::max(m_widest, entry.width);
    }
    m_shaped.remove(number);
    while (m_lines.size() > 1 && m_bytes > m_maxBytes)
        dropOldest();
    scheduleFlush();
    return true;
}

void LineView::dropOldest()
{
    const Entry &oldest = m_lines.front();
    if (oldest.width >= m_widest)
        m_widestDropped = true;
    m_bytes -= charge(oldest.text);
    m_lines.pop_front();
    ++m_firstId;
    ++m_droppedSinceFlush;
}

void LineView::clear()
{
    m_firstId += lineCount();
    m_lines.clear();
    m_bytes = 0;
    m_widest = 0;
    m_widestDropped = false;
    m_droppedSinceFlush = 0;
    m_anchor = m_cursor = -1;
    m_follow = true;
    scheduleFlush();
}

QColor LineView::lineColour(int index) const
{
    const QColor &colour = line(index).colour;
    return colour.isValid() ? colour : palette().color(QPalette::Text);
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
    viewport()->update();
}

void LineView::copy()
{
    if (hasSelection())
        QGuiApplication::clipboard()->setText(selectedText());
}

void LineView::scheduleFlush()
{
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void LineView::flush()
{
    const QFontMetrics metrics = fontMetrics();
    if (m_widestDropped) {
        m_widest = 0;
        for (const Entry &entry : m_lines)
            m_widest = std::max(m_widest, entry.width);
        m_widestDropped = false;
    }
    // New lines sit at the back; measuring stops at the first measured one.
    for (auto it = m_lines.rbegin(); it != m_lines.rend() && it->width < 0; ++it) {
        it->width = metrics.horizontalAdvance(it->text);
        m_widest = std::max(m_widest, it->width);
    }
    updateScrollBars();
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

void LineView::updateScrollBars()
{
    m_adjusting = true;
    QScrollBar *vertical = verticalScrollBar();
    const int rows = visibleRows();
    const int top = vertical->value();
    vertical->setRange(0, std::max(0, lineCount() - rows));
    vertical->setPageStep(rows);
    if (m_follow)
        vertical->setValue(vertical->maximum());
    else
        vertical->setValue(static_cast<int>(std::max<int64_t>(0, top - m_droppedSinceFlush)));
    m_droppedSinceFlush = 0;

    QScrollBar *horizontal = horizontalScrollBar();
    const int width = viewport()->width();
    horizontal->setRange(0, std::max(0, m_widest + 2 * kMargin - width));
    horizontal->setPageStep(width);
    m_adjusting = false;
}

int64_t LineView::idAt(int y) const
{
    const int row = y < 0 ? -1 : y / rowHeight();
    const int index = std::clamp(verticalScrollBar()->value() + row, 0, std::max(0, lineCount() - 1));
    return m_firstId + index;
}

void LineView::paintEvent(QPaintEvent *)
{
    QPainter painter(viewport());
    const int height = rowHeight();
    const int first = verticalScrollBar()->value();
    const int x = kMargin - horizontalScrollBar()->value();
    const int rows = viewport()->height() / height + 1;
    const bool selection = hasSelection();
    const int64_t selFirst = std::min(m_anchor, m_cursor);
    const int64_t selLast = std::max(m_anchor, m_cursor);
    const QPalette &colours = palette();
    QHash<int64_t, QStaticText> shaped;
    for (int row = 0; row < rows; ++row) {
        const int index = first + row;
        if (index >= lineCount())
            break;
        const Entry &entry = m_lines[static_cast<size_t>(index)];
        const int64_t id = m_firstId + index;
        const int y = row * height;
        if (selection && id >= selFirst && id <= selLast) {
            painter.fillRect(0, y, viewport()->width(), height, colours.brush(QPalette::Highlight));
            painter.setPen(colours.color(QPalette::HighlightedText));
        } else {
            painter.setPen(entry.colour.isValid() ? entry.colour : colours.color(QPalette::Text));
        }
        QStaticText text = m_shaped.value(id);
        if (text.text().isEmpty() && !entry.text.isEmpty()) {
            text.setText(entry.text);
            text.setTextFormat(Qt::PlainText);
            text.setPerformanceHint(QStaticText::AggressiveCaching);
            text.prepare(QTransform(), font());
        }
        painter.drawStaticText(QPoint(x, y), text);
        shaped.insert(id, text);
    }
    m_shaped = std::move(shaped);
}

void LineView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

void LineView::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        for (Entry &entry : m_lines)
            entry.width = -1;
        m_widest = 0;
        m_shaped.clear();
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
    const int64_t id = idAt(event->position().toPoint().y());
    if (!(event->modifiers() & Qt::ShiftModifier) || m_anchor < 0)
        m_anchor = id;
    m_cursor = id;
    viewport()->update();
}

void LineView::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton) || m_anchor < 0 || m_lines.empty())
        return;
    const int y = event->position().toPoint().y();
    QScrollBar *vertical = verticalScrollBar();
    if (y < 0)
        vertical->setValue(vertical->value() - 1);
    else if (y >= viewport()->height())
        vertical->setValue(vertical->value() + 1);
    m_cursor = idAt(y);
    viewport()->update();
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
    menu.exec(event->globalPos());
}

} // namespace kc
