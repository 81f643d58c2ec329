#include "logsearch/verlaufform.h"

#include "logsearch/logreaderform.h"
#include "platform/guard.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPoint>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <QTreeView>
#include <QVBoxLayout>

namespace logsearch {

namespace {

/// A line whose first word found starts further in than this is shown from
/// the blank before the kContext characters ahead of that word, so that the
/// word is in sight.
constexpr int kLead = 90;
constexpr int kContext = 30;

/// Draws a line as plain text with the words found on a marker background:
/// formats on a text layout, never markup, so nothing in a line can draw
/// anything but its own characters.
class MarkDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem item = option;
        initStyleOption(&item, index);
        const QString text = item.text;
        item.text.clear();
        const QWidget *widget = option.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);
        const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &item, widget);

        QList<QTextLayout::FormatRange> formats;
        for (const QVariant &mark : index.data(HitModel::kMarksRole).toList()) {
            const QPoint range = mark.toPoint();
            QTextLayout::FormatRange format;
            format.start = range.x();
            format.length = range.y();
            format.format.setBackground(QColor(0xFF, 0xE0, 0x66));
            format.format.setForeground(Qt::black);
            format.format.setFontWeight(QFont::Bold);
            formats.push_back(format);
        }
        QTextLayout layout(text, item.font);
        QTextOption plain;
        plain.setWrapMode(QTextOption::NoWrap);
        layout.setTextOption(plain);
        layout.setFormats(formats);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        if (line.isValid())
            line.setLineWidth(1e6);
        layout.endLayout();
        if (!line.isValid())
            return;
        painter->save();
        painter->setClipRect(area);
        const bool selected = item.state & QStyle::State_Selected;
        painter->setPen(item.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
        layout.draw(painter, QPointF(area.left() + 2, area.top() + (area.height() - line.height()) / 2));
        painter->restore();
    }
};

} // namespace

// ---- the model ----

void HitModel::setHits(const QList<LogHit> &hits, const QList<QueryWord> &words)
{
    beginResetModel();
    m_hits = hits;
    m_words = words;
    endResetModel();
}

void HitModel::addHits(const QList<LogHit> &hits)
{
    if (hits.isEmpty())
        return;
    beginInsertRows({}, static_cast<int>(m_hits.size()), static_cast<int>(m_hits.size() + hits.size() - 1));
    m_hits += hits;
    endInsertRows();
}

int HitModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_hits.size());
}

int HitModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HitModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case TimeColumn:
        return QStringLiteral("Zeit");
    case ConversationColumn:
        return QStringLiteral("Gespräch");
    case LineColumn:
        return QStringLiteral("Zeile");
    }
    return {};
}

QVariant HitModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_hits.size())
        return {};
    const LogHit &hit = m_hits.at(index.row());
    if (role == Qt::ToolTipRole && index.column() == ConversationColumn)
        return QStringLiteral("Server: ") + LogFile::unescape(hit.file.server);
    if (index.column() == LineColumn && (role == Qt::DisplayRole || role == kMarksRole)) {
        QList<TextRange> marks = markedWords(hit.text, m_words);
        QString text = hit.text;
        if (!marks.isEmpty() && marks.front().start > kLead) {
            int cut = marks.front().start - kContext;
            const qsizetype blank = hit.text.lastIndexOf(u' ', cut);
            if (blank > 0 && blank > cut - kContext)
                cut = static_cast<int>(blank) + 1;
            text = QStringLiteral("\u2026") + text.mid(cut);
            for (TextRange &mark : marks)
                mark.start -= cut - 1;
        }
        if (role == Qt::DisplayRole)
            return text;
        QVariantList ranges;
        for (const TextRange &mark : marks)
            ranges.push_back(QPoint(mark.start, mark.length));
        return ranges;
    }
    if (role == Qt::ToolTipRole && index.column() == LineColumn)
        return hit.text;
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case TimeColumn:
        return hit.said.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    case ConversationColumn:
        return conversationName(hit.file);
    }
    return {};
}

// ---- the window ----

