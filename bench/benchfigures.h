#pragma once
// Figures that the benchmarks measure: each is kept with the value of every
// run and summarised as median, minimum and maximum. A benchmark writes its
// figures as one JSON document that the report merges with the others.

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

#include <vector>

namespace BenchFigures {

struct Figure
{
    QString key;    // stable name in results.json
    QString label;  // what a reader of the table sees
    QString unit;
    QVector<double> runs;
};

struct Summary
{
    double median = 0;
    double min = 0;
    double max = 0;
};

Summary summarise(QVector<double> values);
// The p-quantile (0..1) of sorted values, between the two nearest; 0 when empty.
double percentile(const std::vector<double>& sorted, double p);

class Sheet
{
public:
    explicit Sheet(QString partName) : part(std::move(partName)) {}

    // Adds one run's value to the figure, creating it on first use.
    void add(const QString& key, const QString& label, const QString& unit, double value);
    void note(const QString& key, const QJsonValue& value) { notes.insert(key, value); }

    QJsonObject toJson() const;
    // Writes the document; false (with a message on stderr) when it cannot.
    bool write(const QString& path) const;
    // One line per figure: label, median and [min .. max].
    void print() const;

private:
    QString part;
    QVector<Figure> figures;
    QJsonObject notes;
};

// A whole number from the environment, or fallback when it is unset or not a
// positive number. Lets quick checks shorten the runs; the defaults are the
// real measurement.
long long envCount(const char* name, long long fallback);
double envSeconds(const char* name, double fallback);

// Anonymous resident memory of this process (RssAnon), in bytes: what a
// structure holds beyond the files it maps.
double rssAnonBytes();

} // namespace BenchFigures
