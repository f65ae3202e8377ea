#pragma once
// The history's filters, combined: types, verdicts, directions, a data
// pattern in korvane-cli's syntax ("81 ?? 0A") and a time range. A group of
// buttons with none pressed keeps every row; pressing some keeps the rows
// with any of them. Each change is checked and handed on as a whole.

#include "historyfilter.h"

#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QToolButton;

class FilterBar : public QWidget
{
    Q_OBJECT

public:
    explicit FilterBar(QWidget* parent = nullptr);

    // The first row's time, for a range typed as times of day.
    void setFirstWallUs(std::int64_t us) { m_firstWallUs = us; }
    // The filter as the widgets stand; false, with why, when a field is not
    // understood (it is then shown red and the last good filter stays).
    bool settings(History::FilterSpec* out, QString* why) const;

    QLineEdit* typeEdit() const { return m_types; }
    QLineEdit* patternEdit() const { return m_pattern; }
    QToolButton* verdictButton(History::Verdict v) const;
    QToolButton* directionButton(History::DirectionBits d) const;

Q_SIGNALS:
    void changed(const History::FilterSpec& wanted);

private:
    QToolButton* toggle(const QString& text, const QString& name);
    void apply();

    QLineEdit* m_types;
    QList<QToolButton*> m_verdicts; // in the order of the Verdict bits
    QList<QToolButton*> m_directions;
    QLineEdit* m_pattern;
    QLineEdit* m_from;
    QLineEdit* m_to;
    QLabel* m_said;
    std::int64_t m_firstWallUs = 0;
};
