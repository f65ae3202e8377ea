#pragma once
// The history window: every row of a traffic log, a pcapng capture or the
// running session's record, in a table that scrolls through millions of
// them, with filters, find, go to a time, the selection's figures, export
// and plots. A top-level window of its own; the main window is unchanged.
// It is thin: the index, filters, search, export and plots' figures are the
// Qt-free core's (protocol/history*.h).

#include "historymodel.h"
#include "historysource.h"

#include <QMainWindow>

class FilterBar;
class PlotWidget;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QTableView;
class QToolButton;

class HistoryWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The window for a file, shown by the caller; it says in itself when the
    // file cannot be read.
    static HistoryWindow* forFile(const QString& path, QWidget* parent = nullptr);
    // The running session's record: it follows from the start. With a
    // parent it is still a window of its own, closed with the parent.
    static HistoryWindow* forSession(const QString& recordPath, QWidget* parent = nullptr);

    enum class ExportFormat { Log, Pcapng };
    // Writes the rows the filter shows, or only the selected ones. The
    // result's text says how it went (also in the status bar).
    QString exportRows(const QString& path, ExportFormat format, bool selectedOnly);

    // Goes to a time as typed ("12:34:56.789", "+10.5"); false when it is
    // not understood or no shown row is at or after it.
    bool goToTime(const QString& text);
    // Finds the next (or previous) row from the current one whose data
    // match the pattern; false when there is none or the pattern is bad.
    bool find(const QString& pattern, bool forward);
    // Selects a row of the index and shows it (when the filter shows it).
    bool goToRow(std::size_t indexRow);

    bool following() const;
    void setFollowing(bool on);

    const HistorySource& source() const { return m_source; }
    HistoryModel& model() { return *m_model; }
    QTableView* table() const { return m_table; }
    FilterBar* filterBar() const { return m_filters; }
    PlotWidget* plots() const { return m_plots; }
    // The line under the table: the selection's count, span and rate.
    QString selectionText() const;

private:
    explicit HistoryWindow(QWidget* parent);
    bool open(const QString& path);
    QWidget* makeTools();
    void indexProgressed();
    void indexGrew();
    void showTitle();
    void showSelection();
    void scheduleFigures();
    void computeFigures();
    void askExport(ExportFormat format, bool selectedOnly);
    void onScrolled(int value);
    void timeBaseChosen(int choice);
    std::size_t currentIndexRow() const;
    History::RowSet selectedRows() const;
    void say(const QString& text, bool trouble = false);

    HistorySource m_source;
    HistoryModel* m_model;
    QTableView* m_table;
    FilterBar* m_filters;
    PlotWidget* m_plots;
    QLineEdit* m_findEdit = nullptr;
    QLineEdit* m_timeEdit = nullptr;
    QComboBox* m_timeBase = nullptr;
    QToolButton* m_follow = nullptr;
    QLabel* m_selection;
    QLabel* m_said;
    QProgressBar* m_progress;
    QTimer m_figures; // single shot: the plots and the title, not on every slice
    bool m_scrolling = false; // the window itself moves the table
    bool m_saidTrouble = false;
};