VerlaufForm::VerlaufForm(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("verlaufForm"));
    setWindowTitle(QStringLiteral("Verlauf durchsuchen"));
    resize(760, 460);

    queryEdit = new QLineEdit(this);
    queryEdit->setObjectName(QStringLiteral("queryEdit"));
    queryEdit->setPlaceholderText(QStringLiteral("Wörter, oder \"mehrere Wörter\" in Anführungszeichen"));
    queryEdit->setAccessibleName(QStringLiteral("Suchen nach"));
    queryEdit->setClearButtonEnabled(true);
    rebuildButton = new QPushButton(QStringLiteral("Index neu aufbauen"), this);
    rebuildButton->setObjectName(QStringLiteral("rebuildButton"));
    rebuildButton->setToolTip(QStringLiteral("Liest alle Chatverläufe neu ein"));
    statusLabel = new QLabel(this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setTextFormat(Qt::PlainText);

    resultView = new QTreeView(this);
    resultView->setObjectName(QStringLiteral("resultView"));
    resultView->setAccessibleName(QStringLiteral("Gefundene Zeilen"));
    resultView->setRootIsDecorated(false);
    resultView->setUniformRowHeights(true);
    resultView->setAllColumnsShowFocus(true);
    resultView->setSelectionBehavior(QAbstractItemView::SelectRows);
    resultView->setModel(&m_model);
    resultView->setItemDelegateForColumn(HitModel::LineColumn, new MarkDelegate(resultView));
    resultView->header()->setStretchLastSection(true);
    resultView->setColumnWidth(HitModel::TimeColumn, 150);
    resultView->setColumnWidth(HitModel::ConversationColumn, 140);

    auto *top = new QHBoxLayout;
    top->addWidget(queryEdit, 1);
    top->addWidget(rebuildButton);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addLayout(top);
    layout->addWidget(resultView, 1);
    layout->addWidget(statusLabel);

    m_typing.setSingleShot(true);
    m_typing.setInterval(kTypingMs);
    connect(&m_typing, &QTimer::timeout, this, kc::guard([this] { startSearch(); }));
    connect(queryEdit, &QLineEdit::textChanged, this, kc::guard([this] { m_typing.start(); }));
    connect(queryEdit, &QLineEdit::returnPressed, this, kc::guard([this] {
        if (m_typing.isActive()) {
            m_typing.stop();
            startSearch();
        } else if (m_model.rowCount() > 0) {
            openHit(resultView->currentIndex().isValid() ? resultView->currentIndex().row() : 0);
        }
    }));
    connect(resultView, &QTreeView::clicked, this,
            kc::guard([this](const QModelIndex &index) { openHit(index.row()); }));
    connect(resultView, &QTreeView::activated, this,
            kc::guard([this](const QModelIndex &index) { openHit(index.row()); }));
    connect(rebuildButton, &QPushButton::clicked, this, kc::guard([this] {
        m_index.rebuild();
        m_busy = true;
        showStatus();
    }));
    connect(&m_index, &LogIndex::found, this,
            kc::guard([this](quint64 ticket, const QList<LogHit> &hits, bool complete) { found(ticket, hits, complete); }));
    connect(&m_index, &LogIndex::busyChanged, this, kc::guard([this](bool busy) {
        m_busy = busy;
        showStatus();
        // What was found while the index was incomplete is looked for again.
        if (!busy && !queryEdit->text().isEmpty())
            startSearch();
    }));
    connect(&m_index, &LogIndex::problem, this, kc::guard([this](const QString &text) {
        m_problem = text;
        showStatus();
    }));
    showStatus();
}

VerlaufForm::~VerlaufForm()
{
    // The view outlives the model it shows otherwise.
    resultView->setModel(nullptr);
}

void VerlaufForm::open()
{
    show();
    raise();
    activateWindow();
    queryEdit->setFocus();
    queryEdit->selectAll();
}

void VerlaufForm::startSearch()
{
    m_ticket = m_index.search(queryEdit->text());
    m_words = parseQuery(queryEdit->text()).words;
    m_firstBatch = true;
    m_complete = false;
}

void VerlaufForm::found(quint64 ticket, const QList<LogHit> &hits, bool complete)
{
    if (ticket != m_ticket)
        return;
    if (m_firstBatch) {
        m_firstBatch = false;
        m_model.setHits(hits, m_words);
        if (!hits.isEmpty())
            resultView->setCurrentIndex(m_model.index(0, 0));
    } else {
        m_model.addHits(hits);
    }
    m_complete = complete;
    showStatus();
}

void VerlaufForm::showStatus()
{
    QString text;
    const int count = m_model.rowCount();
    const QLocale german(QLocale::German);
    if (queryEdit->text().trimmed().isEmpty())
        text = QStringLiteral("Gesucht wird in allen Chatverläufen: Hauptchat, Räume und private Gespräche.");
    else if (!m_complete)
        text = QStringLiteral("Suche läuft \u2026");
    else if (count == 0)
        text = QStringLiteral("Nichts gefunden.");
    else if (count == 1)
        text = QStringLiteral("1 Zeile gefunden.");
    else if (count >= LogIndex::kMaxHits)
        text = QStringLiteral("Die neuesten %1 Zeilen; es gibt mehr.").arg(german.toString(count));
    else
        text = QStringLiteral("%1 Zeilen gefunden.").arg(german.toString(count));
    if (m_busy)
        text += QStringLiteral(" Der Index wird aufgebaut \u2026");
    if (!m_problem.isEmpty())
        text += u' ' + m_problem;
    statusLabel->setText(text);
}

void VerlaufForm::openHit(int row)
{
    if (row < 0 || row >= m_model.rowCount())
        return;
    if (!m_reader)
        m_reader = new LogReaderForm(this);
    const LogHit &hit = m_model.hit(row);
    m_reader->showLine(m_index.folder(), hit.file, hit.line);
}

} // namespace logsearch
