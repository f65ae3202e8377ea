#pragma once
// The history's rows for a table view: the rows a filter shows, asked of
// the index only as the view paints them (one row decoded at a time), so
// ten million rows scroll as fast as ten. A new filter is tested over the
// index in slices, and the rows it shows so far are there at once.

#include "historyfilter.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <memory>

class HistoryModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Time, Direction, Type, Len, Data, Checksum, Verdict, LogIndex, ColumnCount };
    enum class TimeBase { Absolute, First, Selected };
    static constexpr int SliceMs = 20;

    explicit HistoryModel(const History::HistoryIndex& index, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Shows the rows wanted keeps, from the start.
    void setFilter(const History::FilterSpec& wanted);
    const History::HistoryFilter& filter() const { return *m_filter; }
    // Whether rows of the index are still to be tested.
    bool filtering() const { return m_filter->rowsTested() < m_index.size(); }

    // The index gained rows: test them (in slices when they are many).
    void indexGrew();
    // The index was cut short and starts again: every row goes.
    void indexTruncated();

    // Times of day, or seconds from the first row or from a reference row.
    void setTimeBase(TimeBase base, std::int64_t referenceUs = 0);
    TimeBase timeBase() const { return m_timeBase; }

    // Index row of a view row, and back (-1 when the filter hides it).
    std::size_t indexRow(int viewRow) const { return m_filter->row(static_cast<std::size_t>(viewRow)); }
    int viewRow(std::size_t indexRow) const;

Q_SIGNALS:
    // Every row of the index is tested against the filter.
    void filtered();

private:
    void testSlice();
    // Takes in the rows the filter shows beyond those the view has.
    void publish();
    const History::Row* decoded(int viewRow) const;

    const History::HistoryIndex& m_index;
    std::unique_ptr<History::HistoryFilter> m_filter;
    int m_rows = 0; // rows the view was told of
    QTimer m_slice;
    TimeBase m_timeBase = TimeBase::Absolute;
    std::int64_t m_referenceUs = 0;

    // The row last decoded: the view asks for its cells one by one.
    mutable History::Row m_row;
    mutable std::size_t m_rowAt = History::HistoryFilter::None;
};
