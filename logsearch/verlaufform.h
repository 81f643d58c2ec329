#pragma once

#include "logsearch/logindex.h"

#include <QAbstractTableModel>
#include <QTimer>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace logsearch {

class LogReaderForm;

/// The lines found, for the result list: time, conversation and the line with
/// the words found in it (role kMarksRole: a list of QPoint(start, length)).
class HitModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { TimeColumn, ConversationColumn, LineColumn, ColumnCount };
    static constexpr int kMarksRole = Qt::UserRole + 1;

    using QAbstractTableModel::QAbstractTableModel;

    void setHits(const QList<LogHit> &hits, const QList<QueryWord> &words);
    void addHits(const QList<LogHit> &hits);
    const LogHit &hit(int row) const { return m_hits.at(row); }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QList<LogHit> m_hits;
    QList<QueryWord> m_words;
};

/// "Verlauf durchsuchen": a search through the chat logs as the user types,
/// newest first. A click on a line opens that day's log at that line.
class VerlaufForm : public QWidget
{
    Q_OBJECT
public:
    /// The pause after a key before the search starts.
    static constexpr int kTypingMs = 120;

    explicit VerlaufForm(QWidget *parent = nullptr);
    ~VerlaufForm() override;

    /// Shows the window in front, with the keyboard in the search field.
    void open();

    /// The index this window searches; it runs on its own (see LogIndex).
    LogIndex &index() { return m_index; }

    QLineEdit *queryEdit;
    QLabel *statusLabel;
    QTreeView *resultView;
    QPushButton *rebuildButton;

    HitModel &hits() { return m_model; }
    /// The window that shows a line's log; nullptr until a line was opened.
    LogReaderForm *reader() const { return m_reader; }
    /// Opens the log of result `row` at its line.
    void openHit(int row);

private:
    void startSearch();
    void found(quint64 ticket, const QList<LogHit> &hits, bool complete);
    void showStatus();

    LogIndex m_index;
    HitModel m_model;
    QTimer m_typing;
    quint64 m_ticket = 0;
    /// The words of the search m_ticket, to mark.
    QList<QueryWord> m_words;
    bool m_firstBatch = true;
    bool m_complete = true;
    bool m_busy = false;
    QString m_problem;
    LogReaderForm *m_reader = nullptr;
};

} // namespace logsearch
