#include "historymodel.h"

#include "historytext.h"

#include <QBrush>
#include <QColor>

#include <climits>

HistoryModel::HistoryModel(const History::HistoryIndex& index, QObject* parent)
    : QAbstractTableModel(parent), m_index(index), m_filter(std::make_unique<History::HistoryFilter>())
{
    m_slice.setInterval(0);
    connect(&m_slice, &QTimer::timeout, this, &HistoryModel::testSlice);
}

int HistoryModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int HistoryModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Time:
        return m_timeBase == TimeBase::Absolute ? QStringLiteral("time") : QStringLiteral("time (s)");
    case Direction:
        return QStringLiteral("dir");
    case Type:
        return QStringLiteral("type");
    case Len:
        return QStringLiteral("len");
    case Data:
        return QStringLiteral("data");
    case Checksum:
        return QStringLiteral("sum");
    case Verdict:
        return QStringLiteral("verdict");
    case LogIndex:
        return QStringLiteral("log index");
    default:
        return QVariant();
    }
}

const History::Row* HistoryModel::decoded(int viewRow) const
{
    const std::size_t at = indexRow(viewRow);
    if (at != m_rowAt) {
        m_rowAt = History::HistoryFilter::None;
        if (at >= m_index.size() || !m_index.row(at, m_row))
            return nullptr;
        m_rowAt = at;
    }
    return &m_row;
}

QVariant HistoryModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows)
        return QVariant();
    if (role == Qt::TextAlignmentRole)
        return index.column() == Data ? QVariant() : QVariant(Qt::AlignCenter);
    if (role != Qt::DisplayRole && role != Qt::ForegroundRole && role != Qt::ToolTipRole)
        return QVariant();
    const History::Row* row = decoded(index.row());
    if (row == nullptr)
        return role == Qt::DisplayRole && index.column() == Data ? QStringLiteral("(no longer in the file)") : QVariant();
    const bool frame = row->kind == History::Kind::Frame;
    if (role == Qt::ForegroundRole) {
        const bool trouble = !frame || !row->good || row->reply == History::Reply::Nak;
        return trouble ? QBrush(QColor(0xc0, 0, 0)) : QVariant();
    }
    if (role == Qt::ToolTipRole) {
        if (index.column() == Time)
            return HistoryText::wallTime(row->wallUs) + QStringLiteral("  (") + QString::number(row->wallUs / 1000000)
                + QStringLiteral(" s since 1970 UTC)");
        return index.column() == Data && !frame ? HistoryText::problem(*row) : QVariant();
    }
    switch (index.column()) {
    case Time:
        return m_timeBase == TimeBase::Absolute ? HistoryText::wallTime(row->wallUs)
                                                : HistoryText::relativeTime(row->offsetUs, m_referenceUs);
    case Direction:
        return HistoryText::direction(row->direction);
    case Type:
        return frame ? HistoryText::hex(&row->type, 1) : QString();
    case Len:
        return frame ? HistoryText::hex(&row->len, 1) : QString();
    case Data:
        if (row->kind == History::Kind::Malformed)
            return HistoryText::problem(*row);
        if (row->kind == History::Kind::Noise)
            return HistoryText::hex(row->bytes.data(), row->bytes.size());
        return HistoryText::hex(row->data(), row->dataCount());
    case Checksum:
        return frame ? HistoryText::hex(&row->checksum, 1) : QString();
    case Verdict:
        return HistoryText::verdict(*row);
    case LogIndex:
        return row->logIndex >= 0 ? QStringLiteral("[%1]").arg(row->logIndex) : QString();
    default:
        return QVariant();
    }
}

void HistoryModel::setFilter(const History::FilterSpec& wanted)
{
    beginResetModel();
    m_filter = std::make_unique<History::HistoryFilter>(wanted);
    m_rows = 0;
    m_rowAt = History::HistoryFilter::None;
    endResetModel();
    testSlice();
}

void HistoryModel::indexGrew()
{
    if (!m_slice.isActive())
        testSlice();
}

void HistoryModel::indexTruncated()
{
    beginResetModel();
    m_filter->reset();
    m_rows = 0;
    m_rowAt = History::HistoryFilter::None;
    endResetModel();
}

void HistoryModel::testSlice()
{
    const bool done = m_filter->update(m_index, std::int64_t(SliceMs) * 1000 * 1000);
    publish();
    if (done) {
        m_slice.stop();
        emit filtered();
    } else if (!m_slice.isActive()) {
        m_slice.start();
    }
}

void HistoryModel::publish()
{
    // A view holds at most INT_MAX rows; more than that are counted, not listed.
    const std::size_t shown = m_filter->count();
    const int rows = shown > std::size_t(INT_MAX) ? INT_MAX : static_cast<int>(shown);
    if (rows <= m_rows)
        return;
    beginInsertRows(QModelIndex(), m_rows, rows - 1);
    m_rows = rows;
    endInsertRows();
}

void HistoryModel::setTimeBase(TimeBase base, std::int64_t referenceUs)
{
    m_timeBase = base;
    m_referenceUs = base == TimeBase::Selected ? referenceUs : 0;
    emit headerDataChanged(Qt::Horizontal, Time, Time);
    if (m_rows > 0)
        emit dataChanged(createIndex(0, Time), createIndex(m_rows - 1, Time), {Qt::DisplayRole});
}

int HistoryModel::viewRow(std::size_t indexRow) const
{
    const std::size_t shown = m_filter->shownAt(indexRow);
    return shown == History::HistoryFilter::None || shown >= std::size_t(m_rows) ? -1 : static_cast<int>(shown);
}
